#include "test_http_server.h"

#include <platform/http/http.h>

#include <tavik/error.h>
#include <tavik/future.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

namespace {

using namespace tavik::details;
using platform::http::crack_url;
using platform::http::download_to_file;
using platform::http::get_text;

std::filesystem::path temp_file(const wchar_t* name)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    return std::filesystem::path(dir) / (std::wstring(name) + std::to_wstring(GetCurrentProcessId()));
}

HRESULT error_of(auto& f)
{
    try {
        wait_blocking_result(std::move(f));
    } catch (const traceable_error& e) {
        return e.code();
    }
    return S_OK;
}

TEST(HttpUrl, CrackTable)
{
    struct row {
        const wchar_t* url;
        bool ok;
        bool https;
        const wchar_t* host;
        int port;
        const wchar_t* path;
    };
    const row rows[] = {
        {L"https://example.test/a/b?x=1", true, true, L"example.test", 443, L"/a/b?x=1"},
        {L"http://127.0.0.1:8080/", true, false, L"127.0.0.1", 8080, L"/"},
        {L"http://host", true, false, L"host", 80, L"/"},
        {L"ftp://host/file", false, false, L"", 0, L""},
        {L"file:///c:/x", false, false, L"", 0, L""},
        {L"not a url", false, false, L"", 0, L""},
        {L"", false, false, L"", 0, L""},
        {L"https://", false, false, L"", 0, L""},
    };
    for (const row& r : rows) {
        const auto parts = crack_url(r.url);
        ASSERT_EQ(parts.has_value(), r.ok) << r.url;
        if (!r.ok)
            continue;
        EXPECT_EQ(parts->https, r.https) << r.url;
        EXPECT_EQ(parts->host, r.host) << r.url;
        EXPECT_EQ(parts->port, r.port) << r.url;
        EXPECT_EQ(parts->path_and_query, r.path) << r.url;
    }
    EXPECT_FALSE(crack_url(std::wstring(L"http://a\0b/", 11)));
}

TEST(HttpGet, ReadsStatusAndBody)
{
    http_test::server server;
    server.set("/q", {http_test::route::answer, 200, R"({"Version":1})"});
    auto f = get_text(server.base() + L"q?ver=5", 65536, cancellation_source());
    const auto r = wait_blocking_result(std::move(f));
    EXPECT_EQ(r.status, 200u);
    EXPECT_EQ(r.body, R"({"Version":1})");
    ASSERT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(server.requests()[0], "/q?ver=5");

    auto missing = get_text(server.base() + L"nothing", 65536, cancellation_source());
    EXPECT_EQ(wait_blocking_result(std::move(missing)).status, 404u);
}

TEST(HttpGet, BodyAboveTheCapFails)
{
    http_test::server server;
    server.set("/big", {http_test::route::answer, 200, std::string(65537, 'x')});
    server.set("/fit", {http_test::route::answer, 200, std::string(65536, 'x')});
    auto fit = get_text(server.base() + L"fit", 65536, cancellation_source());
    EXPECT_EQ(wait_blocking_result(std::move(fit)).body.size(), 65536u);
    auto big = get_text(server.base() + L"big", 65536, cancellation_source());
    EXPECT_EQ(error_of(big), platform::http::body_too_large);
}

TEST(HttpGet, NoServerFails)
{
    // A port nobody listens on: bind one and close it again.
    std::wstring base;
    {
        http_test::server gone;
        base = gone.base();
    }
    auto f = get_text(base + L"q", 100, cancellation_source());
    const HRESULT hr = error_of(f);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_NE(hr, cancelled_hresult);
}

TEST(HttpGet, CancelEndsASilentRequestAtOnce)
{
    http_test::server server;
    server.set("/silent", http_test::silent_route());
    cancellation_source source;
    auto f = get_text(server.base() + L"silent", 100, source, {5000, 5000, 5000, 20000});
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(f.is_ready());
    const auto start = std::chrono::steady_clock::now();
    source.cancel();
    EXPECT_EQ(error_of(f), cancelled_hresult);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST(HttpGet, AlreadyCancelledSendsNothing)
{
    http_test::server server;
    cancellation_source source;
    source.cancel();
    auto f = get_text(server.base() + L"q", 100, source);
    EXPECT_EQ(error_of(f), cancelled_hresult);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(server.requests().empty());
}

TEST(HttpDownload, WritesTheBodyOnSuccess)
{
    http_test::server server;
    std::string body(300'000, '\0');
    for (std::size_t i = 0; i < body.size(); ++i)
        body[i] = static_cast<char>(i * 7);
    server.set("/setup", {http_test::route::answer, 200, body});
    const auto path = temp_file(L"dl-ok-");
    auto f = download_to_file(server.base() + L"setup", path.wstring(), cancellation_source());
    EXPECT_EQ(wait_blocking_result(std::move(f)), 200u);
    ASSERT_TRUE(std::filesystem::exists(path));
    EXPECT_EQ(std::filesystem::file_size(path), body.size());
    std::filesystem::remove(path);
}

TEST(HttpDownload, FailureStatusLeavesNoFileAndReplacesNothing)
{
    http_test::server server;
    const auto path = temp_file(L"dl-404-");
    auto f = download_to_file(server.base() + L"absent", path.wstring(), cancellation_source());
    EXPECT_EQ(wait_blocking_result(std::move(f)), 404u);
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(HttpDownload, BrokenDownloadLeavesNoFile)
{
    http_test::server server;
    server.set("/cut", {http_test::route::cut, 200, std::string(1'000'000, 'y'), 200'000});
    const auto path = temp_file(L"dl-cut-");
    auto f = download_to_file(server.base() + L"cut", path.wstring(), cancellation_source());
    const HRESULT hr = error_of(f);
    EXPECT_TRUE(FAILED(hr));
    EXPECT_FALSE(std::filesystem::exists(path));
}

TEST(HttpDownload, CancelledDownloadLeavesNoFileOnceTheAbandonedCallReturns)
{
    http_test::server server;
    server.set("/silent", http_test::silent_route());
    const auto path = temp_file(L"dl-cancel-");
    cancellation_source source;
    auto f = download_to_file(server.base() + L"silent", path.wstring(), source, {5000, 5000, 5000, 20000});
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    source.cancel();
    EXPECT_EQ(error_of(f), cancelled_hresult);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    server.drop_connections();
    for (int i = 0; i < 100 && std::filesystem::exists(path); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(std::filesystem::exists(path));
}

} // namespace
