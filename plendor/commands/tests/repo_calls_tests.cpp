// The folder-server calls against a folder server of the test's own on the folder's real pipe.
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

// One folder's server for one client: scripted progress, then the reply, or a death mid-call.
class fake_folder_server {
public:
    enum class mode { answer, die };

    explicit fake_folder_server(std::wstring folder, mode m) : mode_(m)
    {
        auto accepted = lurran::transports::pipe::create_server(lurran::make_repo_pipe_name(folder), source_, {});
        accept_ = serve(std::move(accepted));
    }
    ~fake_folder_server()
    {
        source_.cancel();
        wait_blocking(accept_);
        if (connection_)
            connection_->shutdown();
    }

    std::atomic<int> resyncs{0};
    std::int32_t level = -1;
    std::uint32_t purge = 0;

private:
    future<void> serve(future<lurran::details::pipe::pipe_transport> accepted)
    {
        try {
            auto transport = co_await std::move(accepted);
            connection_ = std::make_unique<dedup::api::repo_server_connection>();
            auto* c = connection_.get();
            connection_->handler<dedup::api::RepoInterface::resync>().assign(
                [this, c](std::uint64_t cookie, std::int32_t l, dedup::purge_flags p) {
                    return resync(c, cookie, l, p);
                });
            connection_->handler<dedup::api::RepoInterface::recover>().assign([this, c](std::uint64_t cookie) {
                return recover(c, cookie);
            });
            connection_->start(std::move(transport));
        } catch (...) {
        }
    }

    future<std::expected<dedup::resync_stats, long>> resync(dedup::api::repo_server_connection* c, std::uint64_t cookie,
                                                            std::int32_t l, dedup::purge_flags p)
    {
        ++resyncs;
        level = l;
        purge = p.bits();
        c->proxy<dedup::api::RepoClient::progress>()(cookie, L"Searching", 0, 0);
        c->proxy<dedup::api::RepoClient::progress>()(cookie, L"Searching", 5, 0);
        c->proxy<dedup::api::RepoClient::progress>()(cookie, L"Storing", 50, 100);
        c->proxy<dedup::api::RepoClient::progress>()(cookie, L"Storing", 100, 100);
        co_await resume_on_thread_pool{};
        Sleep(100);
        if (mode_ == mode::die) {
            // The server process goes away mid-call: its end of the pipe closes.
            std::thread([c] { c->shutdown(); }).detach();
            Sleep(1500);
        }
        dedup::resync_stats s{};
        s.uncompressed_size = 1000;
        s.files_added = 3;
        co_return s;
    }

    future<std::expected<dedup::recover_stats, long>> recover(dedup::api::repo_server_connection* c, std::uint64_t cookie)
    {
        c->proxy<dedup::api::RepoClient::progress>()(cookie, L"Recovering", 1, 2);
        co_await resume_on_thread_pool{};
        co_return std::unexpected(static_cast<long>(0x80070420));
    }

    mode mode_;
    cancellation_source source_;
    future<void> accept_;
    std::unique_ptr<dedup::api::repo_server_connection> connection_;
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
