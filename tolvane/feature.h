#pragma once
// Features: the tree of selectable groups of components rooted at "Feature_root", each remembered
// by the installed product under its GUID; and feature sets, named presets that uncheck a list of
// features.
//
// The tree is built by the start-up and afterwards read and changed by one thread at a time: the
// user-interface thread before a run, the run after the user interface has let go of it.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>

#include <commctrl.h>

#include <tolvane/setup_ui.h>

namespace tolvane {

class package;
class component_t;
class ActionQueue;
class ini_file_t;

// "{8-4-4-2 2-2 2 2 2 2 2}" in hex digits of either case, nothing after the closing brace; any other
// text gives the all-zeros GUID.
GUID parse_guid(std::wstring_view text) noexcept;
bool is_null_guid(const GUID& id) noexcept;

// "1,023 bytes", "1.00 KB", "1,024.00 MB", "1.00 GB" by the user's locale.
std::wstring format_byte_size(std::int64_t n);

class feature_t {
public:
    std::vector<std::unique_ptr<feature_t>> children;
    std::vector<component_t*> components;
    std::vector<std::wstring> conditions;
    std::wstring id;
    std::wstring description;
    GUID guid{};
    bool required = false;
    bool installed = false;
    bool selected = false;
    bool default_selected = false;
    bool addifmissing = false;
    bool startmenu = false;
    HWND tree_window = nullptr;
    HTREEITEM tree_item = nullptr;
    feature_t* parent = nullptr;
    package* owner = nullptr;

    // Fills the feature from "Feature_" + id and, recursively, its children. A missing section
    // raises HRESULT_FROM_WIN32(ERROR_NOT_FOUND); a child without an id, and component ids the
    // package does not hold, are left out.
    void load(std::wstring_view feature_id, const ini_file_t& sections, package& pkg);

    // From "Features\{GUID}" of the product key: CurrentState sets installed and selected; a feature
    // the installation does not know is installed only when `addifmissing_applies` and its
    // addifmissing are set. The root's own flags are not touched.
    void read_installed_state(HKEY root, const std::wstring& product_key, bool addifmissing_applies);

    void collect_selection(std::vector<feature_selection>& out) const;
    void apply_selection(const std::vector<feature_selection>& records);

    // The customize dialog's check box: state 0, 1 or -1 (toggle). Checking a feature checks its
    // ancestors; a required feature keeps its value but hands the state on to its children.
    void set_checked(int state, bool with_children);
    void reset_selection();

    // The sizes of the feature's own components plus the space of its selected children.
    std::uint64_t space_required() const;
    std::wstring description_text() const;

    // "Publish feature <id>": CurrentState = selected at the moment the action runs.
    void publish(ActionQueue& queue);

    // Depth-first pre-order, this feature first.
    template <typename F> void for_each(F&& f)
    {
        f(*this);
        for (auto& child : children)
            child->for_each(f);
    }
    feature_t* find(const GUID& id);

private:
    void show_checked();
};

struct feature_set {
    std::wstring name;
    std::wstring description;
    std::vector<feature_t*> disable;
};

} // namespace tolvane
