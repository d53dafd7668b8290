#include <dedup/server/folder_server.h>

#include <ostrel/logger.h>

namespace dedup::impl {

folder_server* global_server = nullptr;

namespace {

// Held shared by the handler while it uses global_server, exclusively to change it.
SRWLOCK global_server_lock = SRWLOCK_INIT;

} // namespace

void set_global_server(folder_server* server) noexcept
{
    AcquireSRWLockExclusive(&global_server_lock);
    global_server = server;
    ReleaseSRWLockExclusive(&global_server_lock);
}

// Runs on the thread the system creates for the console event: it only logs and asks the server
// to stop, and returns at once.
BOOL WINAPI console_ctrl_handler(DWORD event)
{
    switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
        if (global_logger)
            global_logger->log(L"Stop event received, stopping server...\r\n", 4);
        AcquireSRWLockShared(&global_server_lock);
        if (global_server)
            global_server->stop();
        ReleaseSRWLockShared(&global_server_lock);
        return TRUE;
    default:
        return FALSE;
    }
}

} // namespace dedup::impl
