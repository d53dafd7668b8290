#pragma once
// The pipe of one served folder: its listener, which accepts one client after another on
// "\\.\pipe\Quvan-dedupapi-v1.0/<folder path with slashes>", and the client connections, each of
// which serves dedup::api::RepoInterface for one client and calls its dedup::api::RepoClient.
//
// The folder's provider owns the folder_pipe, starts listen_for_clients once its virtualization
// instance runs and awaits it; the listener ends when the folder's source is cancelled or when a
// pipe instance cannot be created or connected (then with a failure line in the log). Client
// connections outlive the listener: each holds the provider's connection count for its whole life,
// so the provider, which waits for the count before its closing line, and this object outlive
// every client connection and every handler call.
//
// Threads: the listener continues on the pool's I/O threads; each client connection, its loops
// and its handlers run on pool threads. A handler leaves the reader's thread before anything that
// blocks (the statistics wait for the store, the emptiness scan, recover and removal).

#include <dedup/api/repo_interface.h>
#include <dedup/engine/iroot.h>
#include <dedup/server/usage_latch.h>

#include <lurran/pipe_transport.h>
#include <ostrel/com/ptr.h>
#include <tavik/cancellation.h>
#include <tavik/future.h>

#include <windows.h>

#include <cstdint>
#include <expected>
#include <functional>
#include <string>

namespace dedup::impl {

// What the folder's pipe needs of the folder that serves it.
struct folder_pipe_host {
    // The folder's store.
    Ostrel::com::ptr<IRoot> root;
    // The folder's full path: it names the pipe and the folder in the failure line.
    std::wstring folder_path;
    // The folder's source: cancelling it ends the listener, every client connection and the calls
    // in progress.
    tavik::details::cancellation_source source;
    // Entered by every client connection from its first step to its last; the folder's closing
    // line waits until all have left. A count, not a lock: a connection ends on another thread
    // than the one it began on.
    usage_latch* connections = nullptr;
    // Stops the whole folder half a second later: a stop message, and the end of a delete.
    std::function<void()> schedule_stop;
    // Stops the folder's virtualization instance (exactly once, whoever comes first), before a
    // delete removes the store.
    std::function<void()> stop_virtualizing;
    // Makes each pipe instance and waits for its client; empty: lurran's create_server. A test
    // seam, to see what the listener asks of the system where Wine enforces none of it.
    std::function<tavik::details::future<lurran::details::pipe::pipe_transport>(
        std::wstring_view, tavik::details::cancellation_source, lurran::transports::pipe::create_server_params<>)>
        create_server;
};

// Access of every local user to a folder pipe: FILE_GENERIC_READ | FILE_GENERIC_WRITE without
// FILE_CREATE_PIPE_INSTANCE (0x4, which FILE_APPEND_DATA shares on pipes). With that right another
// user could create an instance of the folder's name between two accepts and answer the next
// client in the server's place.
inline constexpr DWORD folder_pipe_access = 0x12019B;

// The security descriptor of a folder pipe: one access-allowed entry for Everyone (S-1-1-0) with
// folder_pipe_access, no inheritance; no owner, group or SACL. Absolute form, pointing into the
// object itself, so it neither moves nor copies.
class folder_pipe_security {
public:
    folder_pipe_security();
    folder_pipe_security(const folder_pipe_security&) = delete;
    folder_pipe_security& operator=(const folder_pipe_security&) = delete;

    PSECURITY_DESCRIPTOR descriptor() noexcept { return &descriptor_; }

private:
    SECURITY_DESCRIPTOR descriptor_{};
    alignas(DWORD) std::byte everyone_[SECURITY_MAX_SID_SIZE]{};
    alignas(DWORD) std::byte acl_[64]{};
};

// The parameters of each pipe instance: the descriptor, 16 MiB buffers both ways, the default
// time-out, and for the listener's first instance the first-instance flag, so that a start that
// finds the name already taken fails instead of sharing it.
lurran::transports::pipe::create_server_params<> folder_pipe_params(PSECURITY_DESCRIPTOR descriptor,
                                                                    bool first_instance) noexcept;

class folder_pipe {
public:
    explicit folder_pipe(folder_pipe_host host);
    folder_pipe(const folder_pipe&) = delete;
    folder_pipe& operator=(const folder_pipe&) = delete;

    // Accepts clients until the folder's source is cancelled or accepting fails; completes with no
    // value then. Fails only with operation_cancelled, when the source was cancelled before it
    // began.
    tavik::details::future<void> listen_for_clients();

    // Serves one connected client until it disconnects or the folder stops. Nobody awaits it.
    tavik::details::future<void> on_client_connected(lurran::details::pipe::pipe_transport transport);

    // The handlers of one client's connection.
    tavik::details::future<folder_statistics> handle_info();
    tavik::details::future<std::expected<resync_stats, long>> handle_resync(api::repo_server_connection& connection,
                                                                           std::uint64_t cookie, std::int32_t level,
                                                                           purge_flags flags);
    tavik::details::future<std::expected<recover_stats, long>> handle_recover(api::repo_server_connection& connection,
                                                                             std::uint64_t cookie);
    tavik::details::future<std::int32_t> handle_delete(api::repo_server_connection& connection, bool force);

    const folder_pipe_host& host() const noexcept { return host_; }

private:
    folder_pipe_host host_;
};

} // namespace dedup::impl
