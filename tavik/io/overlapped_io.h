#pragma once
// Awaitable overlapped reads and writes on Windows thread-pool I/O.
//
// A file opened with FILE_FLAG_OVERLAPPED is bound once to a thread-pool I/O object with
// skip-on-success completion (`overlapped_file`). Each read or write is then one
// `overlapped_io_awaiter`, awaited by one coroutine:
//
//     overlapped_file file(CreateFileW(...));            // binds, or throws
//     std::uint32_t n = co_await file.read(offset, buffer, length);
//
// Contract of the awaiter: awaited once, by the coroutine that made it, and it must stay where it
// is (it holds the OVERLAPPED the system writes to) until the await ends. An operation that the
// system completes at once continues on the awaiting thread without a completion callback; one
// that goes pending continues on the thread-pool I/O thread that completes it. The value of the
// co_await is the number of bytes transferred; reaching the end of the file is a success with fewer
// bytes (possibly 0), whether the system reports it at once or on completion. Every other failure
// raises `tavik::details::traceable_error` with HRESULT_FROM_WIN32 of the error. Nothing cancels
// an operation in flight; a coroutine cancelled before it starts one raises operation_cancelled
// through its own promise, as at every co_await.

#include <coroutine>
#include <cstdint>

#include <windows.h>

#include <tavik/unique_handle.h>

namespace tavik::io {

// The system calls of the I/O path. Tests substitute them to produce the answers the platform gives
// only rarely (an end of file reported at once, a failure at once, a handle that refuses
// skip-on-success) and to count the thread-pool notifications; the real ones are ReadFile,
// WriteFile and the thread-pool and completion-mode functions named below.
class file_io_calls {
public:
    // Same contract as ReadFile/WriteFile with no byte count: TRUE when completed at once, FALSE with
    // the thread's last error set otherwise (ERROR_IO_PENDING when a completion will follow).
    virtual BOOL read(HANDLE file, void* buffer, DWORD length, OVERLAPPED* overlapped) noexcept = 0;
    virtual BOOL write(HANDLE file, const void* buffer, DWORD length, OVERLAPPED* overlapped) noexcept = 0;

    // SetFileCompletionNotificationModes.
    virtual BOOL set_completion_modes(HANDLE file, UCHAR flags) noexcept
    {
        return SetFileCompletionNotificationModes(file, flags);
    }
    // StartThreadpoolIo before every read or write; CancelThreadpoolIo after one that the system
    // answered at once, for which no completion will come.
    virtual void start_io(PTP_IO io) noexcept { StartThreadpoolIo(io); }
    virtual void cancel_io(PTP_IO io) noexcept { CancelThreadpoolIo(io); }

protected:
    ~file_io_calls() = default;
};

// ReadFile and WriteFile themselves.
file_io_calls& system_file_io_calls() noexcept;

// The completion callback shared by every thread-pool I/O object of the process that carries
// awaiters (files of the store, the log file): it records the result in the awaiter that owns the
// OVERLAPPED and resumes its coroutine on this I/O thread.
void CALLBACK overlapped_io_completion(PTP_CALLBACK_INSTANCE instance, PVOID context, PVOID overlapped,
                                       ULONG io_result, ULONG_PTR bytes, PTP_IO io) noexcept;

// Binds `file` (opened with FILE_FLAG_OVERLAPPED) to a new thread-pool I/O object with the shared
// completion callback and switches on skip-on-success completion. Throws traceable_error with the
// last error when either step fails: the awaiter's synchronous path relies on no completion
// following a success at once, so a handle without that mode must not be used.
unique_threadpool_io_nowait bind_threadpool_io(HANDLE file, file_io_calls& calls = system_file_io_calls());

class overlapped_io_awaiter;

// A file handle and its thread-pool I/O object, owned together. Closing neither waits for nor
// cancels I/O (the I/O object's policy is "nowait"): every operation must have been awaited before
// the file goes. It may be closed from the completion thread of its last operation, where a wait
// for callbacks would never end.
class overlapped_file {
public:
    overlapped_file() noexcept = default;
    // Takes ownership of `file` (closed also when binding throws); an invalid handle stays unbound.
    explicit overlapped_file(HANDLE file, file_io_calls& calls = system_file_io_calls());
    overlapped_file(overlapped_file&& other) noexcept = default;
    overlapped_file& operator=(overlapped_file&& other) noexcept;
    overlapped_file(const overlapped_file&) = delete;
    overlapped_file& operator=(const overlapped_file&) = delete;
    ~overlapped_file() = default; // members go in reverse order: the I/O object, then the file

    explicit operator bool() const noexcept { return bool(file_); }
    HANDLE handle() const noexcept { return file_.get(); }
    PTP_IO io() const noexcept { return io_.get(); }
    file_io_calls& calls() const noexcept { return *calls_; }

    // CloseThreadpoolIo, then CloseHandle.
    void close() noexcept;

    overlapped_io_awaiter read(std::uint64_t position, void* buffer, std::uint32_t length) const noexcept;
    overlapped_io_awaiter write(std::uint64_t position, const void* buffer, std::uint32_t length) const noexcept;

private:
    // The I/O object is bound to the file: declared after it, so that it is closed first.
    unique_file file_;
    unique_threadpool_io_nowait io_;
    file_io_calls* calls_ = &system_file_io_calls();
};

// One pending read or write (see the contract at the top of this file).
class overlapped_io_awaiter {
public:
    enum class kind : std::uint8_t { read, write };

    overlapped_io_awaiter(kind k, const overlapped_file& file, std::uint64_t position, void* buffer,
                          std::uint32_t length) noexcept;
    // Moving is allowed only before the awaiter is awaited (the compiler moves the awaitable into
    // the coroutine frame); once started, the system writes into its OVERLAPPED.
    overlapped_io_awaiter(overlapped_io_awaiter&& other) noexcept = default;
    overlapped_io_awaiter(const overlapped_io_awaiter&) = delete;
    overlapped_io_awaiter& operator=(const overlapped_io_awaiter&) = delete;

    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> awaiting) noexcept;
    std::uint32_t await_resume() const;

private:
    friend void CALLBACK overlapped_io_completion(PTP_CALLBACK_INSTANCE, PVOID, PVOID, ULONG, ULONG_PTR,
                                                  PTP_IO) noexcept;

    // First, so that the completion callback finds the awaiter from the OVERLAPPED it receives.
    OVERLAPPED overlapped_{};
    DWORD result_ = 0;  // I/O result: from the completion callback, or the error reported at once
    std::coroutine_handle<> continuation_;
    const overlapped_file* file_;
    void* buffer_;
    std::uint32_t length_;
    kind kind_;
};

inline overlapped_io_awaiter overlapped_file::read(std::uint64_t position, void* buffer,
                                                   std::uint32_t length) const noexcept
{
    return {overlapped_io_awaiter::kind::read, *this, position, buffer, length};
}

inline overlapped_io_awaiter overlapped_file::write(std::uint64_t position, const void* buffer,
                                                    std::uint32_t length) const noexcept
{
    return {overlapped_io_awaiter::kind::write, *this, position, const_cast<void*>(buffer), length};
}

} // namespace tavik::io
