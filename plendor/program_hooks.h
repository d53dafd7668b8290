#pragma once
// The program's commands behind the main window: the folder commands over the service's pipe and
// the folders' own pipes, the dialogs, help, the pre-release notice and the update flow.

#include <plendor/main_dlg.h>

#include <plendor/commands/update.h>

#include <string>

struct program_settings {
    // The update site's base address, ending in "/" (tests give their own server's).
    std::wstring update_site = std::wstring(update_site_address);
};

inline constexpr wchar_t pre_release_notice_title[] = L"Quvan Software Tovalind Beta";
inline constexpr wchar_t pre_release_notice_text[] =
    L"[[[bDISCLAIMER!]]]\n\nThis is a pre-release software. It may contain potential bugs that could cause data "
    L"integrity violations and eventual data loss.\n\n[[[bALWAYS]]] keep backup copies of any important information "
    L"stored in deduplicated folders.";

// Hooks that run the real commands. Their shared state lives as long as any copy of the hooks.
main_dlg_hooks make_program_hooks(program_settings settings = {});
