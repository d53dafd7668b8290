// The folder-server connection against a scripted folder server: the requests' bytes, progress as
// the progress target sees it, the records of the replies, the server's refusals, short replies,
// and a server that dies while a call waits.
#include "test_programs.h"

#include <plendor/connections.h>

#include <testing/support/test_support.h>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace plendor_test;
using namespace std::chrono_literals;
using test_support::hresult_of;
using test_support::run;

class recording_progress : public progress {
public:
    void set_stage(std::wstring_view stage) override
    {
        std::lock_guard guard(lock_);
        calls_.push_back(L"stage " + std::wstring(stage));
    }
    void set_progress(std::uint64_t done, std::uint64_t total) override
    {
        std::lock_guard guard(lock_);
        calls_.push_back(L"progress " + std::to_wstring(done) + L"/" + std::to_wstring(total));
    }
    std::vector<std::wstring> calls()
    {
        std::lock_guard guard(lock_);
        return calls_;
    }

private:
    std::mutex lock_;
    std::vector<std::wstring> calls_;
};

TEST(ProgressRelay, ShowsANewStageBeforeAnyNumbersOfIt)
{
    struct message {
        const wchar_t* stage;
        std::uint64_t done, total;
    };
    struct row {
        const char* name;
        std::vector<message> messages;
        std::vector<std::wstring> calls;
    };
    const std::vector<row> rows = {
        {"stage then the same stage", {{L"Scan", 1, 9}, {L"Scan", 2, 9}}, {L"stage Scan", L"progress 2/9"}},
        {"empty stage never changes it", {{L"", 1, 2}, {L"A", 3, 4}, {L"", 5, 6}, {L"A", 7, 8}},
         {L"progress 1/2", L"stage A", L"progress 5/6", L"progress 7/8"}},
        {"two stages in a row", {{L"A", 1, 2}, {L"B", 3, 4}}, {L"stage A", L"stage B"}},
        {"a stage that differs in case only is new", {{L"a", 1, 2}, {L"A", 3, 4}}, {L"stage a", L"stage A"}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        auto target = std::make_shared<recording_progress>();
        progress_relay relay(target);
        for (const message& m : r.messages)
            relay.on_progress(m.stage, m.done, m.total);
        EXPECT_EQ(target->calls(), r.calls);
    }
}

// A resync_stats record whose every field holds a different value.
std::string stats_hex()
{
    std::string hex;
    char two[3];
    for (int i = 0; i < 64; ++i) {
        snprintf(two, sizeof two, "%02x", i + 1);
        hex += two;
    }
    return hex;
}

TEST(RepoConnection, OptimizeSendsItsArgumentsAndDecodesTheRecordWithProgressOnTheWay)
{
    test_support::temp_folder folder;
    fake_folder_server server(folder.path(), "progress 0 10 Scanning;progress 5 10 Scanning;progress 7 10 ;"
                                             "progress 1 3 Writing;reply 01" + stats_hex() + "\n");
    auto target = std::make_shared<recording_progress>();
    auto c = repo_connection::open(folder.path(), target);
    auto result = run(c->resync());
    ASSERT_TRUE(result.has_value());
    const dedup::resync_stats& s = *result;
    EXPECT_EQ(s.uncompressed_size, 0x0807060504030201ull);
    EXPECT_EQ(s.unique_size, 0x100F0E0D0C0B0A09ull);
    EXPECT_EQ(s.compressed_size, 0x1817161514131211ull);
    EXPECT_EQ(s.files_added, 0x24232221u);
    EXPECT_EQ(s.files_deleted, 0x28272625u);
    EXPECT_EQ(s.folders_added, 0x2C2B2A29u);
    EXPECT_EQ(s.folders_deleted, 0x302F2E2Du);
    EXPECT_EQ(s.items_skipped, 0x403F3E3Du);
    EXPECT_EQ(target->calls(), (std::vector<std::wstring>{L"stage Scanning", L"progress 5/10", L"progress 7/10",
                                                          L"stage Writing"}));
    // Cookie 0, level 7, purge placeholders and blocks.
    EXPECT_EQ(server.requests(), std::vector<std::string>{"0x7E276E3D 00000000000000000700000003000000"});
}

TEST(RepoConnection, RecoverIgnoresProgressAndDecodesItsRecord)
{
    test_support::temp_folder folder;
    fake_folder_server server(folder.path(), "progress 1 2 Recovering;progress 2 2 Recovering;reply 010300000004000000\n");
    auto c = repo_connection::open(folder.path(), nullptr);
    auto result = run(c->recover());
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->files_recovered, 3u);
    EXPECT_EQ(result->folders_recovered, 4u);
    EXPECT_EQ(server.requests(), std::vector<std::string>{"0xD3E1F0DB 0000000000000000"});
}

TEST(RepoConnection, RefusalsAndShortRepliesReachTheCaller)
{
    test_support::temp_folder folder;
    fake_folder_server server(folder.path(),
                              "reply 0020040780\n"            // no value: another operation holds the folder
                              "error 80070005\n"
                              "reply 01" + stats_hex().substr(0, 126) + "\n" // record one byte short
                              "reply 00200407\n"              // HRESULT one byte short
                              "reply \n"
                              "reply 0103000000\n");          // recover record short
    auto c = repo_connection::open(folder.path(), nullptr);
    auto refused = run(c->resync());
    ASSERT_FALSE(refused.has_value());
    EXPECT_EQ(HRESULT(refused.error()), HRESULT(0x80070420));
    EXPECT_EQ(hresult_of([&] { run(c->resync()); }), HRESULT(0x80070005));
    EXPECT_EQ(hresult_of([&] { run(c->resync()); }), HRESULT(0x80070057));
    EXPECT_EQ(hresult_of([&] { run(c->resync()); }), HRESULT(0x80070057));
    EXPECT_EQ(hresult_of([&] { run(c->recover()); }), HRESULT(0x80070057));
    EXPECT_EQ(hresult_of([&] { run(c->recover()); }), HRESULT(0x80070057));
}

TEST(RepoConnection, AFolderServerThatDiesDuringACallEndsIt)
{
    test_support::temp_folder folder;
    fake_folder_server server(folder.path(), "progress 1 9 Scanning;sleep 100;exit\n");
    auto target = std::make_shared<recording_progress>();
    auto c = repo_connection::open(folder.path(), target);
    // Bounded: without the close handler's shutdown the call would wait for ever.
    EXPECT_EQ(outcome_within(c->resync(), 10000ms, [&] { c->shutdown(); }), HRESULT(0x800704C7));
    EXPECT_EQ(server.wait(5000ms), 3);
    EXPECT_EQ(target->calls(), std::vector<std::wstring>{L"stage Scanning"});
}

TEST(RepoConnection, NoFolderServerFailsAtOnce)
{
    test_support::temp_folder folder;
    EXPECT_EQ(hresult_of([&] { repo_connection::open(folder.path(), nullptr); }), HRESULT(0x80070002));
}

} // namespace
