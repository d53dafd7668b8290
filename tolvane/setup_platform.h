#pragma once
// The calls of the installer that tests must answer in place of the system: message boxes, System
// Restore, the administrator test and the end of the session. Chosen when the package is made.

#include <cstdint>
#include <string>

#include <windows.h>

namespace tolvane {

// The layout System Restore expects (packed, as the platform declares it).
#pragma pack(push, 1)
struct restore_point_info {
    DWORD event_type;         // 100 begin a change, 101 end it
    DWORD restore_point_type; // 0 install, 1 uninstall, 12 settings, 13 cancelled
    std::int64_t sequence;
    wchar_t description[256];
};
struct restore_point_status {
    DWORD status;
    std::int64_t sequence;
};
#pragma pack(pop)

class setup_platform {
public:
    virtual ~setup_platform() = default;
    virtual int message_box(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags);
    // SRSetRestorePointW of srclient.dll in the system folder; FALSE with the last error set when
    // the library or its export is missing.
    virtual BOOL set_restore_point(const restore_point_info& info, restore_point_status& status);
    virtual bool is_user_an_admin();
    // Takes the shutdown privilege first; the restart and log-off of the end of setup.
    virtual BOOL exit_windows(UINT flags, DWORD reason);
};

setup_platform& system_platform();

} // namespace tolvane
