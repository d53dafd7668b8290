#pragma once
// The one-shot commands of the console program. "estimate" runs the store engine's dry run here;
// "optimize", "recover", "info" and "delete" ask the folder server that serves the folder, through
// the folder's pipe, and print the progress it sends and the result.
//
// Each command is a coroutine that has printed its own result and errors when it completes: a
// failure of the pipe, of the call or of anything else is printed as "Error executing operation"
// and swallowed. The folder is the text the user typed; the caller keeps it alive until the
// command has ended.

#include <dedup/api/repo_interface.h>
#include <dedup/engine/operation_results.h>

#include <tavik/future.h>

#include <cstdint>
#include <memory>
#include <string_view>

namespace dedup::impl {

struct client_link;

// Destroys a client connection only once its close handler can no longer reach it.
struct client_connection_deleter {
    std::shared_ptr<client_link> link;
    void operator()(api::repo_client_connection* connection) const noexcept;
};

using client_connection_ptr = std::unique_ptr<api::repo_client_connection, client_connection_deleter>;

// Connects to the pipe of the folder's full path (5 seconds per wait, three attempts) and starts a
// client connection whose progress handler prints the progress. Fails with the pipe's traceable
// error, or with the standard file-system error of the full-path step.
tavik::details::future<client_connection_ptr> connect_to_folder_server(std::wstring_view folder);

tavik::details::future<void> estimate(std::wstring_view folder, std::int32_t level, std::int32_t algorithm_version);
tavik::details::future<void> optimize_command(std::wstring_view folder, std::int32_t level, purge_flags flags);
tavik::details::future<void> recover_command(std::wstring_view folder);
tavik::details::future<void> info_command(std::wstring_view folder);
tavik::details::future<void> delete_command(std::wstring_view folder, bool force);

} // namespace dedup::impl
