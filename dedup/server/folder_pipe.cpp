#include <dedup/server/folder_pipe.h>

#include <ostrel/logger.h>
#include <quillo/render.h>
#include <tavik/error.h>
#include <tavik/thread_pool.h>

#include <memory>
#include <new>
#include <utility>

namespace dedup::impl {

namespace {

constexpr HRESULT e_invalidarg = static_cast<HRESULT>(0x80070057);
constexpr std::int32_t dir_not_empty = static_cast<std::int32_t>(0x80070091);

// The shared hold of the provider's stop lock, released by whichever thread ends the client
// connection (an SRW lock allows that).

void log_failure_line(const std::wstring& folder, const tavik::details::traceable_error& error)
{
    if (!global_logger)
        return;
    try {
        global_logger->log(quillo::format(L"Deduplicated folder {0} failed with error {1ub016x} at stage {2}: {3}\r\n",
                                          folder, long(error.code()), 0, error.full_text()),
                           1);
    } catch (...) {
        // No memory for the line: the folder stops all the same.
    }
}

// The progress call-back handed to the store engine: one one-way progress message per call,
// with the call's cookie. A message that cannot be queued (the connection is ending, no memory)
// is dropped: the engine must never see an exception from its progress.
progress_callback progress_sender(api::repo_server_connection& connection, std::uint64_t cookie)
{
    return [&connection, cookie](const std::wstring& stage, std::uint64_t done, std::uint64_t total) {
        try {
            connection.proxy<api::RepoClient::progress>()(cookie, stage, done, total);
        } catch (...) {
        }
    };
}

} // namespace

folder_pipe_security::folder_pipe_security()
{
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    auto* sid = reinterpret_cast<PSID>(everyone_);
    auto* acl = reinterpret_cast<PACL>(acl_);
    if (!InitializeSid(sid, &world, 1))
        tavik::details::throw_last_error();
    *GetSidSubAuthority(sid, 0) = SECURITY_WORLD_RID;
    if (!InitializeAcl(acl, sizeof(acl_), ACL_REVISION))
        tavik::details::throw_last_error();
    if (!AddAccessAllowedAceEx(acl, ACL_REVISION, 0, folder_pipe_access, sid))
        tavik::details::throw_last_error();
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION))
        tavik::details::throw_last_error();
    if (!SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE))
        tavik::details::throw_last_error();
}

lurran::transports::pipe::create_server_params<> folder_pipe_params(PSECURITY_DESCRIPTOR descriptor,
                                                                    bool first_instance) noexcept
{
    lurran::transports::pipe::create_server_params<> params;
    params.security_descriptor = descriptor;
    params.reserved_size = 0x1000000;
    params.out_buffer_size = 0x1000000;
    params.in_buffer_size = 0x1000000;
    params.default_timeout = 0;
    params.reserved_flag_a = 0;
    params.reserved_flag_b = 1;
    params.first_instance = first_instance;
    // Unlimited: a client keeps its instance while the next one waits for the next client.
    params.max_instances = PIPE_UNLIMITED_INSTANCES;
    return params;
}

folder_pipe::folder_pipe(folder_pipe_host host) : host_(std::move(host)) {}

tavik::details::future<void> folder_pipe::listen_for_clients()
{
    using namespace tavik::details;
    cancellation_token token(host_.source, co_await this_promise);
    try {
        folder_pipe_security security;
        const std::wstring name = lurran::make_repo_pipe_name(host_.folder_path);
        bool first = true;
        // One instance waits for a client at a time; the next is made as soon as one is taken.
        while (!token.is_cancelled()) {
            const auto params = folder_pipe_params(security.descriptor(), first);
            future<lurran::details::pipe::pipe_transport> accepting;
            if (host_.create_server)
                accepting = host_.create_server(name, host_.source, params);
            else
                accepting = lurran::transports::pipe::create_server(name, host_.source, params);
            auto transport = co_await std::move(accepting);
            first = false;
            // Released at once: nobody awaits a client connection.
            static_cast<void>(on_client_connected(std::move(transport)));
        }
    } catch (const traceable_error& e) {
        // The folder's stop aborts the wait for a client (0x800703E3) or finds the listener between
        // two instances (operation_cancelled): the normal end. Anything else (a name too long for
        // a pipe, a name another process holds, a failed connect) would otherwise end the folder
        // without a word.
        if (!host_.source.is_cancelled())
            log_failure_line(host_.folder_path, e);
    }
}

tavik::details::future<void> folder_pipe::on_client_connected(lurran::details::pipe::pipe_transport transport)
{
    using namespace tavik::details;
    // Declared first, released last: the folder's closing line waits for it.
    usage_hold hold(host_.connections);
    // Not bound to this coroutine: once the connection runs, only its close may end the wait
    // below, and the stop reaches the connection through the subscription.
    cancellation_token token(host_.source);
    co_await resume_on_thread_pool{};

    // Destroyed in reverse order: the subscription (waiting for its callback) before the
    // connection, whose destruction shuts it down and waits for the handlers still running.
    auto connection = std::make_unique<api::repo_server_connection>();
    api::repo_server_connection* c = connection.get();
    c->handler<api::RepoInterface::info>().assign([this] { return handle_info(); });
    c->handler<api::RepoInterface::resync>().assign(
        [this, c](std::uint64_t cookie, std::int32_t level, purge_flags flags) {
            return handle_resync(*c, cookie, level, flags);
        });
    c->handler<api::RepoInterface::recover>().assign(
        [this, c](std::uint64_t cookie) { return handle_recover(*c, cookie); });
    c->handler<api::RepoInterface::delete_folder>().assign([this, c](bool force) { return handle_delete(*c, force); });
    c->handler<api::RepoInterface::stop>().assign([this] {
        if (host_.schedule_stop)
            host_.schedule_stop();
    });

    auto closed = std::make_shared<promise_type_<void>>();
    c->close_handler().assign([closed](HRESULT) { complete_async(closed); });
    cancellation_subscription subscription(token, [c] { c->shutdown(); });
    c->start(std::move(transport));

    co_await *closed;
}

tavik::details::future<folder_statistics> folder_pipe::handle_info()
{
    // The statistics wait for the store to be loaded: not on the connection's reader.
    co_await tavik::details::resume_on_thread_pool{};
    co_return host_.root->get_statistics();
}

tavik::details::future<std::expected<resync_stats, long>> folder_pipe::handle_resync(
    api::repo_server_connection& connection, std::uint64_t cookie, std::int32_t level, purge_flags flags)
{
    // Any local user can send this request: only the levels the compressor has and the two
    // options a client may ask for get through; the dry run's flag and unknown bits are dropped.
    if (level < 1 || level > 12)
        co_return std::unexpected(long(e_invalidarg));
    const purge_flags allowed = purge_flags::from_bits(
        flags.bits() & (static_cast<std::uint32_t>(purge_options::purge_cache) |
                        static_cast<std::uint32_t>(purge_options::purge_blocks)));
    co_await tavik::details::resume_on_thread_pool{};
    // The connection's source: a client that goes away, or a folder that stops, cancels the
    // optimize. It lives in this frame for as long as the operation runs.
    tavik::details::cancellation_source source = connection.cancellation();
    co_return co_await host_.root->optimize(source, level, allowed, progress_sender(connection, cookie));
}

tavik::details::future<std::expected<recover_stats, long>> folder_pipe::handle_recover(
    api::repo_server_connection& connection, std::uint64_t cookie)
{
    using namespace tavik::details;
    cancellation_source source = connection.cancellation();
    cancellation_token token(source, co_await this_promise);
    // Recover runs to its end on the thread that calls it.
    co_await resume_on_thread_pool{};
    co_return host_.root->recover(source, progress_sender(connection, cookie));
}

tavik::details::future<std::int32_t> folder_pipe::handle_delete(api::repo_server_connection& connection, bool force)
{
    using namespace tavik::details;
    cancellation_source source = connection.cancellation();
    cancellation_token token(source, co_await this_promise);
    // The emptiness test scans the folder and removal deletes the store: both block.
    co_await resume_on_thread_pool{};
    if (!force && !host_.root->is_empty())
        co_return dir_not_empty;
    if (host_.stop_virtualizing)
        host_.stop_virtualizing();
    const std::int32_t result = host_.root->remove();
    if (host_.schedule_stop)
        host_.schedule_stop();
    co_return result;
}

} // namespace dedup::impl
