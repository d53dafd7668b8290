#pragma once
// Exceptions that carry an HRESULT, and the helpers that raise them.
//
// Every failed system call becomes a traceable_error; cancellation is always operation_cancelled
// (HRESULT 0x800704C7) whatever raised it. None of these types derives from std::exception: catch
// sites that turn failures into HRESULTs catch traceable_error (or hresult_error_impl) first and
// treat anything else as E_FAIL.

#include <windows.h>

#include <cstdint>
#include <span>
#include <string>
#include <system_error>

namespace tavik::details {

inline constexpr HRESULT cancelled_hresult = static_cast<HRESULT>(0x800704C7); // HRESULT_FROM_WIN32(ERROR_CANCELLED)

// HRESULT_FROM_WIN32: a code x <= 0 stays x; otherwise 0x80070000 | (x & 0xFFFF).
constexpr HRESULT hresult_from_win32(std::int32_t code) noexcept
{
    return code <= 0 ? static_cast<HRESULT>(code)
                     : static_cast<HRESULT>(0x80070000u | (static_cast<std::uint32_t>(code) & 0xFFFFu));
}

// The HRESULT part of every error of the family.
class hresult_error_impl {
public:
    explicit hresult_error_impl(HRESULT code) noexcept : code_(code) {}

    HRESULT code() const noexcept { return code_; }

    // The system's message text for the code (FormatMessageW), trimmed of spaces, tabs and line
    // breaks at both ends; empty when the system does not know the code.
    static std::wstring message(HRESULT code);
    std::wstring message() const { return message(code_); }

    // The code as a standard error code of the "dedup.io" category.
    std::error_code to_error_code() const noexcept;

private:
    HRESULT code_;
};

namespace bases {

// Trace policy that records nothing: for programs that do not want stack traces in their errors.
class empty {
public:
    std::span<const std::uint64_t> frames() const noexcept { return {}; }
    std::uint32_t trace_hash() const noexcept { return 0; }

protected:
    empty() noexcept = default;
};

// Trace policy that records the return addresses of the raising thread's stack. The frames are
// kept in one immutable, reference-counted block of exactly the captured size, so copying an
// error (into an exception_ptr, out of a future) never allocates and never fails.
class stacktrace {
public:
    std::span<const std::uint64_t> frames() const noexcept;
    std::uint32_t trace_hash() const noexcept;

    stacktrace(const stacktrace& other) noexcept;
    stacktrace& operator=(const stacktrace& other) noexcept;
    ~stacktrace();

    // Heap bytes one stored error keeps for its trace (shared by its copies).
    std::size_t trace_bytes() const noexcept;

    struct block; // the shared frames: reference count, hash, count, frames

protected:
    // Captures the calling thread's stack, leaving out the capturing frames themselves. Never
    // fails: without memory the trace is empty with hash 0.
    stacktrace() noexcept;

private:
    block* block_ = nullptr;
};

} // namespace bases

// An HRESULT error with a trace policy. Impl is the HRESULT part (hresult_error_impl), Trace the
// policy (bases::stacktrace or bases::empty).
template <class Impl, class Trace>
class basic_traceable_error : public Trace, public Impl {
public:
    explicit basic_traceable_error(HRESULT code) noexcept : Trace(), Impl(code) {}

    // The message, "\r\n", then one line per captured frame, each ending in "\r\n".
    std::wstring full_text() const;
};

// The trace policy of the error below, chosen when the runtime is built: the programs keep the
// stack where an error was raised; a build with TAVIK_ERRORS_WITHOUT_TRACE (the shell extension's)
// keeps only the HRESULT.
#if defined(TAVIK_ERRORS_WITHOUT_TRACE)
using trace_policy = bases::empty;
#else
using trace_policy = bases::stacktrace;
#endif

// The error the library raises for every failed system call.
using traceable_error = basic_traceable_error<hresult_error_impl, trace_policy>;

class operation_cancelled : public traceable_error {
public:
    operation_cancelled() noexcept : traceable_error(cancelled_hresult) {}
};

// Raised by timers whose wait was cancelled; handled wherever cancellation in general is.
class timer_cancelled : public operation_cancelled {
public:
    timer_cancelled() noexcept = default;
};

// A 4-byte error holding only an HRESULT: no stack, no text.
class hresult_error {
public:
    explicit hresult_error(HRESULT code) noexcept : code_(code) {}
    HRESULT code() const noexcept { return code_; }

private:
    HRESULT code_;
};
static_assert(sizeof(hresult_error) == 4);

// Text with stack: the message, "\r\n", then for each frame its description (symbol, file and
// line as far as DbgHelp knows them, else module and offset) followed by "\r\n".
std::wstring stacktrace_to_text(std::span<const std::uint64_t> frames, std::wstring_view message);

template <class Impl, class Trace>
std::wstring basic_traceable_error<Impl, Trace>::full_text() const
{
    return stacktrace_to_text(this->frames(), this->message());
}

operation_cancelled make_operation_cancelled() noexcept;
// A traceable error from GetLastError(), converted with hresult_from_win32, without raising it.
traceable_error make_last_error() noexcept;

// 0x800704C7 raises operation_cancelled; any other code (success codes included) traceable_error.
[[noreturn]] void throw_hresult(HRESULT code);
[[noreturn]] void throw_win32_error(std::int32_t code);
[[noreturn]] void throw_last_error();
[[noreturn]] void throw_operation_cancelled();
[[noreturn]] void throw_timer_cancelled();

} // namespace tavik::details
