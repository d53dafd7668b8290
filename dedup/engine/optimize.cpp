// Optimize: folding what changed in a deduplicated folder into its store, and the dry run behind
// the estimate, which runs the same operation over a folder without a store and writes nothing.
//
// The writing phase keeps the two store files a pair. "blocks.ddb" is replaced first, then
// "files.deinfo" (whose header records the statistics the new index makes), and only then are the
// writer and the tree committed in memory. Once "blocks.ddb" has been replaced the operation is no
// longer cancelled; a failure after it puts the previous "blocks.ddb" back before the writer
// deletes its block files, and a crash between the two is recognised by the next load, which
// takes the index that matches the tree file (block_store::open_store).
//
// Handing items back to the projection deletes their local copies, so nothing is handed back that
// the new tree does not hold, nor a file that changed after it was taken in (its size, last write
// time or change time differ from what the ingestion read).

#include <dedup/engine/root_folder.h>

#include <dedup/engine/change_scan.h>
#include <dedup/engine/file_ingestion.h>
#include <dedup/engine/folder_path.h>
#include <dedup/engine/idle_unload.h>
#include <dedup/engine/optimize_context.h>
#include <dedup/engine/store_names.h>
#include <dedup/engine/stream_reader.h>

#include <ostrel/logger.h>

#include <quillo/render.h>

#include <tavik/error.h>
#include <tavik/error_categories.h>
#include <tavik/lock_guard.h>
#include <tavik/thread_pool.h>
#include <tavik/timer.h>
#include <tavik/unique_handle.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <optional>

namespace dedup::impl {

namespace {

constexpr HRESULT operation_busy = HRESULT_FROM_WIN32(ERROR_SERVICE_ALREADY_RUNNING);  // 0x80070420
constexpr std::uint32_t dry_run_block_file_size_limit = 0x3200000;
constexpr HRESULT illegal_method_call = static_cast<HRESULT>(0x8000000E);  // E_ILLEGAL_METHOD_CALL

// The operation's progress: shared with the once-a-second timer task, which may outlive a frame
// of the operation by a moment.
struct progress_reporter {
    explicit progress_reporter(progress_callback progress) : callback(std::move(progress)) {}

    progress_callback callback;
    std::atomic<std::uint64_t> total{1};
    std::atomic<std::uint64_t> done{0};
    tavik::details::cancellation_source stop;

    void report(const std::wstring& stage)
    {
        if (callback)
            callback(stage, done.load(), total.load());
    }
    // done never passes total: a client shows done / total as a fraction.
    void advance(std::uint64_t units)
    {
        std::uint64_t now = done.load();
        while (!done.compare_exchange_weak(now, std::min(total.load(), now + units))) {
        }
    }
};

// Every period (a second unless the folder's options say otherwise), the empty text with done and total when done moved since the last call.
tavik::details::future<void> run_progress_timer(std::shared_ptr<progress_reporter> reporter,
                                                std::chrono::milliseconds period)
{
    try {
        tavik::details::cancellation_token token(reporter->stop);
        tavik::details::auto_cancel_timer timer(token);
        timer.set_periodic(period, period);
        std::uint64_t last = 0;
        for (;;) {
            co_await timer.wait_next();
            const std::uint64_t done = reporter->done.load();
            if (done != last && reporter->callback) {
                last = done;
                reporter->callback(L"", done, reporter->total.load());
            }
        }
    } catch (...) {
        // The stop of the operation (a cancelled wait) ends the task; so does a timer that cannot
        // be made, which only costs the in-between progress calls.
    }
}

std::uint64_t work_of(const change_entry& entry) noexcept
{
    switch (entry.kind) {
    case change_kind::added:
        return entry.work + 1;
    case change_kind::deleted:
        return 2;
    case change_kind::placeholder:
        return (entry.flags & PRJ_FILE_STATE_DIRTY_PLACEHOLDER) ? 1 : 0;
    }
    return 0;
}

void log_error(HRESULT code)
{
    ILogger* logger = global_logger;
    if (!logger)
        return;
    try {
        logger->log(quillo::format_into_string(L"Optimize operation completed with error {0ub016x}: {1}.\r\n",
                                               static_cast<std::int32_t>(code),
                                               tavik::details::hresult_error_impl::message(code)),
                    4);
    } catch (const std::bad_alloc&) {
        // The line is lost, not the result: the caller still gets the HRESULT.
    }
}

// Whether the file at `full_path` is still what the ingestion took in: the same size, last write
// time and change time, compared as the reader compares them to tell a file written while it was
// read. A file that cannot be opened cannot be shown to be unchanged.
bool unchanged_since_taken(const std::wstring& full_path, const change_entry& entry, std::uint64_t size)
{
    tavik::unique_file file(CreateFileW(full_path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!file)
        return false;
    const stream_snapshot taken{size, entry.basic_info.LastWriteTime.QuadPart, entry.basic_info.ChangeTime.QuadPart};
    try {
        return take_stream_snapshot(file.get()) == taken;
    } catch (const tavik::details::hresult_error_impl&) {
        return false;
    }
}

// The stage "Purging cache": hands the items the run changed back to the projection, from the
// last entry to the first, so that a new folder's files go before the folder and deletions before
// new items. Failed entries stay as they are on disk.
void hand_back(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT projection, const std::wstring& folder_path,
               const change_list& changes, const std::shared_ptr<folder_t>& new_tree, bool purge_cache,
               resync_stats& stats, progress_reporter& reporter)
{
    // Without a running instance nothing can be handed back (the calls would only fail).
    auto delete_file = [&](const change_entry& entry, PRJ_UPDATE_TYPES flags) -> HRESULT {
        if (!projection)
            return E_INVALIDARG;
        return PrjDeleteFile(projection, entry.path.c_str(), flags, nullptr);
    };
    for (auto it = changes.rbegin(); it != changes.rend(); ++it) {
        const change_entry& entry = *it;
        if (entry.flags & change_flags::failed)
            continue;
        if (entry.kind == change_kind::deleted) {
            ++stats.placeholders_purged;
            delete_file(entry, PRJ_UPDATE_TYPES(PRJ_UPDATE_ALLOW_TOMBSTONE | PRJ_UPDATE_ALLOW_READ_ONLY));
            reporter.advance(1);
            continue;
        }
        const bool dirty = (entry.flags & PRJ_FILE_STATE_DIRTY_PLACEHOLDER) != 0;
        if (entry.kind == change_kind::placeholder && !dirty &&
            !(purge_cache && (entry.flags & (PRJ_FILE_STATE_PLACEHOLDER | PRJ_FILE_STATE_HYDRATED_PLACEHOLDER))))
            continue;
        // The projection serves a handed-back item from the tree: one the tree does not hold would
        // lose its local data for good.
        auto found = folder_t::find_path(new_tree, entry.path);
        if (!found || !found->item->parent)
            continue;
        if (entry.kind == change_kind::placeholder) {
            ++stats.placeholders_purged;
            // A clean placeholder goes back only while it is clean: an application that writes it
            // after the scan keeps its data.
            delete_file(entry, dirty ? PRJ_UPDATE_TYPES(PRJ_UPDATE_ALLOW_DIRTY_METADATA | PRJ_UPDATE_ALLOW_READ_ONLY)
                                     : PRJ_UPDATE_ALLOW_READ_ONLY);
            reporter.advance(1);
        } else if (entry.flags & change_flags::folder) {
            ++stats.placeholders_purged;
            delete_file(entry, PRJ_UPDATE_TYPES(PRJ_UPDATE_ALLOW_DIRTY_DATA | PRJ_UPDATE_ALLOW_READ_ONLY));
            reporter.advance(1);
        } else {
            // Written again after it was taken in (an overwrite may even keep the old times, so
            // the size counts too): its new content is not in the store, and it stays.
            if (!unchanged_since_taken(folder_path + L"\\" + entry.path, entry, found->item->size))
                continue;
            if (SUCCEEDED(delete_file(entry, PRJ_UPDATE_TYPES(PRJ_UPDATE_ALLOW_DIRTY_DATA | PRJ_UPDATE_ALLOW_READ_ONLY))))
                ++stats.placeholders_purged;
            reporter.advance(1);
        }
    }
}

// Reads the items of the change list that are taken in as new ahead of their turn (prefetch_item),
// a bounded number at a time, so that their opens and reads overlap. The operation still takes
// each item in at its own turn: only the system calls move ahead.
class item_reader_ahead {
public:
    // Items read ahead at once: enough to keep the system busy while small files are taken in one
    // after another, each holding at most one 256 KiB buffer.
    static constexpr std::size_t window = 16;

    item_reader_ahead(const change_list& changes, const std::wstring& folder_path, file_io_calls& calls,
                      const tavik::details::cancellation_source& cancel)
        : changes_(changes), folder_path_(folder_path), calls_(calls), cancel_(cancel)
    {
    }
    item_reader_ahead(const item_reader_ahead&) = delete;
    item_reader_ahead& operator=(const item_reader_ahead&) = delete;

    // What was read ahead of entry `index` (null when it was not), after starting the reads of the
    // next entries; entries are asked for in increasing order.
    tavik::details::future<std::shared_ptr<prefetched_item>> take(std::size_t index)
    {
        while (next_ < changes_.size() && pending_.size() < window) {
            const change_entry& entry = changes_[next_];
            if (next_ >= index && entry.kind == change_kind::added) {
                pending_.emplace_back(next_, prefetch_item(folder_path_ + L"\\" + entry.path, entry.flags, pool_,
                                                           calls_, &cancel_));
            }
            ++next_;
        }
        while (!pending_.empty() && pending_.front().first < index) {
            co_await pending_.front().second;  // never fails
            pending_.pop_front();
        }
        if (pending_.empty() || pending_.front().first != index)
            co_return nullptr;
        auto read = std::move(pending_.front().second);
        pending_.pop_front();
        co_return co_await read;
    }

    // Waits for every read still running; on every way out of the operation.
    tavik::details::future<void> finish()
    {
        while (!pending_.empty()) {
            co_await pending_.front().second;
            pending_.pop_front();
        }
        next_ = changes_.size();
    }

private:
    const change_list& changes_;
    const std::wstring& folder_path_;
    file_io_calls& calls_;
    const tavik::details::cancellation_source& cancel_;
    page_buffer_pool pool_;
    std::deque<std::pair<std::size_t, tavik::details::future<std::shared_ptr<prefetched_item>>>> pending_;
    std::size_t next_ = 0;
};

} // namespace

tavik::details::future<std::expected<resync_stats, long>> root_folder::optimize(tavik::details::cancellation_source& source,
                                                                                std::int32_t compression_level,
                                                                                purge_flags options,
                                                                                progress_callback progress)
{
    // The operation tests the caller's source itself, between steps, and never binds it to this
    // coroutine: a bound source would end an await while the awaited ingestion or write still runs
    // on this operation's context, and, once "blocks.ddb" is replaced, the operation must finish.
    const tavik::details::cancellation_source cancel = source;
    // The idle task is suspended before the store is ensured, so that no unload can come between
    // the check and the operation's use of the store; it runs again when the operation ends.
    const bool idle_was_running = co_await suspend_idle_task(*this);
    auto restart_idle = [&] {
        if (idle_was_running)
            restart_idle_task(*this);
    };
    if (co_await impl::ensure_loaded(*this)) {
        restart_idle();
        co_return std::unexpected(static_cast<long>(E_FAIL));
    }
    log_formatted(4, L"Optimize operation started on {}\r\n", folder_path_);
    if (cancel.is_cancelled()) {
        restart_idle();
        tavik::details::throw_operation_cancelled();
    }

    auto reporter = std::make_shared<progress_reporter>(std::move(progress));
    tavik::details::future<void> timer_task = run_progress_timer(reporter, options_.progress_period);
    co_await tavik::details::resume_on_thread_pool();

    const bool converting = options.has(purge_options::converting);
    resync_stats stats{};
    if (!TryAcquireSRWLockExclusive(&operation_lock_)) {
        log_message(4, L"Another operation is already running, quitting.\r\n");
        reporter->stop.cancel();
        co_await timer_task;
        restart_idle();
        co_return std::unexpected(static_cast<long>(operation_busy));
    }

    optimize_context context;
    change_list changes;
    std::optional<item_reader_ahead> reader_ahead;
    HRESULT failure = S_OK;
    try {
        // Preparation.
        reporter->report(L"Preparing");
        {
            tavik::details::exclusive_lock_guard guard(tree_lock_);
            context.tree = folder_t::copy(*tree_, nullptr);
        }
        reporter->report(L"Searching for changes");
        context.root = this;
        context.compression_level = compression_level;
        context.converting = converting;
        context.cancel = &cancel;
        if (options_.file_reads)
            context.reads = options_.file_reads;
        changes = scan_changes(context);

        if (!changes.empty() || options.has(purge_options::purge_blocks)) {
            std::uint64_t total = 0;
            for (const change_entry& entry : changes)
                total += work_of(entry);
            reporter->total = std::max<std::uint64_t>(total, 1);

            // Processing.
            reporter->report(L"Processing changes");
            {
                tavik::details::exclusive_lock_guard guard(store_->store_lock());
                context.writer.emplace(*store_, block_index(store_->index()), cancel);
            }
            reader_ahead.emplace(changes, folder_path_, *context.reads, cancel);
            for (std::size_t index = 0; index < changes.size(); ++index) {
                change_entry& entry = changes[index];
                if (cancel.is_cancelled())
                    tavik::details::throw_operation_cancelled();
                const bool is_folder = (entry.flags & change_flags::folder) != 0;
                switch (entry.kind) {
                case change_kind::added: {
                    ++(is_folder ? stats.folders_added : stats.files_added);
                    auto ahead = co_await reader_ahead->take(index);
                    auto taken = co_await ingest_item(context, folder_path_ + L"\\" + entry.path, entry.path,
                                                      entry.flags, std::move(ahead));
                    if (taken) {
                        entry.basic_info = *taken;
                    } else {
                        mark_failed(context, entry);
                        if (taken.error() == internal_error::hash_collision && reporter->callback)
                            reporter->callback(L"ERROR! Detected hash collision for " + entry.path,
                                               reporter->done.load(), reporter->total.load());
                    }
                    reporter->advance(entry.work);
                    break;
                }
                case change_kind::deleted: {
                    ++(is_folder ? stats.folders_deleted : stats.files_deleted);
                    // A deletion may release the data of an item that was moved where this run
                    // could not take it in: then the stored item stays, and so does its tombstone.
                    if (context.keep_stored_items || co_await delete_item(context, entry.path))
                        mark_failed(context, entry);
                    reporter->advance(1);
                    break;
                }
                case change_kind::placeholder: {
                    if (!(entry.flags & PRJ_FILE_STATE_DIRTY_PLACEHOLDER))
                        break;
                    ++stats.placeholders_updated;
                    reporter->advance(1);
                    auto taken = co_await ingest_item(context, folder_path_ + L"\\" + entry.path, entry.path,
                                                      entry.flags);
                    if (taken) {
                        entry.basic_info = *taken;
                    } else {
                        mark_failed(context, entry);
                        ++stats.items_skipped;
                        if (taken.error() == internal_error::hash_collision)
                            reporter->report(L"ERROR! Detected hash collision for " + entry.path);
                    }
                    break;
                }
                }
            }

            co_await reader_ahead->finish();

            // Completion: block files, then the two store files, then the commit in memory.
            block_writer& writer = *context.writer;
            reporter->report(L"Completing data compression");
            co_await complete_compression(writer, compression_level);
            reporter->report(L"Finishing");
            if (cancel.is_cancelled())
                tavik::details::throw_operation_cancelled();
            std::vector<std::uint8_t> image;
            if (!converting)
                image = serialize_tree(*context.tree);
            const folder_statistics after = statistics_after_commit(writer);
            const bool had_previous_index = co_await write_block_index(writer, !converting);
            if (!converting) {
                std::exception_ptr save_failure;
                try {
                    co_await save_file_info(std::move(image), compression_level, after);
                } catch (...) {
                    save_failure = std::current_exception();
                }
                if (save_failure) {
                    if (!restore_block_index(writer, had_previous_index))
                        writer.keep_files();
                    std::rethrow_exception(save_failure);
                }
            }
            commit_block_writer(writer);
            std::shared_ptr<folder_t> new_tree = context.tree;
            if (!converting) {
                tavik::details::exclusive_lock_guard guard(tree_lock_);
                tree_.swap(context.tree);
            }

            // Purges.
            if (!converting) {
                if (options.has(purge_options::purge_blocks)) {
                    reporter->report(L"Purging blocks");
                    stats.blocks_purged = static_cast<std::uint32_t>(store_->purge_blocks());
                }
                reporter->report(L"Purging cache");
                hand_back(context_, folder_path_, changes, new_tree, options.has(purge_options::purge_cache), stats,
                          *reporter);
            }
            reporter->done = reporter->total.load();
            if (reporter->callback)
                reporter->callback(L"", reporter->total.load(), reporter->total.load());
        }
        stats.set_statistics(store_->statistics());
        log_message(4, L"Optimize operation completed successfully.\r\n");
    } catch (const tavik::details::hresult_error_impl& error) {
        failure = error.code();
    } catch (const std::bad_alloc&) {
        failure = E_OUTOFMEMORY;
    }

    // Reads ahead still running use the change list's paths and the reader's pool.
    if (reader_ahead)
        co_await reader_ahead->finish();
    reader_ahead.reset();
    changes = {};
    restart_idle();
    // An uncommitted writer deletes the block files it wrote (after its compressions ended).
    context.writer.reset();
    context.tree.reset();
    ReleaseSRWLockExclusive(&operation_lock_);
    reporter->stop.cancel();
    co_await timer_task;
    if (failure != S_OK) {
        log_error(failure);
        co_return std::unexpected(static_cast<long>(failure));
    }
    co_return stats;
}

tavik::details::future<std::expected<resync_stats, long>> root_folder::convert(std::wstring path,
                                                                               std::int32_t compression_level,
                                                                               tavik::details::cancellation_source& source,
                                                                               progress_callback progress)
{
    if (co_await impl::ensure_loaded(*this))
        co_return std::unexpected(static_cast<long>(E_ABORT));
    // The dry run replaces the object's block store: an object that serves a folder would lose
    // its store to it.
    if (initialized_)
        co_return std::unexpected(static_cast<long>(illegal_method_call));

    const std::wstring folder = full_folder_path(path);
    // A folder that is not there has nothing to estimate: saying so beats an estimate of zeros.
    const DWORD attributes = GetFileAttributesW(folder.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD error = GetLastError();
        co_return std::unexpected(static_cast<long>(
            HRESULT_FROM_WIN32(error == ERROR_FILE_NOT_FOUND ? ERROR_PATH_NOT_FOUND : error)));
    }
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        co_return std::unexpected(static_cast<long>(HRESULT_FROM_WIN32(ERROR_DIRECTORY)));

    const std::wstring store = store_folder_path(folder);
    {
        tavik::unique_file probe(
            CreateFileW(store.c_str(), 0, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (probe)
            co_return std::unexpected(static_cast<long>(HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)));
        if (const DWORD error = GetLastError(); error != ERROR_FILE_NOT_FOUND)
            co_return std::unexpected(static_cast<long>(HRESULT_FROM_WIN32(error)));
    }

    // The store of the dry run lives in memory only: block files are compressed (their sizes
    // count) but nothing is written.
    if (!TryAcquireSRWLockExclusive(&operation_lock_))
        co_return std::unexpected(static_cast<long>(operation_busy));
    folder_path_ = folder;
    store_.reset();
    store_.emplace(options_.store);
    store_->init(L"", dry_run_block_file_size_limit, std::nullopt);
    ReleaseSRWLockExclusive(&operation_lock_);

    co_return co_await optimize(source, compression_level, purge_options::converting, std::move(progress));
}

} // namespace dedup::impl
