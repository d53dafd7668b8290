#include <tavik/io/overlapped_io.h>

#include <cstddef>
#include <utility>

#include <tavik/error.h>

namespace tavik::io {

namespace {

class system_calls final : public file_io_calls {
public:
    BOOL read(HANDLE file, void* buffer, DWORD length, OVERLAPPED* overlapped) noexcept override
    {
        return ReadFile(file, buffer, length, nullptr, overlapped);
    }
    BOOL write(HANDLE file, const void* buffer, DWORD length, OVERLAPPED* overlapped) noexcept override
    {
        return WriteFile(file, buffer, length, nullptr, overlapped);
    }
};

system_calls the_system_calls;

} // namespace

file_io_calls& system_file_io_calls() noexcept
{
    return the_system_calls;
}

void CALLBACK overlapped_io_completion(PTP_CALLBACK_INSTANCE, PVOID, PVOID overlapped, ULONG io_result,
                                       ULONG_PTR bytes, PTP_IO) noexcept
{
    static_assert(offsetof(overlapped_io_awaiter, overlapped_) == 0);
    auto* awaiter = reinterpret_cast<overlapped_io_awaiter*>(overlapped);
    awaiter->result_ = io_result;
    awaiter->overlapped_.InternalHigh = bytes;
    awaiter->continuation_.resume();
}

unique_threadpool_io_nowait bind_threadpool_io(HANDLE file, file_io_calls& calls)
{
    unique_threadpool_io_nowait io(CreateThreadpoolIo(file, overlapped_io_completion, nullptr, nullptr));
    if (!io)
        tavik::details::throw_last_error();
    if (!calls.set_completion_modes(file, FILE_SKIP_COMPLETION_PORT_ON_SUCCESS))
        tavik::details::throw_last_error();
    return io;
}

overlapped_file::overlapped_file(HANDLE file, file_io_calls& calls) : calls_(&calls)
{
    // Either empty value of a handle leaves the file unbound.
    if (file == nullptr || file == INVALID_HANDLE_VALUE)
        return;
    file_.reset(file);
    io_ = bind_threadpool_io(file, calls); // when it throws, the destroyed members close the file
}

overlapped_file& overlapped_file::operator=(overlapped_file&& other) noexcept
{
    // Member by member would close this file before its I/O object.
    if (this != &other) {
        close();
        file_ = std::move(other.file_);
        io_ = std::move(other.io_);
        calls_ = other.calls_;
    }
    return *this;
}

void overlapped_file::close() noexcept
{
    io_.reset();
    file_.reset();
}

overlapped_io_awaiter::overlapped_io_awaiter(kind k, const overlapped_file& file, std::uint64_t position,
                                             void* buffer, std::uint32_t length) noexcept
    : file_(&file), buffer_(buffer), length_(length), kind_(k)
{
    overlapped_.Offset = DWORD(position);
    overlapped_.OffsetHigh = DWORD(position >> 32);
}

bool overlapped_io_awaiter::await_suspend(std::coroutine_handle<> awaiting) noexcept
{
    continuation_ = awaiting;
    PTP_IO io = file_->io();
    if (!io) {
        result_ = ERROR_INVALID_HANDLE; // a file that was never bound, or was closed
        return false;
    }
    auto& calls = file_->calls();
    calls.start_io(io);
    BOOL done = kind_ == kind::read ? calls.read(file_->handle(), buffer_, length_, &overlapped_)
                                    : calls.write(file_->handle(), buffer_, length_, &overlapped_);
    if (done) {
        // Skip-on-success: no completion will come for this operation.
        calls.cancel_io(io);
        result_ = ERROR_SUCCESS;
        return false;
    }
    DWORD error = GetLastError();
    if (error == ERROR_IO_PENDING)
        return true;  // the completion callback may already be resuming us: touch nothing more
    // A failure at once queues no completion either. The end of the file reported at once is the
    // same success with 0 bytes that a later completion would report.
    calls.cancel_io(io);
    if (error == ERROR_HANDLE_EOF)
        overlapped_.InternalHigh = 0;
    result_ = error;
    return false;
}

std::uint32_t overlapped_io_awaiter::await_resume() const
{
    if (result_ != ERROR_SUCCESS && result_ != ERROR_HANDLE_EOF)
        tavik::details::throw_win32_error(int(result_));
    return std::uint32_t(overlapped_.InternalHigh);
}

} // namespace tavik::io
