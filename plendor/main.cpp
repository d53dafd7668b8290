// The configuration utility's entry: COM for the shell's dialogs, then the utility's run with its
// commands. Always exits with 0.
#include <plendor/main_dlg.h>
#include <plendor/program_hooks.h>

#include <windows.h>
#include <objbase.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int show_command)
{
    const HRESULT com = CoInitialize(nullptr);
    run_plendor(GetCommandLineW(), show_command, make_program_hooks());
    if (SUCCEEDED(com))
        CoUninitialize();
    return 0;
}
