#pragma once
// What the installation's actions use of the package being installed: its properties, the run's
// options, backup folder and user interface, and the file and registry calls (transacted or not)
// chosen when the installer is built up.

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

#include <platform/ktm/ktm.h>
#include <tolvane/properties.h>
#include <tolvane/setup_options.h>

namespace tolvane {

class SetupUiInterface;

class package {
public:
    explicit package(platform::ktm::transacted_calls& calls = platform::ktm::system_transactions()) : calls_(&calls) {}
    virtual ~package() = default;
    package(const package&) = delete;
    package& operator=(const package&) = delete;

    platform::ktm::transacted_calls& calls() const noexcept { return *calls_; }

    property_table& properties() noexcept { return properties_; }
    const property_table& properties() const noexcept { return properties_; }
    std::wstring get_property(std::wstring_view name, bool as_path) const { return properties_.get(name, as_path); }
    std::wstring expand(std::wstring_view text, bool as_path) const
    {
        return expand_properties(properties_, text, as_path);
    }
    void set_property(std::wstring_view name, std::wstring_view value) { properties_.set(name, value); }

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

private:
    platform::ktm::transacted_calls* calls_;
    property_table properties_;
    setup_options options_;
    std::wstring backup_folder_;
    SetupUiInterface* ui_ = nullptr;
    std::chrono::milliseconds retry_delay_{200};
    std::array<std::uint32_t, 4> version_{};
};

} // namespace tolvane
