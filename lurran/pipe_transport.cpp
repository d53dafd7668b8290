#include <lurran/pipe_transport.h>

#include <tavik/error.h>

#include <algorithm>
#include <atomic>
#include <coroutine>
#include <cstddef>
#include <cstring>
#include <vector>
#include <utility>

namespace lurran::details::pipe {

namespace {

constexpr HRESULT e_fail = static_cast<HRESULT>(0x80004005);
constexpr HRESULT e_invalidarg = static_cast<HRESULT>(0x80070057);
constexpr DWORD piece_size = 65536;
constexpr std::size_t small_body_size = 1024;

} // namespace

// One ReadFile, WriteFile or ConnectNamedPipe in flight, awaited by the coroutine in whose frame
// the record lives. The OVERLAPPED comes first: the completion callback receives only its address.
//
// Who resumes the coroutine: the issuing thread still uses the record after the call has gone
// pending (to test for a cancellation that came before the operation was published), so the
// completion callback and the issuer each exchange `handoff`; whichever comes second continues
// the coroutine. The record is therefore never freed while the issuer still touches it.
struct io_operation {
    enum class kind { read, write, connect };

    OVERLAPPED overlapped{};
    DWORD result = 0;
    DWORD transferred = 0;
    std::coroutine_handle<> waiter;
    std::atomic<int> handoff{0};
    pipe_transport* transport;
    const tavik::details::cancellation_source* source;
    kind what;
    std::byte* buffer = nullptr;
    DWORD length = 0;

    io_operation(pipe_transport& t, const tavik::details::cancellation_source& s, kind k) noexcept
        : transport(&t), source(&s), what(k)
    {
    }
    io_operation(const io_operation&) = delete;
    io_operation& operator=(const io_operation&) = delete;

    // What a coroutine awaits: a reference to the record, which stays in place in its frame.
    struct awaiter {
        io_operation* op;
        bool await_ready() const noexcept { return false; }
        bool await_suspend(std::coroutine_handle<> h) noexcept { return op->start(h); }
        DWORD await_resume() { return op->finish(); }
    };

    // The next operation on the same record.
    awaiter with(std::byte* data, DWORD size) noexcept
    {
        buffer = data;
        length = size;
        return awaiter{this};
    }

    io_operation*& slot() noexcept { return what == kind::write ? transport->writing_ : transport->reading_; }

    void publish(io_operation* value) noexcept
    {
        AcquireSRWLockExclusive(&transport->in_flight_lock_);
        slot() = value;
        ReleaseSRWLockExclusive(&transport->in_flight_lock_);
    }

    // False when the coroutine goes on at once: the operation finished or failed at once, or its
    // completion came before the issuer was done with the record.
    bool start(std::coroutine_handle<> h) noexcept
    {
        overlapped = OVERLAPPED{};
        result = 0;
        transferred = 0;
        waiter = h;
        handoff.store(0, std::memory_order_relaxed);
        publish(this);

        HANDLE pipe = transport->pipe_.get();
        if (transport->issue_hook_)
            transport->issue_hook_();
        StartThreadpoolIo(transport->io_.get());
        BOOL ok;
        DWORD done = 0;
        switch (what) {
        case kind::read:
            ok = ReadFile(pipe, buffer, length, &done, &overlapped);
            break;
        case kind::write:
            ok = WriteFile(pipe, buffer, length, &done, &overlapped);
            break;
        default:
            ok = ConnectNamedPipe(pipe, &overlapped);
            break;
        }
        DWORD error = ok ? ERROR_SUCCESS : GetLastError();
        if (what == kind::connect && error == ERROR_PIPE_CONNECTED)
            error = ERROR_SUCCESS; // the client came between the creation and the call
        if (error == ERROR_SUCCESS) {
            // Completion packets are skipped for operations that succeed at once: none will come.
            CancelThreadpoolIo(transport->io_.get());
            transferred = done;
            return false;
        }
        if (error != ERROR_IO_PENDING) {
            CancelThreadpoolIo(transport->io_.get());
            result = error;
            return false;
        }
        // A cancellation that ran before this operation was published found nothing to cancel;
        // its source is already marked, so the operation is cancelled here instead of pending on.
        if (source->is_cancelled())
            CancelIoEx(pipe, &overlapped);
        return handoff.exchange(1, std::memory_order_acq_rel) == 0;
    }

    // The byte count; a failed operation raises its Win32 error as an HRESULT.
    DWORD finish()
    {
        publish(nullptr);
        if (result != ERROR_SUCCESS && result != ERROR_HANDLE_EOF)
            tavik::details::throw_win32_error(static_cast<std::int32_t>(result));
        return transferred;
    }

    static void CALLBACK completed(PTP_CALLBACK_INSTANCE, PVOID, PVOID overlapped, ULONG io_result,
                                   ULONG_PTR bytes, PTP_IO) noexcept
    {
        auto* op = reinterpret_cast<io_operation*>(overlapped);
        op->result = io_result;
        op->transferred = static_cast<DWORD>(bytes);
        std::coroutine_handle<> waiter = op->waiter;
        if (op->handoff.exchange(1, std::memory_order_acq_rel) != 0)
            waiter.resume();
    }
};
static_assert(offsetof(io_operation, overlapped) == 0);

namespace {

// Completion of operations that succeed at once is skipped, and a thread-pool I/O object is bound
// to the pipe. Either failure raises the last error.
tavik::unique_threadpool_io_nowait bind_to_thread_pool(HANDLE pipe)
{
    if (!SetFileCompletionNotificationModes(pipe, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS))
        tavik::details::throw_last_error();
    tavik::unique_threadpool_io_nowait io(CreateThreadpoolIo(pipe, &io_operation::completed, nullptr, nullptr));
    if (!io)
        tavik::details::throw_last_error();
    return io;
}

} // namespace

pipe_transport::pipe_transport(tavik::unique_file pipe, tavik::unique_threadpool_io_nowait io, bool server_side)
    : pipe_(std::move(pipe)), io_(std::move(io)), cancellation_(tavik::details::make_cancellation_source_body()), server_side_(server_side ? 1 : 0)
{
}

pipe_transport::pipe_transport(pipe_transport&& other) noexcept
    : pipe_(std::move(other.pipe_)),
      io_(std::move(other.io_)),
      cancellation_(std::move(other.cancellation_)),
      server_side_(other.server_side_),
      carried_(std::move(other.carried_)),
      carried_at_(std::exchange(other.carried_at_, 0))
{
    other.cancellation_ = tavik::details::cancellation_source(nullptr);
}

pipe_transport& pipe_transport::operator=(pipe_transport&& other) noexcept
{
    if (this != &other) {
        close(); // member by member would close the pipe before its I/O object
        pipe_ = std::move(other.pipe_);
        io_ = std::move(other.io_);
        cancellation_ = std::move(other.cancellation_);
        other.cancellation_ = tavik::details::cancellation_source(nullptr);
        server_side_ = other.server_side_;
        carried_ = std::move(other.carried_);
        carried_at_ = std::exchange(other.carried_at_, 0);
    }
    return *this;
}

void pipe_transport::close() noexcept
{
    cancellation_ = tavik::details::cancellation_source(nullptr);
    io_.reset();
    pipe_.reset();
    carried_.clear();
    carried_at_ = 0;
}

std::size_t pipe_transport::take_carried(std::byte* to, std::size_t most) noexcept
{
    const std::size_t n = std::min(most, carried_.size() - carried_at_);
    if (n != 0)
        std::memcpy(to, carried_.data() + carried_at_, n);
    carried_at_ += n;
    if (carried_at_ == carried_.size()) {
        carried_.clear();
        carried_at_ = 0;
    }
    return n;
}

void pipe_transport::carry(const std::byte* from, std::size_t size)
{
    if (size != 0)
        carried_.insert(carried_.end(), from, from + size);
}

void pipe_transport::link_cancellation(const tavik::details::cancellation_source& parent)
{
    cancellation_ = tavik::details::make_linked_cancellation_source(parent);
}

void pipe_transport::cancel_in_flight() noexcept
{
    AcquireSRWLockExclusive(&in_flight_lock_);
    // CancelIoEx on an operation that has just completed does nothing.
    if (reading_)
        CancelIoEx(pipe_.get(), &reading_->overlapped);
    if (writing_)
        CancelIoEx(pipe_.get(), &writing_->overlapped);
    ReleaseSRWLockExclusive(&in_flight_lock_);
}

tavik::details::future<message_t> pipe_transport::read()
{
    using namespace tavik::details;
    if (!pipe_)
        throw_hresult(e_fail);
    cancellation_token token(cancellation_, co_await this_promise);
    cancellation_subscription subscription(token, [this] { cancel_in_flight(); });
    io_operation op(*this, cancellation_, io_operation::kind::read);

    // The header may arrive in more than one piece; a peer that stops (closes, or sends an empty
    // write) inside it has sent a malformed frame. A header and a small body usually arrive
    // together: a read asks for both at once (every pipe operation costs a round trip), and what
    // it gets beyond the header is carried to the body, or to the next frame.
    std::byte header[frame_header_size];
    std::byte staging[frame_header_size + small_body_size];
    std::size_t have = take_carried(header, frame_header_size);
    while (have < frame_header_size) {
        DWORD n;
        try {
            n = co_await op.with(staging, DWORD(sizeof staging));
        } catch (const traceable_error& e) {
            if (have != 0 && e.code() == hresult_from_win32(ERROR_BROKEN_PIPE))
                throw_hresult(e_invalidarg);
            throw;
        }
        if (n == 0)
            throw_hresult(e_invalidarg);
        const std::size_t used = std::min<std::size_t>(n, frame_header_size - have);
        std::memcpy(header + have, staging, used);
        have += used;
        carry(staging + used, n - used);
    }
    frame_header h = decode_frame_header(header);
    if (h.body_size > max_body_size)
        throw_hresult(e_invalidarg);

    // A body of up to one piece (every body the product sends) is allocated once, at its full
    // size. A longer one grows only with the bytes that have actually arrived: otherwise a header
    // alone, which any local user can send, would commit max_body_size of this process's memory
    // per connection for a body that never comes. It grows to hold everything already waiting in
    // the pipe (the sender has usually written most of a large body by then), or doubles when
    // less is waiting; growing in small steps would copy the body into fresh memory many times.
    // Each read asks for the whole room left, so a large body takes a few reads, not one per
    // piece: every pipe operation costs a round trip and a completion.
    const std::size_t size = h.body_size;
    std::vector<std::byte> body;
    body.reserve(std::min<std::size_t>(size, piece_size));
    body.resize(std::min(size, carried_.size() - carried_at_));
    take_carried(body.data(), body.size());
    while (body.size() < size) {
        const std::size_t at = body.size();
        if (size - at <= sizeof staging) {
            // The rest of a small body: read with whatever follows it.
            DWORD n;
            try {
                n = co_await op.with(staging, DWORD(sizeof staging));
            } catch (const traceable_error& e) {
                if (e.code() == hresult_from_win32(ERROR_BROKEN_PIPE))
                    throw_hresult(e_invalidarg);
                throw;
            }
            if (n == 0)
                throw_hresult(e_invalidarg);
            const std::size_t used = std::min<std::size_t>(n, size - at);
            body.insert(body.end(), staging, staging + used);
            carry(staging + used, n - used);
            continue;
        }
        if (body.capacity() <= at) {
            DWORD waiting = 0;
            if (!PeekNamedPipe(pipe_.get(), nullptr, 0, nullptr, &waiting, nullptr))
                waiting = 0; // the read below reports what is wrong with the pipe
            body.reserve(std::min(size, std::max({body.capacity() * 2, at + piece_size, at + waiting})));
        }
        const DWORD want = DWORD(std::min(size, body.capacity()) - at);
        body.resize(at + want);
        DWORD n;
        try {
            n = co_await op.with(body.data() + at, want);
        } catch (const traceable_error& e) {
            if (e.code() == hresult_from_win32(ERROR_BROKEN_PIPE))
                throw_hresult(e_invalidarg);
            throw;
        }
        if (n == 0)
            throw_hresult(e_invalidarg);
        body.resize(at + n);
    }
    co_return message_t(h.call_word, h.method_id, std::move(body));
}

tavik::details::future<void> pipe_transport::write(message_t message)
{
    using namespace tavik::details;
    if (!pipe_)
        throw_hresult(e_fail);
    if (message.body.size() > max_body_size)
        throw_hresult(e_invalidarg);
    cancellation_token token(cancellation_, co_await this_promise);
    cancellation_subscription subscription(token, [this] { cancel_in_flight(); });
    io_operation op(*this, cancellation_, io_operation::kind::write);

    // A small body travels in one write with its header: a pipe operation costs far more than
    // copying a few hundred bytes. Larger bodies are written from the message itself.
    std::byte small[frame_header_size + small_body_size];
    std::byte(&header)[frame_header_size] = *reinterpret_cast<std::byte(*)[frame_header_size]>(small);
    encode_frame_header(message, std::uint32_t(message.body.size()), header);
    std::size_t first = frame_header_size;
    std::size_t at = 0;
    if (message.body.size() <= small_body_size) {
        if (!message.body.empty())
            std::memcpy(small + frame_header_size, message.body.data(), message.body.size());
        first += message.body.size();
        at = message.body.size();
    }
    // A byte-mode pipe takes a whole write or fails it; a short count is still honoured rather
    // than trusted, so that a frame is never left cut on the wire.
    std::size_t sent = 0;
    while (sent < first) {
        DWORD n = co_await op.with(small + sent, DWORD(first - sent));
        if (n == 0)
            throw_win32_error(ERROR_WRITE_FAULT);
        sent += n;
    }
    while (at < message.body.size()) {
        DWORD want = DWORD(std::min<std::size_t>(message.body.size() - at, piece_size));
        DWORD n = co_await op.with(message.body.data() + at, want);
        if (n == 0)
            throw_win32_error(ERROR_WRITE_FAULT);
        at += n;
    }
}

} // namespace lurran::details::pipe

namespace lurran::transports::pipe {

using details::pipe::io_operation;
using details::pipe::pipe_transport;

tavik::details::future<pipe_transport> create_server(std::wstring_view name, tavik::details::cancellation_source source,
                                                     create_server_params<null_caller> params)
{
    using namespace tavik::details;
    cancellation_token token(source, co_await this_promise);

    SECURITY_ATTRIBUTES attributes{sizeof(SECURITY_ATTRIBUTES), params.security_descriptor, FALSE};
    std::wstring path = L"\\\\.\\pipe\\";
    path.append(name);
    // Remote clients are refused: the folder pipe grants every local user access, and that must
    // not extend to the network.
    tavik::unique_file pipe(CreateNamedPipeW(path.c_str(), details::pipe::server_open_mode(params),
                                                     PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS,
                                                     params.max_instances, params.out_buffer_size,
                                                     params.in_buffer_size, params.default_timeout,
                                                     params.security_descriptor ? &attributes : nullptr));
    if (!pipe)
        throw_last_error();
    tavik::unique_threadpool_io_nowait io = details::pipe::bind_to_thread_pool(pipe.get());

    // The transport owns the pipe while the connect runs, so that the operation record and the
    // cancellation find it; on failure it closes both.
    pipe_transport transport(std::move(pipe), std::move(io), true);
    {
        cancellation_subscription subscription(token, [&transport] { transport.cancel_in_flight(); });
        io_operation op(transport, source, io_operation::kind::connect);
        for (;;) {
            try {
                co_await op.with(nullptr, 0);
                ULONG client = 0;
                std::uint32_t expected = params.client_process_id;
                if (params.later_client_process_id)
                    expected = co_await *params.later_client_process_id;
                // A client of another process than the one expected is turned away like one that
                // has already left: it must neither get the instance nor end the listening.
                if (!params.later_client_process_id && expected == 0)
                    break;
                if (expected != 0 && GetNamedPipeClientProcessId(transport.native_handle(), &client) &&
                    client == expected)
                    break;
            } catch (const traceable_error& e) {
                // A client that connected and closed again before the call leaves the instance
                // in need of a disconnect; it is not a client to hand out, and it must not end
                // the caller's listening either: the instance waits for the next one.
                if (e.code() != hresult_from_win32(ERROR_NO_DATA))
                    throw;
            }
            if (!DisconnectNamedPipe(transport.native_handle()))
                throw_last_error();
        }
    }
    co_return std::move(transport);
}

pipe_transport connect_pipe(std::wstring_view server, std::wstring_view name, wait_duration wait, int attempts)
{
    using namespace tavik::details;
    std::wstring path = L"\\\\";
    path.append(server);
    path.append(L"\\pipe\\");
    path.append(name);
    const auto ms = std::clamp<std::int64_t>(wait.count() / 10'000, 0, std::int64_t(MAXDWORD - 1));

    // An attempt is a wait for an instance that ran out. A wait that succeeded but whose instance
    // another client took first costs no attempt; the whole connect is still bounded by the time
    // all attempts could take.
    const auto deadline = std::chrono::steady_clock::now() + wait * std::max(attempts, 1);
    tavik::unique_file pipe;
    int timed_out = 0;
    for (;;) {
        // The server may identify the client but never act as it: a process that got hold of an
        // instance of the name must not be able to impersonate whoever connects.
        pipe.reset(CreateFileW(path.c_str(), details::pipe::client_access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_FLAG_OVERLAPPED | SECURITY_SQOS_PRESENT | SECURITY_IDENTIFICATION,
                               nullptr));
        if (pipe)
            break;
        const DWORD error = GetLastError();
        // Busy is the moment between two accepts of the server's single listening instance:
        // wait for the next instance. A pipe with no instance at all makes WaitNamedPipeW fail
        // at once with ERROR_FILE_NOT_FOUND, so a server that is not running is reported at once.
        if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PIPE_BUSY)
            throw_win32_error(static_cast<std::int32_t>(error));
        if (!WaitNamedPipeW(path.c_str(), DWORD(ms))) {
            const DWORD wait_error = GetLastError();
            if (wait_error != ERROR_SEM_TIMEOUT)
                throw_win32_error(static_cast<std::int32_t>(wait_error));
            ++timed_out;
        }
        if (timed_out >= attempts || std::chrono::steady_clock::now() >= deadline)
            throw_win32_error(ERROR_TIMEOUT);
    }

    DWORD mode = PIPE_READMODE_BYTE;
    if (!SetNamedPipeHandleState(pipe.get(), &mode, nullptr, nullptr))
        throw_last_error();
    tavik::unique_threadpool_io_nowait io = details::pipe::bind_to_thread_pool(pipe.get());
    return pipe_transport(std::move(pipe), std::move(io), false);
}

} // namespace lurran::transports::pipe

namespace lurran::details::pipe {

DWORD server_open_mode(const transports::pipe::create_server_params<transports::pipe::null_caller>& params) noexcept
{
    DWORD mode = PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED;
    if (params.first_instance)
        mode |= FILE_FLAG_FIRST_PIPE_INSTANCE;
    return mode;
}

} // namespace lurran::details::pipe

namespace lurran {

std::wstring make_repo_pipe_name(std::wstring_view folder_path)
{
    constexpr std::wstring_view prefix = L"Quvan-dedupapi-v1.0/";
    std::wstring name(prefix);
    name.append(folder_path);
    std::replace(name.begin() + prefix.size(), name.end(), L'\\', L'/');
    return name;
}

} // namespace lurran
