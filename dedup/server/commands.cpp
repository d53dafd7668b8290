#include <dedup/server/commands.h>

#include <dedup/engine/root_folder.h>
#include <dedup/server/console_output.h>

#include <lurran/pipe_transport.h>
#include <ostrel/com/ptr.h>
#include <ostrel/logger.h>
#include <quillo/render.h>
#include <tavik/cancellation.h>
#include <tavik/error.h>

#include <windows.h>

#include <chrono>
#include <exception>
#include <filesystem>
#include <new>
#include <string>
#include <system_error>

namespace dedup::impl {

// What the close handler and the progress handler of a client connection share with its owner.
// The close handler may run on a pool thread after the command has destroyed the connection: it
// reaches the connection only through `connection`, which the deleter clears, under the lock,
// before it destroys the connection.
struct client_link {
    SRWLOCK lock = SRWLOCK_INIT;
    api::repo_client_connection* connection = nullptr;
    progress_state progress;
};

void client_connection_deleter::operator()(api::repo_client_connection* connection) const noexcept
{
    if (link) {
        AcquireSRWLockExclusive(&link->lock);
        link->connection = nullptr;
        ReleaseSRWLockExclusive(&link->lock);
    }
    delete connection;
}

namespace {

constexpr long e_fail = static_cast<long>(0x80004005);
constexpr long e_outofmemory = static_cast<long>(0x8007000E);
constexpr const wchar_t* error_executing = L"Error executing operation: {0} ({1ub016x})\r\n";

std::wstring from_utf8(std::string_view text)
{
    if (text.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0);
    std::wstring out(std::size_t(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n);
    return out;
}

// The error line of the exception being handled. Failures other than HRESULT errors (the
// full-path step's file-system error, no memory) must not end a command with nothing printed
// after its start line.
void report_current_exception() noexcept
{
    try {
        try {
            throw;
        } catch (const tavik::details::hresult_error_impl& e) {
            log_error_with_code(error_executing, e.message(), e.code());
        } catch (const std::bad_alloc&) {
            log_error_with_code(error_executing, tavik::details::hresult_error_impl::message(e_outofmemory),
                                e_outofmemory);
        } catch (const std::system_error& e) {
            const long hr = e.code().category() == std::system_category() && e.code().value() > 0
                                ? long(tavik::details::hresult_from_win32(e.code().value()))
                                : e_fail;
            log_error_with_code(error_executing, from_utf8(e.what()), hr);
        } catch (const std::exception& e) {
            log_error_with_code(error_executing, from_utf8(e.what()), e_fail);
        } catch (...) {
            log_error_with_code(error_executing, tavik::details::hresult_error_impl::message(e_fail), e_fail);
        }
    } catch (...) {
        // Not even the line could be made.
    }
}

std::int64_t precise_system_time() noexcept
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return (std::int64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

} // namespace

tavik::details::future<client_connection_ptr> connect_to_folder_server(std::wstring_view folder)
{
    const std::wstring full_path = std::filesystem::absolute(std::filesystem::path(std::wstring(folder))).wstring();
    const std::wstring name = lurran::make_repo_pipe_name(full_path);
    auto transport = lurran::transports::pipe::connect_pipe(L".", name, lurran::transports::pipe::wait_duration(50'000'000));

    auto link = std::make_shared<client_link>();
    link->progress.folder = folder;
    client_connection_ptr connection(new api::repo_client_connection, client_connection_deleter{link});
    link->connection = connection.get();
    client_link* state = link.get();
    connection->handler<api::RepoClient::progress>().assign(
        [state](std::uint64_t cookie, std::wstring stage, std::uint64_t done, std::uint64_t total) {
            print_progress(state->progress, cookie, stage, done, total);
        });
    // Ends a call still waiting when the folder server closes its end.
    connection->close_handler().assign([link](HRESULT) {
        AcquireSRWLockExclusive(&link->lock);
        if (link->connection)
            link->connection->shutdown();
        ReleaseSRWLockExclusive(&link->lock);
    });
    connection->start(std::move(transport));
    co_return std::move(connection);
}

namespace {

// The shape the four commands share: start line, connection, the call, the result.
template <class Call, class Print>
tavik::details::future<void> run_remote_command(const wchar_t* start_line, std::wstring_view folder, Call call,
                                                Print print)
{
    using namespace tavik::details;
    try {
        log_with_folder(start_line, folder);
        client_connection_ptr connection = co_await connect_to_folder_server(folder);
        cancellation_token token(connection->cancellation(), co_await this_promise);
        const std::int64_t started = precise_system_time();
        auto result = co_await call(*connection);
        const double seconds = double(precise_system_time() - started) * 0.0000001;
        print(result, seconds);
    } catch (...) {
        report_current_exception();
    }
}

} // namespace

tavik::details::future<void> optimize_command(std::wstring_view folder, std::int32_t level, purge_flags flags)
{
    co_await run_remote_command(
        L"Starting a resync operation on {0}...\r\n", folder,
        [level, flags](api::repo_client_connection& c) { return c.proxy<api::RepoInterface::resync>()(0, level, flags); },
        [folder](const std::expected<resync_stats, long>& result, double seconds) {
            print_summary(result, L"Optimize", folder, seconds);
        });
}

tavik::details::future<void> recover_command(std::wstring_view folder)
{
    co_await run_remote_command(
        L"Starting a recover operation on {0}...\r\n", folder,
        [](api::repo_client_connection& c) { return c.proxy<api::RepoInterface::recover>()(0); },
        [](const std::expected<recover_stats, long>& result, double) {
            if (result) {
                if (global_logger)
                    global_logger->log(
                        quillo::format(L"Recover operation completed successfully. {0l} files and {1l} folders have "
                                       L"been recovered.\r\n",
                                       result->files_recovered, result->folders_recovered),
                        3);
            } else {
                log_error_with_code(L"The following error occurred during processing: {0} ({1ub016x}).\r\n",
                                    tavik::details::hresult_error_impl::message(result.error()), result.error());
            }
        });
}

tavik::details::future<void> info_command(std::wstring_view folder)
{
    co_await run_remote_command(
        L"Requesting deduplicated information on {0}...\r\n", folder,
        [](api::repo_client_connection& c) { return c.proxy<api::RepoInterface::info>()(); },
        [](const folder_statistics& s, double) {
            if (global_logger)
                global_logger->log(quillo::format(L"Approximate deduplicated folder statistics:\n"
                                                  L"  Uncompressed data size : {0l}\n"
                                                  L"  Unique size : {1l}\n"
                                                  L"  Compressed size : {2l}\n"
                                                  L"  Unique block count : {3l}\n",
                                                  s.uncompressed_size, s.unique_size, s.compressed_size, s.block_count),
                                   3);
        });
}

tavik::details::future<void> delete_command(std::wstring_view folder, bool force)
{
    co_await run_remote_command(
        L"Starting a delete operation on {0}...\r\n", folder,
        [force](api::repo_client_connection& c) { return c.proxy<api::RepoInterface::delete_folder>()(force); },
        [](std::int32_t hr, double) {
            if (hr < 0)
                report_processing_error(hr);
            else if (global_logger)
                global_logger->log(L"Delete operation completed successfully.\r\n", 3);
        });
}

tavik::details::future<void> estimate(std::wstring_view folder, std::int32_t level, std::int32_t)
{
    using namespace tavik::details;
    try {
        log_with_folder(L"Estimating the compression results for {0}...\r\n", folder);
        cancellation_source source; // nothing cancels it
        Ostrel::com::ptr<IRoot> root = Ostrel::com::make<root_folder>(source);
        progress_state progress{folder, {}};
        const std::int64_t started = precise_system_time();
        auto result = co_await root->convert(
            std::wstring(folder), level, source,
            [&progress](const std::wstring& stage, std::uint64_t done, std::uint64_t total) {
                print_progress(progress, 0, stage, done, total);
            });
        const double seconds = double(precise_system_time() - started) * 0.0000001;
        print_summary(result, L"Estimate", folder, seconds);
    } catch (...) {
        report_current_exception();
    }
}

} // namespace dedup::impl
