#pragma once
// The installer's model of the product it installs: the properties, the run's options, backup
// folder and user interface, the file and registry calls (transacted or not) chosen when the
// installer is built up, the package archive's sources, the components, the feature tree with its
// feature sets, and the set of folders the installation creates or removes.
//
// The start-up builds the sources, components and features under the tree lock; afterwards they are
// read and changed by one thread at a time (the user interface before a run, the run after it).

#include <array>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include <platform/ktm/ktm.h>
#include <tavik/cancellation.h>
#include <tavik/future.h>
#include <tavik/shared_future.h>
#include <tavik/unique_handle.h>
#include <tolvane/command_line.h>
#include <tolvane/feature.h>
#include <tolvane/install_type.h>
#include <tolvane/properties.h>
#include <tolvane/setup_options.h>
#include <tolvane/setup_platform.h>

struct IWICBitmapFrameDecode;

namespace tolvane {

class SetupUiInterface;
class component_t;
class package_source;
class ActionQueue;
class ini_file_t;

struct guid_less {
    bool operator()(const GUID& a, const GUID& b) const noexcept { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};

class package {
public:
    explicit package(platform::ktm::transacted_calls& calls = platform::ktm::system_transactions(),
                     setup_platform& platform = system_platform());
    virtual ~package();
    package(const package&) = delete;
    package& operator=(const package&) = delete;

    platform::ktm::transacted_calls& calls() const noexcept { return *calls_; }

    // --- the package's life: start-up, the waits of the user interface, the run

    // Starts the start-up (startup_async) on the package folder; interactive runs also decode "icon.png".
    tavik::details::future<void> load(std::wstring package_folder, bool interactive);
    // Both "config.ini" and the icon are ready (wait_ready_async).
    tavik::details::future<void> wait_ready();
    // The package is complete; any number of waiters.
    std::shared_ptr<tavik::details::shared_future_impl<void>> wait_loaded();
    // The installation here or in an elevated copy (run_installation).
    tavik::details::future<void> run(SetupUiInterface* ui);

    property_table& properties() noexcept { return properties_; }
    const property_table& properties() const noexcept { return properties_; }
    std::wstring get_property(std::wstring_view name, bool as_path) const { return properties_.get(name, as_path); }
    std::wstring expand(std::wstring_view text, bool as_path) const
    {
        return expand_properties(properties_, text, as_path);
    }
    void set_property(std::wstring_view name, std::wstring_view value) { properties_.set(name, value); }
    void remove_property(std::wstring_view name) { properties_.remove(name); }

    setup_options& options() noexcept { return options_; }
    const setup_options& options() const noexcept { return options_; }
    bool is_portable() const noexcept { return options_.portable; }
    bool has_no_window() const noexcept { return options_.no_window; }

    const std::wstring& backup_folder() const noexcept { return backup_folder_; }
    void set_backup_folder(std::wstring folder) { backup_folder_ = std::move(folder); }

    SetupUiInterface* ui() const noexcept { return ui_; }
    void set_ui(SetupUiInterface* ui) noexcept { ui_ = ui; }

    // MAJOR, MINOR, REVISION, BUILD of [Configuration]: the third and fourth parts.
    const std::array<std::uint32_t, 4>& version() const noexcept { return version_; }
    void set_version(const std::array<std::uint32_t, 4>& v) noexcept { version_ = v; }

    // The pause between two attempts on a locked file (200 ms; tests shorten it).
    std::chrono::milliseconds retry_delay() const noexcept { return retry_delay_; }
    void set_retry_delay(std::chrono::milliseconds delay) noexcept { retry_delay_ = delay; }

    setup_platform& platform() const noexcept { return *platform_; }
    // Cancels the start-up, the extraction and a run that has not begun its work.
    tavik::details::cancellation_source& cancellation() noexcept { return cancel_; }

    // --- the start-up's signals, each set once with a value or a failure
    using signal = std::shared_ptr<tavik::details::promise_type_<void>>;
    // The configuration is read, the installed state known and the single-instance checks passed.
    const signal& config_ready() const noexcept { return config_ready_; }
    // The product icon is decoded (interactive runs).
    const signal& icon_ready() const noexcept { return icon_ready_; }
    // The package is complete: tree, installed feature states, size. A failed start-up fails it too,
    // so that a run waiting for it ends.
    const signal& loaded() const noexcept { return loaded_; }

    // The decoded "icon.png", moved out (null when it was not loaded or was taken already).
    IWICBitmapFrameDecode* take_icon() noexcept { return std::exchange(icon_, nullptr); }
    void set_icon(IWICBitmapFrameDecode* icon) noexcept;

    // The installer mutex while this installer owns it; closed before another installer is started.
    void set_installer_mutex(tavik::unique_handle mutex) noexcept { installer_mutex_ = std::move(mutex); }
    void close_installer_mutex() noexcept { installer_mutex_.reset(); }
    bool holds_installer_mutex() const noexcept { return static_cast<bool>(installer_mutex_); }

    // The root under which the product's uninstall entry is (or would be): decided by the start-up.
    HKEY product_root() const noexcept { return product_root_; }
    void set_product_root(HKEY root) noexcept { product_root_ = root; }

    // Serves the user interface to an elevated copy on a new pipe: returns the server (which stops
    // serving when released) and sets the pipe name. Set by the program that has the pipe. The
    // server serves only the process named by serve_process (the copy just started).
    struct ui_server_link {
        virtual ~ui_server_link() = default;
        virtual void serve_process(std::uint32_t process_id) = 0;
    };
    using ui_server_starter =
        std::function<std::shared_ptr<ui_server_link>(SetupUiInterface* ui, package& pkg, std::wstring& pipe)>;
    void set_ui_server_starter(ui_server_starter start) { start_ui_server_ = std::move(start); }
    const ui_server_starter& ui_server() const noexcept { return start_ui_server_; }

    // The running Windows (tests give another).
    const windows_version& windows() const noexcept { return windows_; }
    void set_windows(const windows_version& v) noexcept { windows_ = v; }

    // The folder holding "config.ini", "icon.png", the license, "setup.exe" and the archive.
    const std::wstring& package_folder() const noexcept { return package_folder_; }
    void set_package_folder(std::wstring folder) { package_folder_ = std::move(folder); }

    // The license file (EULA in path form, else "eula.rtf", in the package folder), read whole;
    // empty on any failure.
    std::string license_text() const;

    std::uint64_t setup_files_size() const noexcept { return setup_files_size_; }
    void set_setup_files_size(std::uint64_t size) noexcept { setup_files_size_ = size; }

    // --- sources, components, features

    // Keeps the first source of a GUID (the new one is dropped); the first source added is the main one.
    void add_source(std::unique_ptr<package_source> source);
    const package_source* main_source() const noexcept { return main_source_; }
    const std::map<GUID, std::unique_ptr<package_source>, guid_less>& sources() const noexcept { return sources_; }

    // Steps of the tree build after the source: every component of [General] "components" that
    // applies to this machine (an id listed twice keeps the first), the feature tree from
    // "Feature_root", then the feature sets 1 to [General] "featuresets". A missing [General],
    // component, shortcut, feature or feature-set section raises HRESULT_FROM_WIN32(ERROR_NOT_FOUND).
    void build_tree(const ini_file_t& ini);
    // The lock the start-up holds while it builds the tree.
    SRWLOCK& tree_lock() noexcept { return tree_lock_; }

    component_t* find_component(std::wstring_view id) const;
    const std::unordered_map<std::wstring, std::unique_ptr<component_t>>& components() const noexcept
    {
        return components_;
    }
    feature_t* root_feature() const noexcept { return root_.get(); }
    // The root when its GUID matches, else the first match in depth-first pre-order.
    feature_t* find_feature(const GUID& id) const;
    // (name, description) of each feature set, in order.
    std::vector<std::pair<std::wstring, std::wstring>> feature_sets() const;
    const std::vector<feature_set>& feature_set_list() const noexcept { return feature_sets_; }
    // Unchecks, with their children, the features of the set `index` (which must be in range).
    void apply_feature_set(std::uint32_t index);

    // --- folders

    void add_directory(std::wstring_view path, bool skip_if_exists, bool force_remove)
    {
        directories_.add(path, skip_if_exists, force_remove);
    }
    const directory_set& directories() const noexcept { return directories_; }
    void queue_directories(ActionQueue& queue, bool create) const { directories_.queue(queue, create); }

    // --- run preparation

    // The run type's effect on the tree and the properties: a portable install drops STARTMENU; an
    // upgrade selects what was installed and then counts nothing as installed; an uninstall
    // selects nothing; removing the previous version first counts nothing as installed.
    void prepare_run();
    // Drops STARTMENU when the start-menu feature (the root when flagged, else the first flagged
    // feature in pre-order) exists and is not selected.
    void apply_start_menu_feature();

private:
    platform::ktm::transacted_calls* calls_;
    setup_platform* platform_;
    tavik::details::cancellation_source cancel_;
    signal config_ready_ = std::make_shared<tavik::details::promise_type_<void>>();
    signal icon_ready_ = std::make_shared<tavik::details::promise_type_<void>>();
    signal loaded_ = std::make_shared<tavik::details::promise_type_<void>>();
    tavik::unique_handle installer_mutex_;
    HKEY product_root_ = HKEY_CURRENT_USER;
    IWICBitmapFrameDecode* icon_ = nullptr;
    ui_server_starter start_ui_server_;
    property_table properties_;
    setup_options options_;
    std::wstring backup_folder_;
    SetupUiInterface* ui_ = nullptr;
    std::chrono::milliseconds retry_delay_{200};
    std::array<std::uint32_t, 4> version_{};
    windows_version windows_;
    std::wstring package_folder_;
    std::uint64_t setup_files_size_ = 0;
    SRWLOCK tree_lock_ = SRWLOCK_INIT;
    std::map<GUID, std::unique_ptr<package_source>, guid_less> sources_;
    package_source* main_source_ = nullptr;
    std::unordered_map<std::wstring, std::unique_ptr<component_t>> components_;
    directory_set directories_;
    std::unique_ptr<feature_t> root_;
    std::vector<feature_set> feature_sets_;
};

} // namespace tolvane
