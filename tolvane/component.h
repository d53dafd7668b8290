#pragma once
// Components: the units of files that the installer copies, registers and publishes, one
// "Component_<id>" section each. A component never changes the machine itself: it turns its
// description into actions of a queue.
//
// Every operation first computes the install folder, which sets the property ASSEMBLY to the
// component's id; a folder that needs STARTMENU while it is not set fails with E_INVALIDARG, and
// the queue builders skip the component.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include <windows.h>

namespace tolvane {

class package;
class package_source;
class ActionQueue;
class ini_file_t;
struct windows_version;

// Bits of a file entry's flags.
enum component_file_flags : std::uint32_t {
    file_in_x64_folder = 0x001,
    file_has_script = 0x002 | 0x004,
    file_self_install_from_package = 0x010,
    file_portable_only = 0x040,
    file_not_portable = 0x080,
    file_not_copied = 0x100,
    file_self_install_installed = 0x200,
};

struct component_file {
    std::wstring name;
    std::wstring application_id;
    std::uint32_t flags = 0;
};

struct component_link {
    std::wstring link_name;
    std::wstring existing_file;
};

struct component_folder {
    std::wstring folder;
    bool force_removal = false;
};

// The keys of "Shortcut_<component>_<id>", unexpanded.
struct shortcut_record {
    std::wstring location, description, iconfile, arguments, workingdir, target, advertise;
    std::uint32_t iconindex = 0;
};

struct component_script {
    std::wstring file_name;
    bool flag = false;
};

class component_t {
public:
    std::wstring id;
    std::vector<component_file> files;
    std::vector<component_link> links;
    std::vector<component_folder> folders;
    std::vector<shortcut_record> shortcuts;
    std::vector<component_script> scripts;
    std::vector<std::wstring> condition;
    std::wstring install_folder_text = L"$(INSTALLDIR)";
    package* owner = nullptr;
    const package_source* source = nullptr;
    std::uint64_t size = 0;
    std::array<std::uint32_t, 4> version{};
    bool shortcuts_queued = false;

    // Reads "Component_" + id. False when the component is not for this machine (platform x86,
    // outside its Windows limits). A missing component or shortcut section raises
    // HRESULT_FROM_WIN32(ERROR_NOT_FOUND); a third file field shorter than the six skipped
    // characters raises a config_error.
    bool load(package& pkg, const package_source* from, std::wstring_view component_id, const ini_file_t& sections,
              const windows_version& running);

    // Every property named by the condition list has a value.
    bool is_applicable() const;
    std::wstring install_folder() const;

    void queue_copies(ActionQueue& queue) const;
    // As queue_copies, unless the installed component (its published Version) is newer.
    void queue_copies_if_not_newer(ActionQueue& queue) const;
    void collect_directories(bool skip_if_exists, bool include_install_folder) const;
    void queue_deletes(ActionQueue& queue) const;
    void queue_self_install(ActionQueue& queue, std::uint32_t action_number) const;
    void do_register(ActionQueue& queue, bool do_register) const;
    // Once per package, whichever direction asks first.
    void queue_shortcuts(ActionQueue& queue, bool install);
    void publish(ActionQueue& queue, bool publish) const;
};

// The source's extraction folder, "Components", the component id and, when x64, "x64".
std::wstring component_source_path(const package_source* source, const component_t& component, bool x64);

// The "Components\<id>" key of the product's uninstall entry.
std::wstring component_key_path(const package& pkg, std::wstring_view component_id);

} // namespace tolvane
