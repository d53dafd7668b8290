#pragma once
// provider: serves one deduplicated folder while the folder server runs, or until the folder is
// stopped on its own. It makes the folder's root folder object, creates or opens the store, marks a
// new folder as a virtualization root, starts the Projected File System instance with the
// callbacks of projfs_callbacks.cpp, runs the folder's listener, and at the end stops the instance
// and writes its closing line. A failure of one folder is logged and ends that folder alone.
//
// Lock order: the pending lock and the enumeration lock are each held only for one map operation
// and never together; neither is held while the store works.
//
// Threads: `run` starts on the server's thread and continues on thread-pool threads. The callbacks
// run on the platform's threads, several at once. Client connections and commands may end on any
// thread: the folder waits for them through counters (`usage_latch`), not through a lock held
// across threads.

#include <dedup/engine/iroot.h>
#include <dedup/server/usage_latch.h>

#include <ostrel/com/ptr.h>
#include <platform/projfs/projfs.h>
#include <tavik/cancellation.h>
#include <tavik/error.h>
#include <tavik/future.h>

#include <boost/unordered/unordered_flat_map.hpp>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace dedup {

class provider_impl;

// The folder's listener: serves the folder's pipe until the folder's source is cancelled. Its
// future ends normally when the folder stops or accepting fails, and with an exception otherwise.
using folder_listener = std::function<tavik::details::future<void>(provider_impl&)>;

// A listener that serves nothing: it waits until the folder stops.
tavik::details::future<void> wait_for_stop(provider_impl& provider);

class provider {
public:
    virtual ~provider() = default;
    // Serves the folder until it stops. Contract: called once, on the server's thread, where it
    // runs until its first suspension; resumes on thread-pool threads. Ends with no value when the
    // folder has stopped (after a failure too); raises operation_cancelled when the server's
    // source was cancelled before it began, and whatever is not a traceable_error (no memory).
    virtual tavik::details::future<void> run(tavik::details::cancellation_source& server_source) = 0;
};

// One directory enumeration of the platform: the directory's entries as the tree held them when
// it started, and where the next get continues.
struct directory_enumeration {
    Ostrel::com::ptr<IRoot> root;
    std::wstring path;
    std::wstring filter;
    std::vector<dir_entry> entries;
    std::size_t cursor = 0;
    bool started = false;
};

struct guid_fnv1a_hash {
    std::size_t operator()(const GUID& id) const noexcept;
};
struct guid_equal {
    bool operator()(const GUID& a, const GUID& b) const noexcept { return IsEqualGUID(a, b) != 0; }
};

class provider_impl final : public provider {
public:
    // `listener` null: wait_for_stop.
    provider_impl(std::wstring folder, const create_params& options, folder_listener listener = {});
    ~provider_impl() override;
    provider_impl(const provider_impl&) = delete;
    provider_impl& operator=(const provider_impl&) = delete;

    tavik::details::future<void> run(tavik::details::cancellation_source& server_source) override;

    // The failure line of an exception, or of an error code, at level 1; then the folder stops.
    void report_failure(const tavik::details::traceable_error& error, std::int32_t stage) noexcept;
    void report_failure(std::error_code error) noexcept;
    // Stops the folder half a second from now.
    void schedule_stop();
    // Stops the virtualization instance unless it was stopped already: exactly once per start,
    // whoever asks first (the end of `run`, or the delete operation of a client).
    void stop_instance() noexcept;

    // The callbacks' side (projfs_callbacks.cpp).
    HRESULT start_enumeration(const PRJ_CALLBACK_DATA& data, const GUID& id);
    HRESULT end_enumeration(const GUID& id);
    HRESULT get_enumeration(const PRJ_CALLBACK_DATA& data, const GUID& id, PCWSTR expression,
                            PRJ_DIR_ENTRY_BUFFER_HANDLE buffer);
    HRESULT query_file_name(const PRJ_CALLBACK_DATA& data);
    enum class command_kind { placeholder, file_data };
    HRESULT start_command(const PRJ_CALLBACK_DATA& data, command_kind kind, std::uint64_t offset = 0,
                          std::uint32_t length = 0);
    void cancel_command(const PRJ_CALLBACK_DATA& data);
    tavik::details::future<HRESULT> write_placeholder(tavik::details::cancellation_source source, std::wstring path);
    tavik::details::future<HRESULT> write_file_data(tavik::details::cancellation_source source, std::wstring path,
                                                    GUID stream, std::uint64_t offset, std::uint32_t length);
    tavik::details::fire_and_forget complete_command(tavik::details::future<HRESULT> operation, std::int32_t command);
    static const PRJ_CALLBACKS& callback_table() noexcept;

    // Members used by the callbacks and by the listener and its client connections.
    tavik::details::cancellation_source source;
    // Every client connection of the folder holds it for its whole life; `run` writes its
    // closing line only when all have left.
    usage_latch connections;
    // Commands of the file system whose operations still run; `run` waits for them too.
    usage_latch commands;
    std::wstring folder;
    Ostrel::com::ptr<IRoot> root;
    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context = nullptr;
    PRJ_VIRTUALIZATION_INSTANCE_INFO instance_info{};
    boost::unordered_flat_map<std::int32_t, tavik::details::cancellation_source> pending;
    boost::unordered_flat_map<GUID, std::unique_ptr<directory_enumeration>, guid_fnv1a_hash, guid_equal> enumerations;
    SRWLOCK pending_lock = SRWLOCK_INIT;
    SRWLOCK enumeration_lock = SRWLOCK_INIT;
    create_params options;
    std::atomic<bool> running{false};
    std::atomic<bool> basic_placeholders_only{false};
    // What the listener keeps for as long as the folder's connections may use it (the folder's
    // pipe); released with the provider.
    std::shared_ptr<void> listener_state;

private:
    HRESULT start_instance();
    // Creates or opens the store, starts the instance and runs the listener; whether the closing
    // line is due (not after a failure to create or open the store).
    tavik::details::future<bool> serve();
    folder_listener listener_;
};

// The folder path as the store and the pipe name it: absolute (GetFullPathNameW, '/' becomes
// '\'), without trailing separators except at a volume root; empty when it cannot be made absolute.
// "D:\Data\" and "D:\Data" name one folder, one store ("D:\Data.dedup") and one pipe.
std::wstring normalize_folder_path(std::wstring_view path);

// Whether `path` (normalized) is a volume root ("C:\", "\\server\share"), which has no parent to
// keep its store beside it and cannot be a deduplicated folder.
bool is_volume_root(const std::wstring& path);

} // namespace dedup
