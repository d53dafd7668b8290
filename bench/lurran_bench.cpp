// lurran over a named pipe between two processes: small calls per second (one at a time, and 64
// in flight), and throughput of request bodies of 200 KB and 16 MiB. The program starts itself as
// the serving process.
//
// Baselines, measured in the same run between the same two processes over a second pipe with the
// same buffers: a raw echo of a message of a small call's size (16 bytes each way), served by a
// minimal thread-pool overlapped echo, and a raw copy of 16 MiB in 64 KiB pieces answered with 4
// bytes. The ratio lines compare lurran with them.
#include "harness.h"

#include <lurran/connection.h>
#include <lurran/pipe_transport.h>

#include <tavik/cancellation.h>
#include <tavik/future.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <algorithm>
#include <vector>

namespace {

using tavik::details::future;

struct bench_service {
    using ping = lurran::method<0x7E276E3D, std::uint32_t(std::uint32_t)>;
    using sink = lurran::method<0x6A1B2C3D, std::uint32_t(std::vector<std::uint8_t>)>;
    using methods = lurran::method_list<ping, sink>;
};

using transport = lurran::details::pipe::pipe_transport;
using served = lurran::details::connection<transport, lurran::server_of<bench_service>, lurran::client_of<lurran::no_interface>>;
using calling = lurran::details::connection<transport, lurran::server_of<lurran::no_interface>, lurran::client_of<bench_service>>;

lurran::transports::pipe::create_server_params<> params()
{
    lurran::transports::pipe::create_server_params<> p;
    p.reserved_size = p.out_buffer_size = p.in_buffer_size = 16u << 20;
    p.reserved_flag_b = 1;
    return p;
}

// The raw server: each message is a header of two 32-bit words (body length, reply length) and
// the body; the server reads it whole and writes back as many bytes as the header asks for. It
// runs on thread-pool I/O completions, one operation in flight, as lurran's transport does.
struct raw_server {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    PTP_IO io = nullptr;
    OVERLAPPED overlapped{};
    std::vector<char> buffer = std::vector<char>(16u << 20);
    std::uint32_t header[2]{};
    std::size_t have = 0;
    std::size_t need = 8;
    bool in_header = true;
    bool writing = false;
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    char* target() { return in_header ? reinterpret_cast<char*>(header) : buffer.data(); }

    void issue()
    {
        overlapped = OVERLAPPED{};
        StartThreadpoolIo(io);
        BOOL ok;
        if (writing) {
            ok = WriteFile(pipe, buffer.data() + have, DWORD(need - have), nullptr, &overlapped);
        } else {
            const DWORD want = DWORD(std::min<std::size_t>(need - have, 65536));
            ok = ReadFile(pipe, target() + have, want, nullptr, &overlapped);
        }
        if (!ok && GetLastError() != ERROR_IO_PENDING) {
            CancelThreadpoolIo(io);
            SetEvent(done);
        }
    }

    void completed(ULONG result, std::size_t bytes)
    {
        if (result != NO_ERROR || bytes == 0) {
            SetEvent(done);
            return;
        }
        have += bytes;
        if (have < need) {
            issue();
            return;
        }
        have = 0;
        if (writing) {
            writing = false;
            in_header = true;
            need = 8;
        } else if (in_header) {
            in_header = false;
            need = header[0];
            if (need == 0) {
                writing = true;
                need = header[1];
            }
        } else {
            writing = true;
            need = header[1];
        }
        issue();
    }

    static void CALLBACK callback(PTP_CALLBACK_INSTANCE, PVOID context, PVOID, ULONG result, ULONG_PTR bytes, PTP_IO)
    {
        static_cast<raw_server*>(context)->completed(result, bytes);
    }

    void run(const std::wstring& name)
    {
        const std::wstring path = L"\\\\.\\pipe\\" + name;
        pipe = CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED, PIPE_TYPE_BYTE | PIPE_WAIT, 1,
                                16u << 20, 16u << 20, 0, nullptr);
        HANDLE connected = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        OVERLAPPED o{};
        o.hEvent = connected;
        if (!ConnectNamedPipe(pipe, &o) && GetLastError() == ERROR_IO_PENDING)
            WaitForSingleObject(connected, INFINITE);
        io = CreateThreadpoolIo(pipe, &callback, this, nullptr);
        issue();
        WaitForSingleObject(done, INFINITE);
        WaitForThreadpoolIoCallbacks(io, TRUE);
        CloseThreadpoolIo(io);
        CloseHandle(pipe);
    }
};

// The raw client: plain overlapped calls, each waited for on the calling thread.
struct raw_client {
    HANDLE pipe = INVALID_HANDLE_VALUE;
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);

    void open(const std::wstring& name)
    {
        const std::wstring path = L"\\\\.\\pipe\\" + name;
        for (int i = 0; i < 1000 && pipe == INVALID_HANDLE_VALUE; ++i) {
            pipe = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                               nullptr);
            if (pipe == INVALID_HANDLE_VALUE)
                Sleep(10);
        }
    }
    void transfer(bool write, char* data, std::size_t size)
    {
        std::size_t at = 0;
        while (at < size) {
            OVERLAPPED o{};
            o.hEvent = event;
            const DWORD want = DWORD(std::min<std::size_t>(size - at, 65536));
            DWORD n = 0;
            if (write)
                WriteFile(pipe, data + at, want, nullptr, &o);
            else
                ReadFile(pipe, data + at, want, nullptr, &o);
            if (!GetOverlappedResult(pipe, &o, &n, TRUE) || n == 0)
                return;
            at += n;
        }
    }
    // Sends `body` bytes after the header and reads `reply` bytes back.
    void exchange(std::vector<char>& body, std::uint32_t reply, std::vector<char>& answer)
    {
        std::uint32_t header[2] = {std::uint32_t(body.size()), reply};
        if (body.size() <= 1024) {
            // One write for the header and a small body, as lurran writes a small frame.
            char frame[8 + 1024];
            std::memcpy(frame, header, 8);
            std::memcpy(frame + 8, body.data(), body.size());
            transfer(true, frame, 8 + body.size());
        } else {
            transfer(true, reinterpret_cast<char*>(header), 8);
            transfer(true, body.data(), body.size());
        }
        transfer(false, answer.data(), reply);
    }
};

int serve(const std::wstring& name)
{
    std::thread raw([name] {
        raw_server server;
        server.run(name + L"-raw");
    });
    tavik::details::cancellation_source source;
    auto listening = lurran::transports::pipe::create_server(name, source, params());
    transport t = tavik::details::wait_blocking_result(std::move(listening));
    served conn;
    conn.handler<bench_service::ping>().assign([](std::uint32_t v) -> future<std::uint32_t> { co_return v + 1; });
    conn.handler<bench_service::sink>().assign(
        [](std::vector<std::uint8_t> v) -> future<std::uint32_t> { co_return std::uint32_t(v.size()); });
    HANDLE closed = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    conn.close_handler().assign([closed](HRESULT) { SetEvent(closed); });
    conn.start(std::move(t));
    WaitForSingleObject(closed, INFINITE);
    conn.shutdown();
    raw.join();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc == 3 && std::strcmp(argv[1], "--serve") == 0) {
        std::wstring name;
        for (const char* p = argv[2]; *p; ++p)
            name.push_back(wchar_t(*p));
        return serve(name);
    }

    const std::string name = "lurran-bench-" + std::to_string(GetCurrentProcessId());
    char self[MAX_PATH];
    GetModuleFileNameA(nullptr, self, MAX_PATH);
    std::string command = std::string("\"") + self + "\" --serve " + name;
    STARTUPINFOA si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) {
        std::printf("cannot start the serving process\n");
        return 1;
    }
    const std::wstring wname(name.begin(), name.end());
    const std::wstring path = L"\\\\.\\pipe\\" + wname;
    for (int i = 0; i < 1000 && !WaitNamedPipeW(path.c_str(), 10) && GetLastError() != ERROR_SEM_TIMEOUT; ++i)
        Sleep(10);

    calling conn;
    conn.start(lurran::transports::pipe::connect_pipe(L".", wname, lurran::transports::pipe::wait_duration(50'000'000)));
    auto& ping = conn.proxy<bench_service::ping>();
    auto& sink = conn.proxy<bench_service::sink>();

    constexpr int small_calls = 2000;
    double t = bench::median_seconds(5, [&] {
        for (int i = 0; i < small_calls; ++i)
            tavik::details::wait_blocking_result(ping(std::uint32_t(i)));
    });
    bench::report("lurran_small_calls_sequential", small_calls / t, "calls/s");

    raw_client raw;
    raw.open(wname + L"-raw");
    std::vector<char> small_body(4, 1), small_answer(16);
    // A call's frame is a 12-byte header and a 4-byte body each way: 8 + 8 bytes here.
    small_body.resize(8);
    const double raw_t = bench::median_seconds(5, [&] {
        for (int i = 0; i < small_calls; ++i)
            raw.exchange(small_body, 16, small_answer);
    });
    bench::report("raw_pipe_echo_16_bytes", small_calls / raw_t, "calls/s");
    bench::report("lurran_small_calls_vs_raw_echo", raw_t / t, "ratio");

    t = bench::median_seconds(5, [&] {
        std::vector<future<std::uint32_t>> in_flight;
        for (int i = 0; i < small_calls; ++i) {
            in_flight.push_back(ping(std::uint32_t(i)));
            if (in_flight.size() == 64) {
                for (auto& f : in_flight)
                    tavik::details::wait_blocking_result(std::move(f));
                in_flight.clear();
            }
        }
        for (auto& f : in_flight)
            tavik::details::wait_blocking_result(std::move(f));
    });
    bench::report("lurran_small_calls_64_in_flight", small_calls / t, "calls/s");

    for (std::size_t size : {std::size_t(200'000), std::size_t(16u << 20)}) {
        const std::vector<std::uint8_t> body(size, 0x5A);
        const int repeats = size < (1u << 20) ? 200 : 4;
        // The argument is taken by value: the copies are made before the clock starts, so that
        // the figure is the call's and not the caller's copy.
        std::vector<std::vector<std::vector<std::uint8_t>>> copies(5, std::vector<std::vector<std::uint8_t>>(repeats, body));
        int run = 0;
        t = bench::median_seconds(5, [&] {
            auto& mine = copies[run++];
            for (int i = 0; i < repeats; ++i)
                tavik::details::wait_blocking_result(sink(std::move(mine[i])));
        });
        const std::string figure = size < (1u << 20) ? "lurran_body_200KB_throughput" : "lurran_body_16MiB_throughput";
        bench::report(figure, double(size) * repeats / t / 1e6, "MB/s");
        if (size == (16u << 20)) {
            std::vector<char> copy(size, 0x5A), ack(4);
            const double raw_copy = bench::median_seconds(5, [&] {
                for (int i = 0; i < repeats; ++i)
                    raw.exchange(copy, 4, ack);
            });
            bench::report("raw_pipe_copy_16MiB_throughput", double(size) * repeats / raw_copy / 1e6, "MB/s");
            bench::report("lurran_body_16MiB_vs_raw_copy", raw_copy / t, "ratio");
        }
    }
    CloseHandle(raw.pipe);

    conn.shutdown();
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return 0;
}
