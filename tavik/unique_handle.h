#pragma once
// One owner for every kind of handle: `unique_resource<traits>` holds a value, closes it once with
// the traits' close when reset, replaced or destroyed, and moves like std::unique_ptr.
//
// Where closing has a choice (wait for thread-pool callbacks or not, cancel what is queued or not),
// the choice is in the type's name, so that a reader sees it at the declaration:
//   unique_handle                    a kernel handle whose empty value is null (events, processes)
//   unique_file                      a file or pipe handle whose empty value is INVALID_HANDLE_VALUE
//   unique_find_handle               FindFirstFileExW's handle (FindClose)
//   unique_mapped_view               a view of a file mapping (UnmapViewOfFile)
//   unique_threadpool_io_nowait      CloseThreadpoolIo alone: callbacks already queued still run,
//                                    so their context must outlive them; may be closed from its own
//                                    completion callback
//   unique_threadpool_io_wait        waits for the callbacks still running or queued, then closes;
//                                    never from one of those callbacks
//   unique_threadpool_timer_nowait   CloseThreadpoolTimer alone: a callback already queued still runs
//   unique_threadpool_timer_wait     stops the timer, cancels the callbacks not yet started, waits
//                                    for the running one, then closes; never from the callback
//   unique_threadpool_work_wait      waits for the queued and running callbacks, then closes

#include <windows.h>

#include <utility>

namespace tavik {

template <class Traits>
class unique_resource {
public:
    using pointer = typename Traits::pointer;

    unique_resource() noexcept = default;
    explicit unique_resource(pointer value) noexcept : value_(value) {}
    unique_resource(unique_resource&& other) noexcept : value_(other.release()) {}
    unique_resource& operator=(unique_resource&& other) noexcept
    {
        if (this != &other)
            reset(other.release());
        return *this;
    }
    unique_resource(const unique_resource&) = delete;
    unique_resource& operator=(const unique_resource&) = delete;
    ~unique_resource() { reset(); }

    pointer get() const noexcept { return value_; }
    explicit operator bool() const noexcept { return value_ != Traits::invalid(); }
    pointer release() noexcept { return std::exchange(value_, Traits::invalid()); }
    // Resetting to the value already held keeps it: closing it would leave this owner holding a
    // closed handle, whose value the system may hand out again before this owner closes it twice.
    void reset(pointer value = Traits::invalid()) noexcept
    {
        pointer old = std::exchange(value_, value);
        if (old != Traits::invalid() && old != value)
            Traits::close(old);
    }
    // For out-parameters of the platform's functions: closes what is held and hands out the slot.
    pointer* put() noexcept
    {
        reset();
        return &value_;
    }

private:
    pointer value_ = Traits::invalid();
};

namespace handle_traits {

struct kernel {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer h) noexcept { CloseHandle(h); }
};

struct file {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { CloseHandle(h); }
};

struct find {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept { FindClose(h); }
};

struct mapped_view {
    using pointer = const void*;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer view) noexcept { UnmapViewOfFile(view); }
};

struct threadpool_io_nowait {
    using pointer = PTP_IO;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer io) noexcept { CloseThreadpoolIo(io); }
};

struct threadpool_io_wait {
    using pointer = PTP_IO;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer io) noexcept
    {
        WaitForThreadpoolIoCallbacks(io, FALSE);
        CloseThreadpoolIo(io);
    }
};

struct threadpool_timer_nowait {
    using pointer = PTP_TIMER;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer timer) noexcept { CloseThreadpoolTimer(timer); }
};

struct threadpool_timer_wait {
    using pointer = PTP_TIMER;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer timer) noexcept
    {
        SetThreadpoolTimer(timer, nullptr, 0, 0);
        WaitForThreadpoolTimerCallbacks(timer, TRUE);
        CloseThreadpoolTimer(timer);
    }
};

struct threadpool_work_wait {
    using pointer = PTP_WORK;
    static pointer invalid() noexcept { return nullptr; }
    static void close(pointer work) noexcept
    {
        WaitForThreadpoolWorkCallbacks(work, FALSE);
        CloseThreadpoolWork(work);
    }
};

} // namespace handle_traits

using unique_handle = unique_resource<handle_traits::kernel>;
using unique_file = unique_resource<handle_traits::file>;
using unique_find_handle = unique_resource<handle_traits::find>;
using unique_mapped_view = unique_resource<handle_traits::mapped_view>;
using unique_threadpool_io_nowait = unique_resource<handle_traits::threadpool_io_nowait>;
using unique_threadpool_io_wait = unique_resource<handle_traits::threadpool_io_wait>;
using unique_threadpool_timer_nowait = unique_resource<handle_traits::threadpool_timer_nowait>;
using unique_threadpool_timer_wait = unique_resource<handle_traits::threadpool_timer_wait>;
using unique_threadpool_work_wait = unique_resource<handle_traits::threadpool_work_wait>;

} // namespace tavik
