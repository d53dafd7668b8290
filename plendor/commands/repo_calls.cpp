#include <plendor/commands/repo_calls.h>

#include <dedup/api/repo_interface.h>
#include <lurran/pipe_transport.h>
#include <tavik/thread_pool.h>

using namespace tavik::details;

namespace {

// What the close and progress handlers share with the call. The close handler may run after the
// call has destroyed its connection: it reaches the connection only through `connection`, which
// the deleter clears under the lock first.
struct repo_link {
    SRWLOCK lock = SRWLOCK_INIT;
    dedup::api::repo_client_connection* connection = nullptr;
    std::weak_ptr<progress> target;
    std::wstring last_stage;
};

struct link_deleter {
    std::shared_ptr<repo_link> link;
    void operator()(dedup::api::repo_client_connection* connection) const noexcept
    {
        AcquireSRWLockExclusive(&link->lock);
        link->connection = nullptr;
        ReleaseSRWLockExclusive(&link->lock);
        delete connection; // shuts down and waits for its loops
    }
};

using connection_ptr = std::unique_ptr<dedup::api::repo_client_connection, link_deleter>;

connection_ptr connect(const std::wstring& folder, std::weak_ptr<progress> target)
{
    auto transport = lurran::transports::pipe::connect_pipe(L".", lurran::make_repo_pipe_name(folder),
                                                            lurran::transports::pipe::wait_duration(30'000'000), 5);
    auto link = std::make_shared<repo_link>();
    link->target = std::move(target);
    connection_ptr connection(new dedup::api::repo_client_connection, link_deleter{link});
    link->connection = connection.get();
    repo_link* state = link.get();
    connection->handler<dedup::api::RepoClient::progress>().assign(
        [state](std::uint64_t, std::wstring stage, std::uint64_t done, std::uint64_t total) {
            // One reader thread runs this handler, one message at a time.
            std::shared_ptr<progress> p = state->target.lock();
            if (!p)
                return;
            if (stage != state->last_stage) {
                p->set_stage(stage);
                state->last_stage = std::move(stage);
            }
            p->set_progress(done, total);
        });
    connection->close_handler().assign([link](HRESULT) {
        AcquireSRWLockExclusive(&link->lock);
        if (link->connection)
            link->connection->shutdown();
        ReleaseSRWLockExclusive(&link->lock);
    });
    connection->start(std::move(transport));
    return connection;
}

} // namespace

future<std::expected<dedup::resync_stats, long>> resync_over_pipe(std::wstring folder, std::weak_ptr<progress> target)
{
    co_await resume_on_thread_pool{};
    connection_ptr connection = connect(folder, std::move(target));
    const dedup::purge_flags purge = dedup::purge_flags(dedup::purge_options::purge_cache) |
                                     dedup::purge_flags(dedup::purge_options::purge_blocks);
    std::expected<dedup::resync_stats, long> reply =
        co_await connection->proxy<dedup::api::RepoInterface::resync>()(0, 7, purge);
    co_return reply;
}

future<std::expected<dedup::recover_stats, long>> recover_over_pipe(std::wstring folder)
{
    co_await resume_on_thread_pool{};
    connection_ptr connection = connect(folder, {});
    std::expected<dedup::recover_stats, long> reply =
        co_await connection->proxy<dedup::api::RepoInterface::recover>()(0);
    co_return reply;
}
