#include <tavik/error.h>
#include <tavik/error_categories.h>

#include <windows.h>
#include <dbghelp.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <new>
#include <utility>

namespace tavik::details {

std::wstring hresult_error_impl::message(HRESULT code)
{
    wchar_t* buffer = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER, nullptr,
        static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (length == 0 || !buffer)
        return {};
    std::wstring_view text(buffer, length);
    constexpr std::wstring_view blanks = L" \t\r\n";
    const auto first = text.find_first_not_of(blanks);
    std::wstring result;
    if (first != std::wstring_view::npos)
        result.assign(text.substr(first, text.find_last_not_of(blanks) - first + 1));
    LocalFree(buffer);
    return result;
}

std::error_code hresult_error_impl::to_error_code() const noexcept
{
    return dedup::make_hresult_error_code(code_);
}

#if !defined(TAVIK_ERRORS_WITHOUT_TRACE)
// Stack capture and its description by DbgHelp: only in the build whose errors record the stack.

namespace bases {

struct stacktrace::block {
    std::atomic<long> references;
    std::uint32_t hash;
    std::uint32_t count;
    std::uint64_t frames[1];

    static std::size_t bytes_for(std::size_t count) noexcept
    {
        return offsetof(block, frames) + (count ? count : 1) * sizeof(std::uint64_t);
    }
};

namespace {

// Frames captured on the stack before a full-depth capture is tried; deeper stacks are rare.
constexpr USHORT quick_frames = 128;
constexpr ULONG max_frames = 65535;

stacktrace::block* make_block(void* const* frames, USHORT count, ULONG hash) noexcept
{
    auto* b = static_cast<stacktrace::block*>(::operator new(stacktrace::block::bytes_for(count), std::nothrow));
    if (!b)
        return nullptr;
    new (&b->references) std::atomic<long>(1);
    b->hash = hash;
    b->count = count;
    for (USHORT i = 0; i < count; ++i)
        b->frames[i] = reinterpret_cast<std::uintptr_t>(frames[i]);
    return b;
}

} // namespace

// Not inlined, so that skipping one frame leaves out exactly the capture itself.
__attribute__((noinline)) stacktrace::stacktrace() noexcept
{
    void* quick[quick_frames];
    ULONG hash = 0;
    USHORT count = RtlCaptureStackBackTrace(1, quick_frames, quick, &hash);
    if (count < quick_frames) {
        block_ = make_block(quick, count, hash);
        return;
    }
    // The capture buffer is temporary: the error keeps only the frames actually captured.
    auto* deep = static_cast<void**>(::operator new(max_frames * sizeof(void*), std::nothrow));
    if (!deep) {
        block_ = make_block(quick, count, hash);
        return;
    }
    hash = 0;
    count = RtlCaptureStackBackTrace(1, max_frames, deep, &hash);
    block_ = make_block(deep, count, hash);
    ::operator delete(deep);
}

stacktrace::stacktrace(const stacktrace& other) noexcept : block_(other.block_)
{
    if (block_)
        block_->references.fetch_add(1, std::memory_order_relaxed);
}

stacktrace& stacktrace::operator=(const stacktrace& other) noexcept
{
    if (other.block_)
        other.block_->references.fetch_add(1, std::memory_order_relaxed);
    block* old = std::exchange(block_, other.block_);
    if (old && old->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
        ::operator delete(old);
    return *this;
}

stacktrace::~stacktrace()
{
    if (block_ && block_->references.fetch_sub(1, std::memory_order_acq_rel) == 1)
        ::operator delete(block_);
}

std::span<const std::uint64_t> stacktrace::frames() const noexcept
{
    return block_ ? std::span<const std::uint64_t>(block_->frames, block_->count) : std::span<const std::uint64_t>{};
}

std::uint32_t stacktrace::trace_hash() const noexcept
{
    return block_ ? block_->hash : 0;
}

std::size_t stacktrace::trace_bytes() const noexcept
{
    return block_ ? block::bytes_for(block_->count) : 0;
}

} // namespace bases

namespace {

// DbgHelp is single-threaded: every use goes through this lock.
std::mutex& dbghelp_lock()
{
    static std::mutex lock;
    return lock;
}

std::wstring describe_frame(HANDLE process, std::uint64_t address)
{
    std::wstring text;
    wchar_t module_path[MAX_PATH] = {};
    HMODULE module = nullptr;
    // A null address would name the program's own module.
    if (address >= 0x10000 &&
        GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                           reinterpret_cast<LPCWSTR>(address), &module) &&
        GetModuleFileNameW(module, module_path, MAX_PATH)) {
        std::wstring_view path(module_path);
        const auto slash = path.find_last_of(L"\\/");
        text.assign(slash == std::wstring_view::npos ? path : path.substr(slash + 1));
    }

    alignas(SYMBOL_INFOW) unsigned char storage[sizeof(SYMBOL_INFOW) + 256 * sizeof(wchar_t)] = {};
    auto* symbol = reinterpret_cast<SYMBOL_INFOW*>(storage);
    symbol->SizeOfStruct = sizeof(SYMBOL_INFOW);
    symbol->MaxNameLen = 256;
    DWORD64 displacement = 0;
    wchar_t number[32];
    if (SymFromAddrW(process, address, &displacement, symbol)) {
        if (!text.empty())
            text += L'!';
        text.append(symbol->Name, symbol->NameLen);
        swprintf(number, 32, L"+0x%llx", static_cast<unsigned long long>(displacement));
        text += number;
    } else if (module) {
        swprintf(number, 32, L"+0x%llx", static_cast<unsigned long long>(address - reinterpret_cast<std::uintptr_t>(module)));
        text += number;
    } else {
        swprintf(number, 32, L"0x%016llx", static_cast<unsigned long long>(address));
        text += number;
    }

    IMAGEHLP_LINEW64 line = {};
    line.SizeOfStruct = sizeof(line);
    DWORD line_displacement = 0;
    if (SymGetLineFromAddrW64(process, address, &line_displacement, &line) && line.FileName) {
        text += L" (";
        text += line.FileName;
        swprintf(number, 32, L":%lu)", static_cast<unsigned long>(line.LineNumber));
        text += number;
    }
    return text;
}

} // namespace

std::wstring stacktrace_to_text(std::span<const std::uint64_t> frames, std::wstring_view message)
{
    std::wstring text(message);
    text += L"\r\n";
    if (frames.empty())
        return text;
    std::lock_guard guard(dbghelp_lock());
    const HANDLE process = GetCurrentProcess();
    static const bool initialized = [process] {
        SymSetOptions(SymGetOptions() | SYMOPT_UNDNAME | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES);
        return SymInitializeW(process, nullptr, TRUE) != FALSE;
    }();
    (void)initialized; // without symbols every frame is still described by module and offset
    for (std::uint64_t address : frames) {
        text += describe_frame(process, address);
        text += L"\r\n";
    }
    return text;
}
#else

// Without traces nothing captures frames and DbgHelp stays out of the build; frames handed in are
// written as bare addresses.
std::wstring stacktrace_to_text(std::span<const std::uint64_t> frames, std::wstring_view message)
{
    std::wstring text(message);
    text += L"\r\n";
    wchar_t number[32];
    for (std::uint64_t address : frames) {
        swprintf(number, 32, L"0x%016llx\r\n", static_cast<unsigned long long>(address));
        text += number;
    }
    return text;
}

#endif // TAVIK_ERRORS_WITHOUT_TRACE

operation_cancelled make_operation_cancelled() noexcept
{
    return operation_cancelled();
}

traceable_error make_last_error() noexcept
{
    return traceable_error(hresult_from_win32(static_cast<std::int32_t>(GetLastError())));
}

void throw_hresult(HRESULT code)
{
    if (code == cancelled_hresult)
        throw operation_cancelled();
    throw traceable_error(code);
}

void throw_win32_error(std::int32_t code)
{
    throw_hresult(hresult_from_win32(code));
}

void throw_last_error()
{
    throw_win32_error(static_cast<std::int32_t>(GetLastError()));
}

void throw_operation_cancelled()
{
    throw operation_cancelled();
}

void throw_timer_cancelled()
{
    throw timer_cancelled();
}

} // namespace tavik::details
