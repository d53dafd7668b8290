#pragma once
// The frames of one connection over one byte-mode Windows named pipe, with overlapped I/O
// completed on the Windows thread pool: no thread ever blocks in a read or a write.
//
// A transport is empty, then open once create_server or connect_pipe has filled it, then closed by
// close() or its destruction; it is never reopened. One reader and one writer may use it at the
// same time, each with at most one operation in flight; its owner (the connection) closes it only
// after both have ended.
//
// Cancellation: cancelling the transport's source (a child of the connection's, see
// link_cancellation) aborts the read and the write in flight with 0x800703E3; an operation not
// yet started fails with operation_cancelled (0x800704C7).

#include <lurran/handler_slot.h>
#include <lurran/message.h>

#include <tavik/cancellation.h>
#include <tavik/future.h>
#include <tavik/unique_handle.h>

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace lurran::details::pipe {

struct io_operation;

class pipe_transport {
public:
    pipe_transport() noexcept = default;
    // Takes a connected, overlapped pipe and its thread-pool I/O object.
    pipe_transport(tavik::unique_file pipe, tavik::unique_threadpool_io_nowait io, bool server_side);
    pipe_transport(pipe_transport&& other) noexcept;
    pipe_transport& operator=(pipe_transport&& other) noexcept;
    pipe_transport(const pipe_transport&) = delete;
    pipe_transport& operator=(const pipe_transport&) = delete;
    ~pipe_transport() { close(); }

    // Reads one frame. A header or body cut short by the peer, or a body longer than
    // max_body_size, fails with E_INVALIDARG; the peer closing between frames fails with
    // 0x8007006D; a closed transport fails with E_FAIL.
    tavik::details::future<message_t> read();

    // Writes one frame; the message's body is freed when the write ends. A body longer than
    // max_body_size fails with E_INVALIDARG without writing anything.
    tavik::details::future<void> write(message_t message);

    // Releases the source and closes the I/O object and the pipe. Closing an empty transport does
    // nothing.
    void close() noexcept;

    // Replaces the transport's source by a child of the given one.
    void link_cancellation(const tavik::details::cancellation_source& parent);

    bool is_open() const noexcept { return bool(pipe_); }
    bool server_side() const noexcept { return server_side_ != 0; }
    HANDLE native_handle() const noexcept { return pipe_.get(); }

    // Cancels the operations in flight; run by the cancellation subscriptions of the operations.
    void cancel_in_flight() noexcept;

    // Test seam: runs after an operation has been published and before it is issued, the moment
    // at which a cancellation finds nothing in flight to cancel.
    void set_issue_hook(handler_slot<void()> hook) noexcept { issue_hook_ = std::move(hook); }

private:
    friend struct io_operation;

    tavik::unique_file pipe_;
    // Closed without waiting, before the pipe: the owner closes the transport only after both
    // operations have ended, possibly on the completion thread of the last one, where a wait for
    // callbacks would never end.
    tavik::unique_threadpool_io_nowait io_;
    tavik::details::cancellation_source cancellation_{std::shared_ptr<tavik::details::cancellation_source_body>{}};
    std::uint8_t server_side_ = 0;

    // Guards the two pointers: the operations in flight, published so that a cancellation can
    // reach them. Taken by the issuing coroutine and by the cancellation callback, never together
    // with another lock.
    SRWLOCK in_flight_lock_ = SRWLOCK_INIT;
    io_operation* reading_ = nullptr;
    io_operation* writing_ = nullptr;
    handler_slot<void()> issue_hook_;
    // Bytes a read took in beyond the frame it was reading (the start of the next frame), used
    // first by the next read; only the reading coroutine touches them.
    std::vector<std::byte> carried_;
    std::size_t carried_at_ = 0;
    std::size_t take_carried(std::byte* to, std::size_t most) noexcept;
    void carry(const std::byte* from, std::size_t size);
};

} // namespace lurran::details::pipe

namespace lurran::transports::pipe {

// Adds nothing: the only caller policy of create_server_params.
struct null_caller {};

template <typename Caller = null_caller>
struct create_server_params {
    // Applied to the pipe instance; null means the process's default security.
    PSECURITY_DESCRIPTOR security_descriptor = nullptr;
    // Carried for the callers that fill it; the transport does not read it.
    std::uint32_t reserved_size = 0;
    std::uint32_t out_buffer_size = 0;
    std::uint32_t in_buffer_size = 0;
    // Milliseconds; 0 selects the platform's default of 50 ms.
    std::uint32_t default_timeout = 0;
    // Carried for the callers that fill them; the transport does not read them.
    std::uint8_t reserved_flag_a = 0;
    std::uint8_t reserved_flag_b = 0;
    // Creates the instance with FILE_FLAG_FIRST_PIPE_INSTANCE: the creation fails
    // (ERROR_ACCESS_DENIED) when any instance of the name exists already, so a listener that finds
    // the name taken by another process fails instead of sharing it with that process.
    bool first_instance = false;
    // The most instances the name may have at once (1 to 255); PIPE_UNLIMITED_INSTANCES by default.
    std::uint32_t max_instances = PIPE_UNLIMITED_INSTANCES;
    // Non-zero: only a client of this process id is handed out; any other client is disconnected
    // and the instance waits for the next one.
    std::uint32_t client_process_id = 0;
    // Non-null: the process id of the only client to hand out, given after the instance exists
    // (the listener starts the process that will connect only once its name is taken). A client
    // that connects before the id is known waits for it; any other is disconnected as above, and
    // the id 0 turns every client away.
    std::shared_ptr<tavik::details::promise_type_<std::uint32_t>> later_client_process_id;
};

// Creates one instance of \\.\pipe\<name> (byte mode, local clients only) and completes with a
// transport once a client has connected to it. Cancelling the source while it waits fails it with
// 0x800703E3 and closes the instance. One call accepts exactly one client.
tavik::details::future<details::pipe::pipe_transport> create_server(std::wstring_view name,
                                                                    tavik::details::cancellation_source source,
                                                                    create_server_params<null_caller> params);

// 100-nanosecond units.
using wait_duration = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;

// Opens the client end of \\<server>\pipe\<name>, synchronously. A pipe that does not exist fails
// at once (0x80070002). While every instance is busy it waits up to `wait` for one and tries
// again; after `attempts` waits that ran out, or once `attempts` times `wait` has passed, it fails
// with ERROR_TIMEOUT (0x800705B4). Other failures raise their Win32 error.
details::pipe::pipe_transport connect_pipe(std::wstring_view server, std::wstring_view name, wait_duration wait,
                                           int attempts = 3);

} // namespace lurran::transports::pipe

namespace lurran::details::pipe {

// The open mode create_server gives CreateNamedPipeW for these parameters.
DWORD server_open_mode(const transports::pipe::create_server_params<transports::pipe::null_caller>& params) noexcept;

// What connect_pipe asks of the pipe: reading, writing data, and changing the handle's mode.
// Not GENERIC_WRITE, which holds FILE_CREATE_PIPE_INSTANCE: a server that rightly grants its
// clients no right to create instances of its name would then refuse them.
inline constexpr DWORD client_access = GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES;

} // namespace lurran::details::pipe

namespace lurran {

// "Quvan-dedupapi-v1.0/" followed by the folder path with every backslash turned into a slash;
// nothing else changes.
std::wstring make_repo_pipe_name(std::wstring_view folder_path);

} // namespace lurran
