#pragma once
// The configuration utility's connections: to the service (ServiceInterface), to the folder server
// of one folder (RepoInterface, with the progress call-back served back), and between a second
// start and the running instance (ICopyData over WM_COPYDATA).
//
// The service and folder-server connections live for one operation: open, one or two calls,
// release. Each is held by a shared pointer, and its close handler shuts it down when the pipe
// breaks or the peer closes it: the connection library fails the calls still waiting only at its
// shutdown, so without the handler a call to a folder server that died would never end.

#include <plendor/commands/progress.h>

#include <dedup/api/repo_interface.h>
#include <dedup/api/service_interface.h>

#include <lurran/connection.h>
#include <lurran/copydata_transport.h>
#include <lurran/interface.h>

#include <tavik/future.h>

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

// Each wait of a connect to the service or a folder server, and how many waits it makes.
inline constexpr std::chrono::seconds connect_wait{3};
inline constexpr int connect_attempts = 5;

// The service's client end.
class service_connection : public dedup::api::service_client_connection {
public:
    // Connects to \\.\pipe\<pipe_name> and starts; a failed connect raises its HRESULT
    // (0x80070002 at once when the service's pipe does not exist).
    static std::shared_ptr<service_connection> open(std::wstring_view pipe_name = dedup::api::service_pipe_name);

    tavik::details::future<std::vector<std::wstring>> list_folders();
    tavik::details::future<std::int32_t> convert(std::wstring folder);
    tavik::details::future<std::int32_t> delete_folder(std::wstring folder, bool force);
};

// One folder server's client end.
class repo_connection : public dedup::api::repo_client_connection {
public:
    // Connects to the folder's pipe and starts. With a target, the folder server's progress goes
    // there; without, it is ignored.
    static std::shared_ptr<repo_connection> open(std::wstring_view folder, std::shared_ptr<progress> target);

    // Optimize: progress cookie 0, compression level 7, purge placeholders and blocks.
    tavik::details::future<std::expected<dedup::resync_stats, long>> resync();
    tavik::details::future<std::expected<dedup::recover_stats, long>> recover();
};

// What the progress call-back does with one message: a new stage text is shown before any numbers
// of it; an empty or repeated stage text passes the numbers on.
class progress_relay {
public:
    explicit progress_relay(std::shared_ptr<progress> target) : target_(std::move(target)) {}
    void on_progress(const std::wstring& stage, std::uint64_t done, std::uint64_t total);

private:
    std::shared_ptr<progress> target_;
    std::wstring last_stage_; // touched only by the connection's reader, one message at a time
};

// The one-method interface a second start calls on the running instance.
struct ICopyData {
    using forward_command_line = lurran::one_way_method<0x02D2E0D8, std::wstring>;
    using methods = lurran::method_list<forward_command_line>;
};

using copydata_sending_connection =
    lurran::details::connection<lurran::details::copydata::copydata_transport, lurran::server_of<lurran::no_interface>,
                                lurran::client_of<ICopyData>>;
using copydata_receiving_connection =
    lurran::details::connection<lurran::details::copydata::copydata_transport, lurran::server_of<ICopyData>,
                                lurran::client_of<lurran::no_interface>>;

// Hands a command line to the running instance's window and returns once the frame has been
// delivered or its send has failed (window gone, or not taken within the time-out): only then is
// the connection shut down, so a forward queued to the writer is never cancelled unsent. The
// send's HRESULT (S_OK when delivered).
HRESULT forward_command_line(HWND peer, HWND own, std::wstring_view command_line,
                             std::chrono::milliseconds send_timeout = lurran::details::copydata::default_send_timeout);

// The running instance's end: frames offered by its window are queued for the connection's
// reader, which calls the handler on a thread-pool thread, one message at a time.
class copydata_connection {
public:
    copydata_connection() = default;
    copydata_connection(const copydata_connection&) = delete;
    copydata_connection& operator=(const copydata_connection&) = delete;
    ~copydata_connection() { shutdown(); }

    // Binds to the window and starts reading; the handler must be callable from any thread.
    template <class F>
    void start(HWND own, F handler)
    {
        connection_.handler<ICopyData::forward_command_line>().assign(std::move(handler));
        lurran::details::copydata::copydata_transport transport(
            lurran::details::copydata::endpoints{nullptr, own, false});
        std::shared_ptr<lurran::details::copydata::inbox> inbox = transport.receiver();
        connection_.start(std::move(transport));
        AcquireSRWLockExclusive(&lock_);
        inbox_ = std::move(inbox);
        ReleaseSRWLockExclusive(&lock_);
    }

    // The window's WM_COPYDATA; whether the frame was taken.
    bool on_copydata(std::int64_t lparam, std::int64_t& result) noexcept;

    // Blocks until the reader has ended; frames arriving afterwards are not handled.
    void shutdown() noexcept;

private:
    copydata_receiving_connection connection_;
    SRWLOCK lock_ = SRWLOCK_INIT; // guards inbox_
    std::shared_ptr<lurran::details::copydata::inbox> inbox_;
};
