#include <tolvane/end_of_setup.h>

#include <string>

#include <ostrel/registry_ex.h>
#include <ostrel/windows/dialog.h>
#include <tolvane/guid.h>
#include <tolvane/launcher.h>
#include <tolvane/setup_platform.h>

namespace tolvane {

namespace {

class continue_dialog : public Ostrel::windows::impl::dialog<continue_dialog, continue_dialog_id> {
public:
    continue_dialog()
    {
        using namespace Ostrel::windows::impl;
        // Ends with the chosen control's id (the framework's end-dialog entry always ends with 2).
        auto end_with = [this](int id) { return on_command(static_cast<std::uint16_t>(id), [this, id] { EndDialog(window(), id); }); };
        install(message_map(end_with(continue_after_logoff), end_with(continue_after_restart), end_with(IDCANCEL)));
    }
};

} // namespace

bool exit_windows(setup_platform& platform, std::uint32_t flags)
{
    return platform.exit_windows(flags, planned_upgrade_reason) != FALSE;
}

const wchar_t* continue_question(int choice) noexcept
{
    return choice == continue_after_logoff ? L"Do you want to log off now?" : L"Do you want to restart now?";
}

void prompt_continue_after_reboot(setup_platform& platform, HWND owner)
{
    continue_dialog dialog;
    const INT_PTR choice = dialog.show_modal(owner);
    if (choice != continue_after_logoff && choice != continue_after_restart)
        return;
    wchar_t launcher[520];
    const DWORD n = GetEnvironmentVariableW(marker_launcher, launcher, 520);
    if (n > 0 && n < 520) {
        // Written as its characters: RunOnce runs it once at the next log-on.
        Ostrel::registry_ex::value(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce",
                                   new_guid_text(), false)
            .set_string(std::wstring(launcher, n));
    }
    if (platform.message_box(owner, continue_question(static_cast<int>(choice)), L"Setup Error", MB_YESNO | MB_ICONQUESTION)
        == IDYES)
        exit_windows(platform, choice == continue_after_logoff ? EWX_LOGOFF : EWX_REBOOT);
}

} // namespace tolvane
