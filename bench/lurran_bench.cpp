// lurran over a named pipe between two processes: small calls per second (one at a time, and 64
// in flight), and throughput of request bodies of 200 KB and 16 MiB. The program starts itself as
// the serving process.
#include "harness.h"

#include <lurran/connection.h>
#include <lurran/pipe_transport.h>

#include <tavik/cancellation.h>
#include <tavik/future.h>

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
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

int serve(const std::wstring& name)
{
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
        t = bench::median_seconds(5, [&] {
            for (int i = 0; i < repeats; ++i)
                tavik::details::wait_blocking_result(sink(body));
        });
        const std::string figure = size < (1u << 20) ? "lurran_body_200KB_throughput" : "lurran_body_16MiB_throughput";
        bench::report(figure, double(size) * repeats / t / 1e6, "MB/s");
    }

    conn.shutdown();
    WaitForSingleObject(pi.hProcess, 10000);
    CloseHandle(pi.hProcess);
    CloseHandle(pi.hThread);
    return 0;
}
