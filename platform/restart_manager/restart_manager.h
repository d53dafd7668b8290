#pragma once
// The Windows Restart Manager as the installer uses it: a session over files, the applications that
// hold them, and shutting them down and restarting them. The installer calls it through
// `restart_manager_calls`, chosen when the installer is built up:
//   - `system_restart_manager()`: rstrtmgr.dll (under Wine a stub that lists no holder);
//   - `fake_restart_manager`: tests. It lists holders that the test scripts per file, records which
//     were shut down and restarted, and the launcher markers the environment held at the restart.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include <windows.h>
#include <restartmanager.h>

namespace platform::restart_manager {

class restart_manager_calls {
public:
    virtual ~restart_manager_calls() = default;
    // The Rm* functions' contracts (Win32 error codes), key of CCH_RM_SESSION_KEY + 1 characters.
    virtual DWORD start_session(DWORD* session, wchar_t* key) = 0;
    virtual DWORD end_session(DWORD session) = 0;
    virtual DWORD register_files(DWORD session, const std::vector<std::wstring>& files) = 0;
    virtual DWORD get_list(DWORD session, UINT* needed, UINT* count, RM_PROCESS_INFO* processes, DWORD* reasons) = 0;
    virtual DWORD shutdown(DWORD session, ULONG flags) = 0;
    virtual DWORD restart(DWORD session) = 0;
};

restart_manager_calls& system_restart_manager();

class fake_restart_manager final : public restart_manager_calls {
public:
    struct holder {
        DWORD pid = 0;
        std::wstring name;
    };
    // Files and the applications that hold them; a test fills it before the session lists.
    std::map<std::wstring, std::vector<holder>> holders;
    DWORD reboot_reasons = 0;       // RmRebootReasonNone
    DWORD fail_start = 0;           // non-zero: start_session fails with it
    std::vector<std::wstring> registered;
    std::vector<DWORD> shut_down;   // pids, in order
    std::vector<DWORD> restarted;
    // The four launcher markers as the environment held them during each restart ("" = not set).
    std::vector<std::map<std::wstring, std::wstring>> restart_environments;
    int sessions_started = 0, sessions_ended = 0;

    DWORD start_session(DWORD* session, wchar_t* key) override;
    DWORD end_session(DWORD session) override;
    DWORD register_files(DWORD session, const std::vector<std::wstring>& files) override;
    DWORD get_list(DWORD session, UINT* needed, UINT* count, RM_PROCESS_INFO* processes, DWORD* reasons) override;
    DWORD shutdown(DWORD session, ULONG flags) override;
    DWORD restart(DWORD session) override;

private:
    std::vector<holder> listed() const;
    bool open_ = false;
};

// The environment markers the launcher sets for its working copy.
inline constexpr const wchar_t* launcher_markers[] = {L"QUVAN-RAVELWIN3-ISCOPY", L"QUVAN-RAVELWIN3-NEED_REMOVE",
                                                      L"QUVAN-RAVELWIN3-ARCHIVE_DIR", L"QUVAN-RAVELWIN3-LAUNCHER"};

} // namespace platform::restart_manager
