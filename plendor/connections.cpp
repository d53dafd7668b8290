#include <plendor/connections.h>

#include <lurran/pipe_transport.h>

#include <tavik/error.h>

namespace {

// The close handler of a connection held by a shared pointer: once a loop has ended (pipe broken,
// peer gone, malformed frame), the connection is shut down so that its waiting calls fail. It
// holds the connection only weakly: the owner's release may come first.
template <class C>
void shut_down_when_closed(const std::shared_ptr<C>& connection)
{
    std::weak_ptr<C> weak = connection;
    connection->close_handler().assign([weak](HRESULT) {
        if (std::shared_ptr<C> alive = weak.lock())
            alive->shutdown();
    });
}

} // namespace

std::shared_ptr<service_connection> service_connection::open(std::wstring_view pipe_name)
{
    auto transport = lurran::transports::pipe::connect_pipe(L".", pipe_name, connect_wait, connect_attempts);
    auto connection = std::make_shared<service_connection>();
    shut_down_when_closed(connection);
    connection->start(std::move(transport));
    return connection;
}

tavik::details::future<std::vector<std::wstring>> service_connection::list_folders()
{
    return proxy<dedup::api::ServiceInterface::list_folders>()();
}

tavik::details::future<std::int32_t> service_connection::convert(std::wstring folder)
{
    return proxy<dedup::api::ServiceInterface::convert>()(std::move(folder), true);
}

tavik::details::future<std::int32_t> service_connection::delete_folder(std::wstring folder, bool force)
{
    return proxy<dedup::api::ServiceInterface::delete_folder>()(std::move(folder), force);
}

void progress_relay::on_progress(const std::wstring& stage, std::uint64_t done, std::uint64_t total)
{
    if (!target_)
        return;
    if (stage.empty() || stage == last_stage_) {
        target_->set_progress(done, total);
        return;
    }
    last_stage_ = stage;
    target_->set_stage(last_stage_);
}

std::shared_ptr<repo_connection> repo_connection::open(std::wstring_view folder, std::shared_ptr<progress> target)
{
    auto transport =
        lurran::transports::pipe::connect_pipe(L".", lurran::make_repo_pipe_name(folder), connect_wait, connect_attempts);
    auto connection = std::make_shared<repo_connection>();
    // The slot is always filled: recover ignores the progress a folder server may still send.
    auto relay = std::make_shared<progress_relay>(std::move(target));
    connection->handler<dedup::api::RepoClient::progress>().assign(
        [relay](std::uint64_t, std::wstring stage, std::uint64_t done, std::uint64_t total) {
            relay->on_progress(stage, done, total);
        });
    shut_down_when_closed(connection);
    connection->start(std::move(transport));
    return connection;
}

tavik::details::future<std::expected<dedup::resync_stats, long>> repo_connection::resync()
{
    return proxy<dedup::api::RepoInterface::resync>()(
        0, 7, dedup::purge_flags(dedup::purge_options::purge_cache) | dedup::purge_flags(dedup::purge_options::purge_blocks));
}

tavik::details::future<std::expected<dedup::recover_stats, long>> repo_connection::recover()
{
    return proxy<dedup::api::RepoInterface::recover>()(0);
}

HRESULT forward_command_line(HWND peer, HWND own, std::wstring_view command_line, std::chrono::milliseconds send_timeout)
{
    using namespace tavik::details;
    auto sent = std::make_shared<promise_type_<HRESULT>>();
    copydata_sending_connection connection;
    // Whichever comes first: the writer's outcome for the frame, or the end of the connection
    // (which also covers a message that never reached the writer).
    connection.close_handler().assign([sent](HRESULT hr) { sent->set_value(FAILED(hr) ? hr : E_ABORT); });
    lurran::details::copydata::endpoints ends{peer, own, true, send_timeout};
    lurran::details::copydata::copydata_transport transport(ends);
    transport.set_sent_hook([sent](HRESULT hr) { sent->set_value(hr); });
    connection.start(std::move(transport));
    connection.proxy<ICopyData::forward_command_line>()(std::wstring(command_line));
    auto outcome = [](std::shared_ptr<promise_type_<HRESULT>> s) -> future<HRESULT> { co_return co_await *s; }(sent);
    wait_blocking(outcome);
    const HRESULT hr = outcome.get();
    connection.shutdown();
    return hr;
}

bool copydata_connection::on_copydata(std::int64_t lparam, std::int64_t& result) noexcept
{
    AcquireSRWLockShared(&lock_);
    std::shared_ptr<lurran::details::copydata::inbox> inbox = inbox_;
    ReleaseSRWLockShared(&lock_);
    return inbox && lurran::details::copydata::accept_frame(*inbox, lparam, result);
}

void copydata_connection::shutdown() noexcept
{
    AcquireSRWLockExclusive(&lock_);
    inbox_.reset();
    ReleaseSRWLockExclusive(&lock_);
    connection_.shutdown();
}
