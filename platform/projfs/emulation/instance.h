#pragma once
// The virtualization instances started in this process. The context handle the provider receives
// from PrjStartVirtualizing is the address of its instance; every function that takes a context
// checks it against this registry first.
//
// An instance plays the platform for its provider: it calls the provider's callbacks on threads of
// its own (a private thread pool of the size the start options ask for, at most as many callbacks
// at once as their concurrent thread count), waits for the commands the provider answers pending
// until PrjCompleteCommand, and cancels them (the cancel-command callback) when it stops or when the
// application waiting for one ends. What applications do reaches it through the pipe it serves in
// this process for the command-line client (client_server.cpp); each of those operations runs on
// one of its threads and goes through the provider as an application's I/O goes on the platform:
// - an open asks for placeholder information for each component of the path that is a shell or
//   not on disk, from the top down;
// - a read of a placeholder asks for its data, which hydrates it;
// - a listing runs an enumeration and shows the provider's items together with what is on disk,
//   minus tombstones; a projected item with nothing on disk gets its shell;
// - renames, hard links and deletes pass through the notification callback first, where the
//   notification mappings ask for it; a failure there is the application's failure.
// When it starts, the instance makes shells for what the provider projects and nothing on disk
// shows, throughout the tree, so that a listing by any program sees every projected item.
//
// Lock order: an item's path lock (opens and hydrations of one item one at a time, held across its
// callbacks), then the commands lock or the root record's lock, never both. No callback runs under
// the commands lock or the record's lock, so the provider may answer from any thread.

#include <platform/projfs/emulation/root_record.h>

#include <tavik/unique_handle.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

namespace projfs::emulation {

// The platform's enumeration buffer behind a PRJ_DIR_ENTRY_BUFFER_HANDLE: it holds as many entries
// as fit in `capacity` bytes, each costing what the platform's directory information would.
struct dir_entry_buffer {
    explicit dir_entry_buffer(std::size_t capacity);
    ~dir_entry_buffer();
    dir_entry_buffer(const dir_entry_buffer&) = delete;
    dir_entry_buffer& operator=(const dir_entry_buffer&) = delete;

    // The size of one entry: the fixed part of the directory information and the name, rounded
    // up to 8 bytes.
    static std::size_t cost(std::size_t name_length) noexcept { return (104 + 2 * name_length + 7) & ~std::size_t(7); }
    // PrjFillDirEntryBuffer: E_INVALIDARG when the handle is no buffer of a get callback that
    // runs, HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) when the entry does not fit.
    static HRESULT fill(PRJ_DIR_ENTRY_BUFFER_HANDLE handle, std::wstring_view name, const PRJ_FILE_BASIC_INFO& info);
    PRJ_DIR_ENTRY_BUFFER_HANDLE handle() noexcept { return reinterpret_cast<PRJ_DIR_ENTRY_BUFFER_HANDLE>(this); }

    std::size_t capacity;
    std::size_t used = 0;
    std::vector<std::pair<std::wstring, PRJ_FILE_BASIC_INFO>> entries;
};

// An item as a listing shows it.
struct listed_item {
    std::wstring name;
    PRJ_FILE_BASIC_INFO info{};
};

// Who does what an application does: the process the platform names to the provider.
struct requester {
    DWORD process_id = 0;
    std::wstring image;
    HANDLE process = nullptr;  // to wait on, while the request runs; null for the instance itself
};

class instance {
public:
    // The write alignment this emulation reports: a common sector size of the drives it runs on.
    static constexpr std::uint32_t write_alignment = 4096;
    // The largest piece of a file asked for in one file-data callback.
    static constexpr std::uint32_t largest_data_request = 1u << 30;

    // Fails with HRESULT_FROM_WIN32(ERROR_NOT_A_REPARSE_POINT) when the root is not marked.
    static HRESULT start(std::wstring_view root_path, const PRJ_CALLBACKS& callbacks, const void* instance_context,
                         const PRJ_STARTVIRTUALIZING_OPTIONS* options, PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT& context);
    // Stops serving the client, cancels the commands in progress (the provider's cancel-command
    // callback is called for each), waits for every callback that runs, and forgets the
    // instance. Unknown contexts are ignored.
    static void stop(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context) noexcept;
    // The running instance of `context`, kept alive for the caller, or null.
    static std::shared_ptr<instance> from(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context);

    ~instance();

    root_record& root() const noexcept { return *root_; }
    PRJ_VIRTUALIZATION_INSTANCE_INFO info() const;
    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context() noexcept
    {
        return reinterpret_cast<PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT>(this);
    }

    // The provider's answers.
    HRESULT complete_command(INT32 command_id, HRESULT result,
                             const PRJ_COMPLETE_COMMAND_EXTENDED_PARAMETERS* parameters);
    HRESULT write_file_data(const GUID& data_stream_id, const void* buffer, UINT64 byte_offset, UINT32 length);

    // What applications do, below the root; run on the instance's threads.
    HRESULT open_path(std::wstring_view relative, const requester& who);
    HRESULT list(std::wstring_view relative, std::size_t buffer_size, std::uint32_t restart_after,
                 std::wstring_view filter, const requester& who, std::vector<listed_item>& items);
    // Opens and hydrates the file; `path` is then where its bytes are.
    HRESULT open_for_read(std::wstring_view relative, const requester& who, std::wstring& path);
    HRESULT write(std::wstring_view relative, std::uint64_t offset, const std::vector<std::byte>& data,
                  const requester& who);
    HRESULT change_attributes(std::wstring_view relative, std::uint32_t set, std::uint32_t clear,
                              const requester& who);
    HRESULT rename(std::wstring_view from, std::wstring_view to, const requester& who);
    HRESULT link(std::wstring_view existing, std::wstring_view link_path, const requester& who);
    HRESULT remove(std::wstring_view relative, const requester& who);
    HRESULT state(std::wstring_view relative, const requester& who, PRJ_FILE_STATE& state);

    // Runs `work` on one of the instance's threads; false when it is stopping.
    bool submit(std::function<void()> work);

private:
    struct command;
    struct data_stream;
    class callback_call;
    enum class command_kind { plain, enumeration, notification };

    instance(std::shared_ptr<root_record> root, const PRJ_CALLBACKS& callbacks, const void* instance_context,
             const PRJ_STARTVIRTUALIZING_OPTIONS* options);
    HRESULT begin();
    void shut_down() noexcept;

    // Calls the provider as a command: registered under a new id, waited for when the provider
    // answers pending, cancelled when the instance stops.
    HRESULT call(command_kind kind, callback_call& made, const std::function<HRESULT()>& body,
                 dir_entry_buffer* buffer = nullptr, PRJ_NOTIFICATION_PARAMETERS* parameters = nullptr);
    HRESULT enumerate(std::wstring_view relative, std::size_t buffer_size, std::uint32_t restart_after,
                      std::wstring_view filter, const requester& who, std::vector<listed_item>& items);
    HRESULT open_component(std::wstring_view component, bool last, const requester& who);
    HRESULT request_placeholder(std::wstring_view component, HRESULT missing, const requester& who);
    HRESULT hydrate(std::wstring_view relative, const requester& who);
    HRESULT notify(PRJ_NOTIFICATION notification, std::wstring_view relative, const wchar_t* destination,
                   bool directory, const requester& who);
    PRJ_NOTIFY_TYPES notification_mask(std::wstring_view relative) const;
    void project_shells(std::wstring_view relative, const requester& who, int depth);
    std::wstring full_path(std::wstring_view relative) const;
    // One item's opens and hydrations one at a time; never two of these locks at once.
    std::shared_ptr<std::mutex> path_lock(std::wstring_view relative);

    std::shared_ptr<root_record> root_;
    PRJ_CALLBACKS callbacks_;
    const void* instance_context_;
    PRJ_STARTVIRTUALIZING_FLAGS flags_ = PRJ_FLAG_NONE;
    std::vector<std::pair<PRJ_NOTIFY_TYPES, std::wstring>> notification_mappings_;  // roots folded
    std::uint32_t pool_threads_ = 0;
    std::uint32_t concurrent_threads_ = 0;

    // The threads: a private pool whose cleanup group waits for every callback at the stop, and a
    // semaphore that lets `concurrent_threads_` of them into the provider at once.
    PTP_POOL pool_ = nullptr;
    PTP_CLEANUP_GROUP group_ = nullptr;
    TP_CALLBACK_ENVIRON environment_{};
    tavik::unique_handle concurrency_;
    std::thread listener_;
    std::mutex stop_lock_;
    std::atomic<bool> stopped_{false};

    std::mutex commands_lock_;
    std::condition_variable commands_changed_;
    // Guarded by commands_lock_.
    bool stopping_ = false;
    INT32 next_command_ = 1;
    std::map<INT32, std::shared_ptr<command>> commands_;
    std::map<std::vector<std::byte>, std::shared_ptr<data_stream>> streams_;  // by data stream id
    std::unordered_map<std::wstring, std::weak_ptr<std::mutex>> path_locks_;   // by folded path

    friend class client_server;
    void listen() noexcept;
    tavik::unique_handle listener_stop_;
    std::atomic<bool> listener_ended_{false};
    std::wstring pipe_name_;
};

} // namespace projfs::emulation
