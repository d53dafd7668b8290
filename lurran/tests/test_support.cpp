#include "test_support.h"

#include <psapi.h>

#include <cstring>
#include <string>

namespace lurran_test {

using namespace tavik::details;

std::wstring unique_pipe_name(const wchar_t* tag)
{
    static std::atomic<unsigned> counter{0};
    return L"lurran-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(counter++) + L"-" + tag;
}

bytes make_bytes(std::initializer_list<int> values)
{
    bytes b;
    for (int v : values)
        b.push_back(std::byte(v));
    return b;
}

std::size_t private_bytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    // The commit charge; Wine leaves PrivateUsage at 0 but keeps this one.
    return counters.PagefileUsage;
}

bool wait_until_taken(HANDLE reading_end, std::chrono::milliseconds timeout)
{
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        DWORD available = 0;
        if (!PeekNamedPipe(reading_end, nullptr, 0, nullptr, &available, nullptr))
            return false;
        if (available == 0)
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        Sleep(1);
    }
}

bytes pattern(std::size_t size, std::uint32_t seed)
{
    bytes b(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& v : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = std::byte(x);
    }
    return b;
}

raw_peer::raw_peer(HANDLE h) : h_(h) {}
raw_peer::raw_peer(raw_peer&& o) noexcept : h_(std::exchange(o.h_, INVALID_HANDLE_VALUE)) {}
raw_peer& raw_peer::operator=(raw_peer&& o) noexcept
{
    if (this != &o) {
        close();
        h_ = std::exchange(o.h_, INVALID_HANDLE_VALUE);
    }
    return *this;
}
raw_peer::~raw_peer() { close(); }

void raw_peer::close()
{
    if (h_ != INVALID_HANDLE_VALUE)
        CloseHandle(std::exchange(h_, INVALID_HANDLE_VALUE));
}

raw_peer raw_peer::connect(const std::wstring& name)
{
    std::wstring path = L"\\\\.\\pipe\\" + name;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                           nullptr);
    return raw_peer(h);
}

namespace {

// One overlapped operation on the raw handle, waited for with a time-out; cancelled when it
// runs out.
bool overlapped_io(HANDLE h, bool reading, void* data, DWORD size, DWORD& done, DWORD timeout_ms)
{
    OVERLAPPED o{};
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = reading ? ReadFile(h, data, size, nullptr, &o) : WriteFile(h, data, size, nullptr, &o);
    if (!ok && GetLastError() != ERROR_IO_PENDING) {
        CloseHandle(o.hEvent);
        return false;
    }
    if (WaitForSingleObject(o.hEvent, timeout_ms) != WAIT_OBJECT_0) {
        CancelIoEx(h, &o);
    }
    ok = GetOverlappedResult(h, &o, &done, TRUE);
    CloseHandle(o.hEvent);
    return ok != FALSE;
}

} // namespace

bool raw_peer::write(const void* data, std::size_t size)
{
    auto p = static_cast<const std::byte*>(data);
    while (size > 0) {
        DWORD done = 0;
        if (!overlapped_io(h_, false, const_cast<std::byte*>(p), DWORD(size), done, 10000) || done == 0)
            return false;
        p += done;
        size -= done;
    }
    return true;
}

bool raw_peer::write_frame(std::uint32_t call_word, std::uint32_t method_id, const bytes& body)
{
    bytes frame(12 + body.size());
    lurran::details::store_u32le(frame.data(), call_word);
    lurran::details::store_u32le(frame.data() + 4, method_id);
    lurran::details::store_u32le(frame.data() + 8, std::uint32_t(body.size()));
    if (!body.empty())
        std::memcpy(frame.data() + 12, body.data(), body.size());
    return write(frame);
}

std::optional<bytes> raw_peer::read(std::size_t size, std::chrono::milliseconds timeout)
{
    bytes b(size);
    std::size_t at = 0;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (at < size) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        DWORD done = 0;
        if (!overlapped_io(h_, true, b.data() + at, DWORD(size - at), done, DWORD(left.count())) || done == 0)
            return std::nullopt;
        at += done;
    }
    return b;
}

std::optional<raw_peer::frame> raw_peer::read_frame(std::chrono::milliseconds timeout)
{
    auto header = read(12, timeout);
    if (!header)
        return std::nullopt;
    frame f;
    f.call_word = lurran::details::load_u32le(header->data());
    f.method_id = lurran::details::load_u32le(header->data() + 4);
    std::uint32_t n = lurran::details::load_u32le(header->data() + 8);
    if (n > 0) {
        auto body = read(n, timeout);
        if (!body)
            return std::nullopt;
        f.body = std::move(*body);
    }
    return f;
}

bool raw_peer::silent_for(std::chrono::milliseconds timeout)
{
    std::byte b;
    DWORD done = 0;
    OVERLAPPED o{};
    o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    BOOL ok = ReadFile(h_, &b, 1, nullptr, &o);
    if (!ok && GetLastError() != ERROR_IO_PENDING) {
        CloseHandle(o.hEvent);
        return false;
    }
    bool silent = WaitForSingleObject(o.hEvent, DWORD(timeout.count())) != WAIT_OBJECT_0;
    if (silent)
        CancelIoEx(h_, &o);
    ok = GetOverlappedResult(h_, &o, &done, TRUE);
    CloseHandle(o.hEvent);
    return silent && !(ok && done > 0);
}

lurran::transports::pipe::create_server_params<> default_params(std::uint32_t buffer)
{
    lurran::transports::pipe::create_server_params<> p;
    p.reserved_size = buffer;
    p.out_buffer_size = buffer;
    p.in_buffer_size = buffer;
    return p;
}

accepted_pair accept_raw_client(const std::wstring& name, std::uint32_t buffer)
{
    cancellation_source source;
    auto listening = lurran::transports::pipe::create_server(name, source, default_params(buffer));
    raw_peer client = raw_peer::connect(name);
    EXPECT_NE(client.handle(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(wait_for(listening, 5000ms));
    return {wait_blocking_result(std::move(listening)), std::move(client)};
}

transport_pair connected_transports(const std::wstring& name, std::uint32_t buffer)
{
    cancellation_source source;
    auto listening = lurran::transports::pipe::create_server(name, source, default_params(buffer));
    auto client = lurran::transports::pipe::connect_pipe(L".", name, lurran::transports::pipe::wait_duration(10'000'000));
    EXPECT_TRUE(wait_for(listening, 5000ms));
    return {wait_blocking_result(std::move(listening)), std::move(client)};
}

namespace {

future<std::uint32_t> slow_handler(service_state* state, std::uint32_t key)
{
    co_await *state->gate;
    co_return key * 10;
}

} // namespace

void install_handlers(lurran::server_of<test_service>& served, service_state& state)
{
    service_state* s = &state;
    served.handler<test_service::ping>().assign([s](std::uint32_t v) -> future<std::uint32_t> {
        ++s->calls;
        co_return v + 1;
    });
    served.handler<test_service::fail_with>().assign([s](std::int32_t hr) -> future<std::uint32_t> {
        ++s->calls;
        if (hr == 0)
            throw 42; // not an HRESULT error
        throw_hresult(hr);
        co_return 0;
    });
    served.handler<test_service::slow>().assign([s](std::uint32_t key) {
        ++s->calls;
        return slow_handler(s, key);
    });
    served.handler<test_service::echo>().assign([s](std::vector<std::uint8_t> v) -> future<std::vector<std::uint8_t>> {
        ++s->calls;
        co_return std::move(v);
    });
    served.handler<test_service::outcome>().assign([s](bool ok) -> future<std::expected<test_record, long>> {
        ++s->calls;
        if (ok)
            co_return test_record{0x0102030405060708ull, 9, 10};
        co_return std::unexpected(long(0x80070420));
    });
    served.handler<test_service::text>().assign([s](std::wstring t, std::uint64_t n) -> future<std::wstring> {
        ++s->calls;
        co_return t + std::to_wstring(n);
    });
    served.handler<test_service::notify>().assign([s](std::uint32_t v, std::wstring) {
        s->last_notify = v;
        ++s->notifies;
        SetEvent(s->notified);
    });
    served.handler<test_service::nothing>().assign([s]() -> future<void> {
        ++s->calls;
        co_return;
    });
}

void install_close_record(lurran::details::handler_slot<void(HRESULT)>& slot, close_record& record)
{
    close_record* r = &record;
    slot.assign([r](HRESULT hr) {
        r->hr = hr;
        ++r->count;
        SetEvent(r->event);
    });
}

bool wait_for_pipe(const std::wstring& name, std::chrono::milliseconds timeout)
{
    std::wstring path = L"\\\\.\\pipe\\" + name;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (WaitNamedPipeW(path.c_str(), 100) || GetLastError() == ERROR_SEM_TIMEOUT)
            return true;
        Sleep(10);
    }
    return false;
}

} // namespace lurran_test
