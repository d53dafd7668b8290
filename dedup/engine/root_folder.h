#pragma once
// dedup::impl::root_folder: one deduplicated folder. It owns everything its store consists of while
// the folder is served: the folder and store paths, the lock file, the image of the tree file's
// header, the folder tree, the block store, the background schedule, the idle unload and the
// Projected File System context.
//
// The store folder sits beside the folder: its full path with ".dedup" appended ("D:\Data" keeps
// "D:\Data.dedup"), hidden and not content-indexed, with NTFS compression off. It holds "lock"
// (open, unshared and delete-on-close, while an object has the folder), "files.deinfo" and the
// block folder "blocks".
//
// Lifecycle: constructed -> initialized (by create or open) -> destroyed at the last Release.
// A failed create or open leaves the object constructed; the lock file a failed open took stays
// open until the object goes, while a failed create gives its lock up. `initialized` is never
// cleared.
//
// Lock order, per folder: the operation lock, the tree lock, the block store's lock, then a block
// file's own lock. The tree lock is taken shared by queries and exclusively by every change of
// the tree (the serialization in create, the load, the idle unload, the swap of an optimize).
//
// Threads: create and the destructor run on the caller's thread and block it (the save of the
// tree file; the wait for the schedule and the idle task). open and the load are coroutines that
// continue on thread-pool threads. The folder server calls create and open before it serves the
// folder, so no query runs before the object is initialized.

#include <dedup/engine/block_store.h>
#include <dedup/engine/folder_tree.h>
#include <dedup/engine/folder_tree_file.h>
#include <dedup/engine/idle_unload.h>
#include <dedup/engine/iroot.h>
#include <dedup/engine/projection_control.h>
#include <dedup/engine/schedule.h>

#include <tavik/io/overlapped_io.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace dedup::impl {

// Choices taken at construction; the defaults are the product's.
struct root_folder_options {
    // Given to every block store the folder builds; its file system also writes and reads the
    // tree file.
    block_store_options store;
    // The idle unload's time and periods; null: the system clock and the product's periods.
    idle_clock* clock = nullptr;
    // The background schedule's time and the timer's wait for an interval; null: the system clock.
    schedule_clock* schedule_time = nullptr;
    // How often an operation reports its progress between stages.
    std::chrono::milliseconds progress_period{1000};
    // The reads of the files an operation takes in; null: ReadFile.
    tavik::io::file_io_calls* file_reads = nullptr;
};

class root_folder : public Ostrel::com::details::object<root_folder, IRoot> {
public:
    // `creator` is the creator's cancellation source: cancelling it ends the folder's own
    // background work, as the object's destruction does.
    explicit root_folder(tavik::details::cancellation_source& creator, root_folder_options options = {});
    // Cancels the lifetime source, blocks until the schedule and then the idle task have ended,
    // then frees the store, the tree and the paths and closes the lock file (which deletes it).
    ~root_folder() override;

    GUID get_folder_id() override;
    folder_statistics get_statistics() override;
    std::error_code create(std::wstring path, create_params params) override;
    tavik::details::future<std::error_code> open(std::wstring path) override;
    tavik::details::future<std::expected<resync_stats, long>> convert(std::wstring path,
                                                                      std::int32_t compression_level,
                                                                      tavik::details::cancellation_source& source,
                                                                      progress_callback progress) override;
    void set_virtualization_context(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context) override;
    bool exists(const std::wstring& path) override;
    tavik::details::future<placeholder_lookup_result> get_placeholder_info(
        std::wstring path, bool without_security, tavik::details::cancellation_source& source) override;
    std::vector<dir_entry> list_folder(std::wstring path) override;
    tavik::details::future<std::error_code> read_file_data(std::wstring path, std::uint64_t offset,
                                                           std::uint32_t length, void* buffer,
                                                           tavik::details::cancellation_source& source) override;
    tavik::details::future<std::int32_t> on_item_renamed(std::wstring path, std::wstring new_path) override;
    void on_item_deleted(std::wstring path) override;
    tavik::details::future<std::expected<resync_stats, long>> optimize(tavik::details::cancellation_source& source,
                                                                       std::int32_t compression_level,
                                                                       purge_flags options,
                                                                       progress_callback progress) override;
    std::expected<recover_stats, long> recover(tavik::details::cancellation_source& source,
                                               progress_callback progress) override;
    bool is_empty() override;
    // A forced removal: the folder server has stopped the projection and tested emptiness itself.
    std::int32_t remove() override;

    // How a removal runs. Without force, the removal stops `projection` (when given) under the
    // operation lock, tests emptiness again, and deletes only placeholders, tombstones and links;
    // it answers 0x80070091 and restarts the projection when the folder is not empty.
    struct removal {
        bool force = true;
        projection_control* projection = nullptr;
    };
    std::int32_t remove(removal how);

    // Serializes nothing itself: saves an image made under the tree lock (or of an unpublished
    // tree) as "files.deinfo", with the block store's statistics in the header, or `statistics`
    // when given (an optimize records the statistics its commit is about to make). Raises
    // traceable_error when the file cannot be written; the previous file then stays.
    tavik::details::future<void> save_file_info(std::vector<std::uint8_t> image, std::int32_t compression_level,
                                                std::optional<folder_statistics> statistics = std::nullopt);

    // Reads "files.deinfo" into the tree root and rebuilds the block store from the store folder.
    // Errors of the file's content are returned; failures to read it are raised. A load that
    // fails changes neither the header image nor the tree, and leaves no block store.
    tavik::details::future<std::error_code> load_file_info();

    const std::wstring& folder_path() const noexcept { return folder_path_; }
    const std::wstring& store_path() const noexcept { return store_path_; }

private:
    // The idle unload (idle_unload.h) works on the tree, the store and the idle members.
    friend tavik::details::future<std::error_code> ensure_loaded(root_folder& root);
    friend tavik::details::future<void> idle_task(root_folder& root);
    friend tavik::details::future<bool> suspend_idle_task(root_folder& root);
    friend void restart_idle_task(root_folder& root);
    friend tavik::details::future<std::expected<store_hold, std::error_code>> hold_loaded_store(root_folder& root);
    friend bool is_unloaded(const root_folder& root) noexcept;

    store_file_system& files() const noexcept;
    idle_clock& clock() const noexcept;
    // The background schedule (schedule.h): started by create or the first load when a period is
    // on; ends when the lifetime source is cancelled, and the destructor waits for it.
    void start_schedule();
    tavik::details::future<void> resync(period_t optimize_period, period_t gc_period);
    // Started by create and every load, unless an operation has the idle task suspended (it
    // restarts the task itself) or one runs already.
    void start_idle_task();

    // Members in the order of the folder's model.
    tavik::details::cancellation_source lifetime_;
    tavik::details::cancellation_source idle_source_;
    // The lock file: open from the lock step of create or open until remove or the destructor.
    // Closing it deletes it (it is opened delete-on-close), and keeps the thread's last error.
    unique_file_keep_last_error lock_file_;
    std::wstring folder_path_;
    std::wstring store_path_;
    file_info_header header_ = new_file_info_header();
    period_t optimize_period_;
    period_t gc_period_;
    std::shared_ptr<folder_t> tree_ = std::make_shared<folder_t>();
    SRWLOCK tree_lock_ = SRWLOCK_INIT;
    SRWLOCK operation_lock_ = SRWLOCK_INIT;
    std::optional<block_store> store_;
    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context_ = nullptr;
    tavik::details::future<void> schedule_task_;
    tavik::details::future<void> idle_task_;
    std::atomic<std::uint64_t> last_use_{0};  // FILETIME of the last load or use
    bool initialized_ = false;
    std::atomic<bool> unloaded_{false};
    root_folder_options options_;
    idle_unload_state idle_state_;
};

} // namespace dedup::impl
