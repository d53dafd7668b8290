// The service connection against the stand-in service on the real pipe: what the requests carry,
// list replies of every length, the service's refusals and malformed replies, a service that goes
// away, is missing, or calls back.
#include "test_programs.h"

#include <plendor/connections.h>

#include <testing/support/test_support.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace plendor_test;
using namespace std::chrono_literals;
using test_support::hresult_of;
using test_support::run;

std::vector<std::wstring> list()
{
    auto c = service_connection::open();
    return run(c->list_folders());
}

TEST(ServiceConnection, ListsTheFoldersInTheServicesOrder)
{
    const std::vector<std::vector<std::wstring>> cases = {
        {},
        {L"C:\\data"},
        {L"D:\\z last", L"C:\\\x00E9t\x00E9 \x4E2D"},
    };
    for (const auto& folders : cases) {
        service_stand_in service(folders);
        EXPECT_EQ(list(), folders);
        EXPECT_EQ(service.requests(), std::vector<std::string>{"list_folders"});
    }
}

TEST(ServiceConnection, ConvertAndDeleteSendThePathAndFlagAsGiven)
{
    test_support::temp_folder folder;
    service_stand_in service;
    auto c = service_connection::open();
    EXPECT_EQ(run(c->convert(folder.path())), 0);
    EXPECT_EQ(run(c->convert(folder.path())), std::int32_t(0x800700B7)); // listed already
    EXPECT_EQ(run(c->convert(L"")), 0);                                  // a count of 0, then the byte
    EXPECT_EQ(run(c->delete_folder(L"C:\\not listed", false)), std::int32_t(0x80070002));
    test_support::write_file(folder / L"file", test_support::to_bytes("x"));
    EXPECT_EQ(run(c->delete_folder(folder.path(), false)), std::int32_t(0x80070091));
    EXPECT_EQ(run(c->delete_folder(folder.path(), true)), 0);
    EXPECT_EQ(service.folders(), std::vector<std::wstring>{L""});
    std::string path(folder.path().begin(), folder.path().end());
    EXPECT_EQ(service.requests(), (std::vector<std::string>{
                                      "convert " + path + " 1",
                                      "convert " + path + " 1",
                                      "convert  1",
                                      "delete_folder C:\\not listed 0",
                                      "delete_folder " + path + " 0",
                                      "delete_folder " + path + " 1",
                                  }));
}

TEST(ServiceConnection, ErrorRepliesAndMalformedRepliesFailTheCall)
{
    struct row {
        const char* script;
        bool list;
        HRESULT expected;
    };
    const std::vector<row> rows = {
        {"list_folders error 0x80070005", true, HRESULT(0x80070005)},
        {"list_folders error2", true, HRESULT(0x80004005)},          // not 4 bytes: E_FAIL
        {"convert error 0x80070020", false, HRESULT(0x80070020)},
        {"convert error2", false, HRESULT(0x80004005)},
        {"convert body 0100", false, HRESULT(0x80070057)},           // 2 bytes for an i32
        {"convert body ", false, HRESULT(0x80070057)},
        {"list_folders body 020000000100000041", true, HRESULT(0x80070057)}, // second text missing
        {"list_folders body 0100000005000000410042", true, HRESULT(0x80070057)}, // text past the end
        {"list_folders body ffffffff", true, HRESULT(0x80070057)},   // count past the end
        {"list_folders body 01", true, HRESULT(0x80070057)},
    };
    service_stand_in service;
    for (const row& r : rows) {
        SCOPED_TRACE(r.script);
        service.set_script(r.script);
        auto c = service_connection::open();
        const HRESULT hr = hresult_of([&] {
            if (r.list)
                run(c->list_folders());
            else
                run(c->convert(L"C:\\f"));
        });
        EXPECT_EQ(hr, r.expected);
    }
}

TEST(ServiceConnection, AServiceThatClosesAfterTheRequestEndsTheCall)
{
    service_stand_in service({L"C:\\a"}, "list_folders close");
    auto c = service_connection::open();
    EXPECT_EQ(outcome_within(c->list_folders(), 10000ms, [&] { c->shutdown(); }), HRESULT(0x800704C7));
    // The connection has been shut down by its close handler: a later call fails at once.
    EXPECT_FALSE(c->is_live());
    EXPECT_EQ(hresult_of([&] { run(c->list_folders()); }), HRESULT(0x800704C7));
}

TEST(ServiceConnection, NoServiceFailsAtOnce)
{
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(hresult_of([] { service_connection::open(); }), HRESULT(0x80070002));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
}

TEST(ServiceConnection, ARequestFromTheServiceIsRefusedAndTheCallGoesOn)
{
    service_stand_in service({L"C:\\a"}, "list_folders request");
    EXPECT_EQ(list(), std::vector<std::wstring>{L"C:\\a"});
    // Kind 3 (error reply) with E_INVALIDARG, little-endian.
    EXPECT_EQ(service.requests(), (std::vector<std::string>{"list_folders", "client-answer 3 57000780"}));
}

} // namespace

namespace {

// The stand-in given the real folder server: a convert answers once the folder's pipe takes
// clients, so an optimize can follow at once; a delete ends the folder server.
TEST(ServiceConnection, ConvertStartsTheFolderServerAndDeleteEndsIt)
{
    test_support::temp_folder folder;
    service_stand_in service({}, {}, program_folder() + L"dedup.exe");
    auto c = service_connection::open();
    ASSERT_EQ(run(c->convert(folder.path())), 0);
    {
        auto repo = repo_connection::open(folder.path(), nullptr);
        auto stats = run(repo->resync());
        ASSERT_TRUE(stats.has_value()) << std::hex << stats.error();
        EXPECT_EQ(stats->files_added, 0u);
    }
    EXPECT_EQ(run(c->list_folders()), std::vector<std::wstring>{folder.path()});
    EXPECT_EQ(run(c->delete_folder(folder.path(), false)), 0); // only the store is in it
    EXPECT_EQ(hresult_of([&] { repo_connection::open(folder.path(), nullptr); }), HRESULT(0x80070002));
    EXPECT_TRUE(run(c->list_folders()).empty());
}

} // namespace
