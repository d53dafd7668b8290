// tolvane.exe: the installer. The window and the elevated copy's pipe plug into the engine through
// setup_hooks; without them the program installs, upgrades and uninstalls silently.

#include <windows.h>

#include <tolvane/setup_main.h>
#include <tolvane/ui/ui_hooks.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int show)
{
    tolvane::setup_hooks hooks;
    tolvane::install_ui_hooks(hooks);
    return tolvane::setup_entry(show, hooks);
}
