#include <dedup/engine/root_folder.h>

#include <dedup/engine/durable_replace.h>
#include <dedup/engine/folder_path.h>
#include <dedup/engine/store_names.h>

#include <tavik/error.h>
#include <tavik/error_categories.h>
#include <tavik/lock_guard.h>

#include <rpc.h>
#include <winioctl.h>

#include <cstring>
#include <limits>

namespace dedup::impl {

namespace {

GUID new_folder_id() noexcept
{
    GUID id{};
    RPC_STATUS status = UuidCreate(&id);
    // RPC_S_UUID_LOCAL_ONLY still gives an identifier unique on this machine, which is all a
    // folder needs.
    if (status != RPC_S_OK && status != RPC_S_UUID_LOCAL_ONLY)
        return GUID{};
    return id;
}

// Switches NTFS compression off on a compressed folder: block files are compressed already, and
// the file system's compression would only cost time. A file system without compression control
// (or a refusal) leaves the folder as it is, which changes nothing for the store.
void disable_compression(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_COMPRESSED))
        return;
    tavik::unique_file folder(CreateFileW(path.c_str(), MAXIMUM_ALLOWED, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!folder)
        return;
    DWORD format = 0;  // COMPRESSION_FORMAT_NONE
    DWORD returned = 0;
    DeviceIoControl(folder.get(), FSCTL_SET_COMPRESSION, &format, sizeof format, nullptr, 0, &returned, nullptr);
}

} // namespace

root_folder::root_folder(tavik::details::cancellation_source& creator, root_folder_options options)
    : lifetime_(tavik::details::make_linked_cancellation_source(creator)),
      idle_source_(tavik::details::make_linked_cancellation_source(lifetime_)),
      options_(std::move(options))
{
}

root_folder::~root_folder()
{
    lifetime_.cancel();
    if (schedule_task_.valid())
        tavik::details::wait_blocking(schedule_task_);
    if (idle_task_.valid())
        tavik::details::wait_blocking(idle_task_);
    idle_task_.reset();
    schedule_task_.reset();
    store_.reset();
    tree_.reset();
    // The members go in reverse order: paths, then the lock file (which deletes it), then the idle
    // source and the lifetime source.
}

store_file_system& root_folder::files() const noexcept
{
    return options_.store.file_system ? *options_.store.file_system : system_store_file_system();
}

GUID root_folder::get_folder_id()
{
    return header_.folder_id;
}

folder_statistics root_folder::get_statistics()
{
    // An object whose create or open failed has no store to report on, even when a failed load
    // left one half built.
    if (!initialized_)
        return {};
    // The hold keeps an idle unload from dropping the store while its statistics are read.
    const auto hold = tavik::details::wait_blocking_result(hold_loaded_store(*this));
    if (!hold || !store_)
        return {};
    return store_->statistics();
}

void root_folder::set_virtualization_context(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context)
{
    context_ = context;
}

std::error_code root_folder::create(std::wstring path, create_params params)
{
    if (initialized_)
        return common_error::already_initialized;
    // Recorded before any further check, so that an open of this object after "Folder already
    // exists" runs with the periods given here.
    header_.folder_id = new_folder_id();
    header_.creation_parameter = params.block_file_size_limit;
    optimize_period_ = params.optimize_period;
    gc_period_ = params.gc_period;
    folder_path_ = full_folder_path(path);

    // The folder itself. With no-create nothing is made: the flag promises that a missing folder
    // stays missing, and "Folder already exists" sends the caller to open, which reports the
    // folder invalid.
    DWORD attributes = GetFileAttributesW(folder_path_.c_str());
    bool created = false;
    const bool adopt = (params.flags & create_params::adopt) != 0;
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        if (params.flags & create_params::no_create)
            return create_error::folder_already_exists;
        if (files().create_directory(folder_path_)) {
            created = true;
        } else if (DWORD error = GetLastError(); error != ERROR_ALREADY_EXISTS && adopt) {
            // A folder that can be neither found nor made (its parent is missing, access is
            // denied) must not be adopted: its store would be made beside nothing, parents and
            // all. Without adopt, "Folder already exists" below sends the caller to open, which
            // finds no store and reports the folder invalid.
            return make_hresult_error_code(HRESULT_FROM_WIN32(error));
        }
        attributes = GetFileAttributesW(folder_path_.c_str());
    }
    if (!created && !adopt)
        return create_error::folder_already_exists;
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return make_hresult_error_code(HRESULT_FROM_WIN32(ERROR_DIRECTORY));
    disable_compression(folder_path_);

    store_path_ = store_folder_path(folder_path_);
    const std::wstring block_folder = block_folder_path(store_path_);
    store_file_system& fs = files();
    // A store folder without its block folder is taken over (a create that failed half way leaves
    // one); a store with its block folder is there already.
    if (!fs.create_directory(store_path_)) {
        if (DWORD error = GetLastError(); error != ERROR_ALREADY_EXISTS)
            return make_hresult_error_code(HRESULT_FROM_WIN32(error));
    }
    if (!fs.create_directory(block_folder)) {
        const DWORD error = GetLastError();
        if (error == ERROR_ALREADY_EXISTS)
            return create_error::folder_already_exists;
        return make_hresult_error_code(HRESULT_FROM_WIN32(error));
    }

    // The lock comes before anything is written into the store: from here on another object's
    // open fails as "already opened" instead of loading a store that is still being made. One
    // that slipped in between the folder and the lock holds the lock now and has found no tree
    // file; nothing is written then.
    //
    // On any failure from here the empty block folder goes again (a store folder without it is
    // taken over by the next create), so that a failed create leaves no store that every later
    // create calls existing and every open calls invalid. Its removal fails harmlessly when the
    // folder is no longer empty.
    auto undo = [&] {
        store_.reset();
        lock_file_.reset();
        fs.remove_directory(block_folder);
    };
    lock_file_ = fs.create_lock_file(lock_file_path(store_path_));
    if (!lock_file_) {
        const DWORD error = GetLastError();
        undo();
        return make_hresult_error_code(HRESULT_FROM_WIN32(error));
    }

    try {
        disable_compression(store_path_);
        // Neither attribute is needed for the store to work; a file system that refuses them
        // leaves a visible or indexed store folder, nothing worse.
        SetFileAttributesW(store_path_.c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED);

        store_.reset();
        store_.emplace(options_.store);
        store_->init(block_folder, params.block_file_size_limit, std::nullopt);

        std::vector<std::uint8_t> image;
        {
            tavik::details::exclusive_lock_guard tree_guard(tree_lock_);
            image = serialize_tree(*tree_);
        }
        tavik::details::wait_blocking_result(save_file_info(std::move(image), 7));

        initialized_ = true;
        // Last use before the idle task: its first look must not find the folder idle since 1601.
        last_use_ = clock().now();
        start_schedule();
        start_idle_task();
        return {};
    } catch (const tavik::details::hresult_error_impl& error) {
        if (!initialized_)
            undo();
        return make_hresult_error_code(error.code());
    }
}

tavik::details::future<std::error_code> root_folder::open(std::wstring path)
{
    if (initialized_)
        co_return common_error::already_initialized;
    folder_path_ = full_folder_path(path);
    store_path_ = store_folder_path(folder_path_);

    lock_file_ = files().create_lock_file(lock_file_path(store_path_));
    if (!lock_file_) {
        switch (GetLastError()) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
            co_return create_error::folder_invalid;
        case ERROR_SHARING_VIOLATION:
            co_return create_error::folder_already_opened;
        default:
            co_return internal_error::invariant_broken;
        }
    }

    // The folder's lifetime ends the load early: the object is being given up.
    tavik::details::cancellation_token token(lifetime_, co_await tavik::details::this_promise);
    co_return co_await load_file_info();
}

tavik::details::future<void> root_folder::save_file_info(std::vector<std::uint8_t> image,
                                                        std::int32_t compression_level,
                                                        std::optional<folder_statistics> statistics)
{
    page_buffer compressed = compress_tree_image(image, compression_level);
    image = {};
    // The image of the header changes only once the file is written: a failed save leaves the
    // header as the file on disk has it.
    file_info_header written = header_;
    if (statistics)
        written.statistics = *statistics;
    else if (store_)
        written.statistics = store_->statistics();
    std::vector<std::byte> header;
    tavik::byte_writer out(header);
    write_file_info_header(out, written);
    const std::span<const std::byte> pieces[] = {
        header,
        {compressed.data, compressed.used},
    };
    co_await durable_replace(files(), file_info_path(store_path_), pieces);
    header_ = written;
}

tavik::details::future<std::error_code> root_folder::load_file_info()
{
    store_file_system& fs = files();
    const std::wstring path = recover_interrupted_replace(fs, file_info_path(store_path_));
    overlapped_file file;
    bool opened = true;
    try {
        file = fs.open_file(path, false);
    } catch (const tavik::details::hresult_error_impl&) {
        opened = false;  // no store, no file, or held by another: all the same to the caller
    }
    if (!opened)
        co_return create_error::folder_invalid;

    const std::uint64_t size = fs.file_size(file);
    // Nothing this store writes comes near 4 GiB (an LZ4 block holds less than 2 GiB).
    if (size > std::numeric_limits<std::uint32_t>::max() - page_buffer::page_size)
        co_return create_error::folder_invalid;
    const auto length = static_cast<std::uint32_t>(size);
    page_buffer bytes;
    std::uint32_t read = 0;
    if (length > 0) {
        bytes.reserve(length);
        read = co_await fs.read(file, 0, bytes.data, length);
    }
    file.close();
    if (read != length)
        co_return create_error::folder_invalid;  // changed under the reader

    // Everything is read into locals and published only once the whole store has loaded: a failed
    // load leaves the header image (and so the folder identifier) and the tree as they were, and
    // no half-opened block store behind.
    page_buffer image;
    file_info_header header{};
    if (std::error_code result =
            decode_file_info({reinterpret_cast<const std::uint8_t*>(bytes.data), read}, header, image))
        co_return result;
    bytes.release();

    auto root = std::make_shared<folder_t>();
    if (std::error_code damaged = root->deserialize({reinterpret_cast<const std::uint8_t*>(image.data), image.used}))
        co_return damaged;
    image.release();

    store_.reset();
    store_.emplace(options_.store);
    const folder_statistics saved = header.statistics;
    store_->init(block_folder_path(store_path_), static_cast<std::uint32_t>(header.creation_parameter), saved);
    const bool empty_tree = root->children.empty() && saved.uncompressed_size == 0 && saved.unique_size == 0;
    if (std::error_code store_error = store_->open_store(empty_tree)) {
        store_.reset();
        co_return store_error;
    }
    header_ = header;
    tree_ = std::move(root);

    if (!initialized_) {
        initialized_ = true;
        start_schedule();
    }
    last_use_ = clock().now();
    unloaded_.store(false, std::memory_order_release);
    start_idle_task();
    co_return std::error_code{};
}

void root_folder::start_schedule()
{
    if (schedule_task_.valid())
        return;
    if (std::holds_alternative<disabled_t>(optimize_period_) && std::holds_alternative<disabled_t>(gc_period_))
        return;
    schedule_task_ = resync(optimize_period_, gc_period_);
}

} // namespace dedup::impl
