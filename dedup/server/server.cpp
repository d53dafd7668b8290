#include <dedup/server/server.h>

#include <dedup/server/folder_pipe.h>
#include <dedup/server/folder_server.h>

#include <tavik/error.h>

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>

namespace dedup {

server_impl::server_impl(std::span<const std::wstring_view> folder_arguments, const create_params& create_options,
                         folder_listener listener)
    : source_(tavik::details::make_cancellation_source_body()), options_(create_options),
      listener_(std::move(listener))
{
    for (const std::wstring_view argument : folder_arguments) {
        std::wstring full = normalize_folder_path(argument);
        if (!full.empty())
            folders_.emplace_back(std::move(full));
    }
    std::sort(folders_.begin(), folders_.end());
    folders_.erase(std::unique(folders_.begin(), folders_.end()), folders_.end());
}

server_impl::~server_impl()
{
    providers_.clear();
    folders_.clear();
}

namespace {

// What the waiters of one start share: the first exception and the count of providers running.
struct provider_join {
    explicit provider_join(std::size_t count) : running(count) {}
    std::atomic<std::size_t> running;
    std::mutex lock;
    std::exception_ptr failure;
    std::shared_ptr<tavik::details::promise_type_<void>> done = std::make_shared<tavik::details::promise_type_<void>>();
};

tavik::details::fire_and_forget wait_for_provider(tavik::details::future<void> run, std::shared_ptr<provider_join> join)
{
    try {
        co_await run;
    } catch (...) {
        std::lock_guard guard(join->lock);
        if (!join->failure)
            join->failure = std::current_exception();
    }
    run.reset();
    if (join->running.fetch_sub(1, std::memory_order_acq_rel) == 1)
        join->done->set_value();
}

} // namespace

tavik::details::future<void> server_impl::start()
{
    std::shared_ptr<provider_join> join;
    {
        tavik::details::cancellation_token token(source_, co_await tavik::details::this_promise);
        for (auto& folder : folders_)
            providers_.push_back(std::make_unique<provider_impl>(folder.wstring(), options_, listener_));
        folders_.clear();
        std::vector<tavik::details::future<void>> runs;
        runs.reserve(providers_.size());
        for (auto& provider : providers_)
            runs.push_back(provider->run(source_));
        if (runs.empty())
            co_return;
        join = std::make_shared<provider_join>(runs.size());
        for (auto& run : runs)
            wait_for_provider(std::move(run), join);
    }
    // Unbound from here: a stop must not end the wait before the last provider has ended.
    co_await *join->done;
    if (join->failure)
        std::rethrow_exception(join->failure);
}

void server_impl::stop() noexcept
{
    source_.cancel();
}

namespace {

// The listener of a served folder: its pipe. The pipe object stays with the provider, which ends
// only after the last client connection that uses it.
tavik::details::future<void> serve_folder_pipe(provider_impl& provider)
{
    impl::folder_pipe_host host;
    host.root = provider.root;
    host.folder_path = provider.folder;
    host.source = provider.source;
    host.connections = &provider.connections;
    host.schedule_stop = [&provider] { provider.schedule_stop(); };
    host.stop_virtualizing = [&provider] { provider.stop_instance(); };
    auto pipe = std::make_shared<impl::folder_pipe>(std::move(host));
    provider.listener_state = pipe;
    co_await pipe->listen_for_clients();
}

} // namespace

namespace impl {

std::unique_ptr<folder_server> create_folder_server(std::vector<std::wstring> folders, const create_params& params)
{
    std::vector<std::wstring_view> views(folders.begin(), folders.end());
    return std::make_unique<server_impl>(views, params, [](provider_impl& provider) { return serve_folder_pipe(provider); });
}

} // namespace impl

} // namespace dedup
