#pragma once
// The folder server as the program's entry drives it with "--server": built with the folders as
// typed and the creation settings, started once, stopped from the console control handler, and
// destroyed once its start has completed.

#include <dedup/engine/iroot.h>
#include <dedup/server/server.h>

#include <tavik/future.h>

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

namespace dedup::impl {

using folder_server = dedup::server;

// The running folder server, for the console control handler; null while there is none. Set
// through set_global_server: clearing it waits for a handler that is using it, so the entry can
// destroy the server right after.
extern folder_server* global_server;
void set_global_server(folder_server* server) noexcept;

// Ctrl+C, Ctrl+Break and closing the console log "Stop event received, stopping server..." at
// level debug, stop the running server and are handled (TRUE); every other event goes on to the
// next handler (FALSE). Installed only once the server has started.
BOOL WINAPI console_ctrl_handler(DWORD event);

// The folder server of these folders (each is made a full path, sorted, without duplicates, by the
// server), each folder serving its pipe.
std::unique_ptr<folder_server> create_folder_server(std::vector<std::wstring> folders, const create_params& params);

} // namespace dedup::impl
