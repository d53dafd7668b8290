#pragma once
// The user interface of a silent run without a user-interface process: nothing is shown, nothing can
// be cancelled, and applications holding locked files are shut down at once.

#include <memory>
#include <string>
#include <vector>

#include <platform/restart_manager/restart_manager.h>
#include <tolvane/restart_manager_session.h>
#include <tolvane/setup_ui.h>

namespace tolvane {

class silent_ui final : public SetupUiInterface {
public:
    explicit silent_ui(platform::restart_manager::restart_manager_calls& calls =
                           platform::restart_manager::system_restart_manager())
        : calls_(calls)
    {
    }

    void set_progress_range(std::uint32_t) override {}
    bool set_progress(std::uint32_t) override { return true; }
    void set_status(const std::wstring&) override {}
    void enable_cancel(bool) override {}
    void set_status(std::wstring&&) override {}
    std::uint64_t get_window() override { return 0; }
    std::vector<feature_selection> get_feature_selection() override { return {}; }
    bool add_locked_file(const std::wstring& path) override
    {
        locked_.push_back(path);
        return true;
    }
    bool shutdown_applications() override;
    void restart_applications() override;

private:
    platform::restart_manager::restart_manager_calls& calls_;
    std::vector<std::wstring> locked_;
    std::unique_ptr<restart_manager_session> session_;
};

} // namespace tolvane
