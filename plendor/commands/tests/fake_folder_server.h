#pragma once
// A folder server of the test's own on a folder's real pipe, for one client: scripted progress,
// then the reply, or a death mid-call.

#include <dedup/api/repo_interface.h>
#include <lurran/pipe_transport.h>
#include <tavik/error.h>
#include <tavik/thread_pool.h>

#include <atomic>
#include <memory>
#include <thread>

namespace repo_test {

using namespace tavik::details;

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

} // namespace repo_test
