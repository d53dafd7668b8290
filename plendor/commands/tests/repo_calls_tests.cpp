// The folder-server calls against a folder server of the test's own on the folder's real pipe.
#include "fake_folder_server.h"

#include <plendor/commands/repo_calls.h>

#include <dedup/api/repo_interface.h>
#include <lurran/pipe_transport.h>
#include <tavik/error.h>
#include <tavik/thread_pool.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace tavik::details;
using repo_test::fake_folder_server;

// Records the reports it gets.
struct recording_progress : progress {
    std::mutex lock;
    std::vector<std::wstring> stages;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
    void set_stage(std::wstring_view stage) override
    {
        std::lock_guard guard(lock);
        stages.emplace_back(stage);
    }
    void set_progress(std::uint64_t done, std::uint64_t total) override
    {
        std::lock_guard guard(lock);
        reports.emplace_back(done, total);
    }
};

std::wstring folder_name(const wchar_t* tag)
{
    return L"c:\\plendor tests\\" + std::wstring(tag) + std::to_wstring(GetCurrentProcessId());
}

TEST(RepoCalls, ResyncReportsProgressAndReturnsTheStatistics)
{
    const std::wstring folder = folder_name(L"resync");
    fake_folder_server server(folder, fake_folder_server::mode::answer);
    auto target = std::make_shared<recording_progress>();
    auto reply = wait_blocking_result(resync_over_pipe(folder, target));
    ASSERT_TRUE(reply.has_value());
    EXPECT_EQ(reply->uncompressed_size, 1000u);
    EXPECT_EQ(reply->files_added, 3u);
    EXPECT_EQ(server.level, 7);
    EXPECT_EQ(server.purge, 3u);
    std::lock_guard guard(target->lock);
    EXPECT_EQ(target->stages, (std::vector<std::wstring>{L"Searching", L"Storing"}));
    ASSERT_EQ(target->reports.size(), 4u);
    EXPECT_EQ(target->reports[2], (std::pair<std::uint64_t, std::uint64_t>{50, 100}));
}

TEST(RepoCalls, RecoverCarriesTheServersHresult)
{
    const std::wstring folder = folder_name(L"recover");
    fake_folder_server server(folder, fake_folder_server::mode::answer);
    auto reply = wait_blocking_result(recover_over_pipe(folder));
    ASSERT_FALSE(reply.has_value());
    EXPECT_EQ(reply.error(), static_cast<long>(0x80070420));
}

TEST(RepoCalls, NoFolderServerFailsAtOnce)
{
    const auto start = std::chrono::steady_clock::now();
    try {
        wait_blocking_result(resync_over_pipe(folder_name(L"absent"), {}));
        FAIL();
    } catch (const traceable_error& e) {
        EXPECT_EQ(e.code(), static_cast<HRESULT>(0x80070002));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

TEST(RepoCalls, AServerDyingMidCallEndsTheCallWithCancelled)
{
    const std::wstring folder = folder_name(L"dying");
    fake_folder_server server(folder, fake_folder_server::mode::die);
    const auto start = std::chrono::steady_clock::now();
    try {
        wait_blocking_result(resync_over_pipe(folder, {}));
        FAIL();
    } catch (const traceable_error& e) {
        EXPECT_EQ(e.code(), static_cast<HRESULT>(0x800704C7));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

} // namespace
