#pragma once
// One Restart Manager session over the files the installation could not replace: the applications
// holding them are listed, the user may be asked (the files-in-use dialog, supplied by the user
// interface), they are shut down and later restarted without the launcher's environment markers.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <platform/restart_manager/restart_manager.h>

namespace tolvane {

class package;

// The files-in-use dialog: 1 Retry, 1003 close the applications and retry, anything else cancels.
using files_in_use_prompt = std::function<int(HWND owner, const std::vector<RM_PROCESS_INFO>& processes)>;

inline constexpr int files_in_use_retry = 1;
inline constexpr int files_in_use_close_and_retry = 1003;

class restart_manager_session {
public:
    // A started session, or null when the Restart Manager refuses one.
    static std::unique_ptr<restart_manager_session> create(platform::restart_manager::restart_manager_calls& calls);
    virtual ~restart_manager_session();
    restart_manager_session(const restart_manager_session&) = delete;
    restart_manager_session& operator=(const restart_manager_session&) = delete;

    // True when the caller may retry. The prompt is shown when a package is given, its option "yes"
    // is not set and a prompt exists; otherwise the applications are shut down at once.
    virtual bool shutdown(const package* pkg, HWND owner, const std::vector<std::wstring>& files,
                          const files_in_use_prompt& prompt = {});
    // Restarts what was shut down; nothing when the session has ended.
    virtual void restart();

    bool is_open() const noexcept { return open_; }
    const std::vector<RM_PROCESS_INFO>& processes() const noexcept { return processes_; }

private:
    explicit restart_manager_session(platform::restart_manager::restart_manager_calls& calls) : calls_(calls) {}
    void end();

    platform::restart_manager::restart_manager_calls& calls_;
    DWORD handle_ = 0;
    wchar_t key_[CCH_RM_SESSION_KEY + 1] = {};
    std::vector<RM_PROCESS_INFO> processes_;
    bool open_ = false;
};

} // namespace tolvane
