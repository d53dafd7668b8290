#pragma once
// dedup::IRoot: one deduplicated folder, as the folder server, its Projected File System callbacks,
// its pipe and the estimate command see it. Implemented by dedup::impl::root_folder
// (root_folder.h) on the COM object template; held through Ostrel::com::ptr.
//
// The slots, in table order after QueryInterface, AddRef and Release: get_folder_id,
// get_statistics, create, open, convert, set_virtualization_context, exists,
// get_placeholder_info, list_folder, read_file_data, on_item_renamed, on_item_deleted, optimize,
// recover, is_empty, remove; the deleting destructor of the object comes last.
//
// Relative paths name items below the folder with components separated by '\', as the Projected
// File System passes them; the empty path is the folder itself.

#include <dedup/engine/folder_statistics.h>
#include <dedup/engine/operation_results.h>

#include <ostrel/com/object.h>
#include <platform/projfs/projfs.h>
#include <tavik/cancellation.h>
#include <tavik/future.h>

#include <chrono>
#include <cstdint>
#include <expected>
#include <functional>
#include <ratio>
#include <string>
#include <system_error>
#include <variant>
#include <vector>

namespace dedup {

// A period of the background optimizations or of the block purge: off, chosen by the schedule
// (optimize only), or a fixed length in 100-ns units.
struct disabled_t {
    friend bool operator==(disabled_t, disabled_t) noexcept = default;
};
struct auto_t {
    friend bool operator==(auto_t, auto_t) noexcept = default;
};
using period_duration = std::chrono::duration<long long, std::ratio<1, 10000000>>;
using period_t = std::variant<disabled_t, auto_t, period_duration>;

// What the console program passes to create, through the server and the provider.
struct create_params {
    static constexpr std::uint32_t adopt = 1;      // store an existing ordinary folder ("adopt")
    static constexpr std::uint32_t no_create = 2;  // never make a new folder ("no-create")

    std::uint32_t block_file_size_limit = 0x3200000;
    period_t optimize_period;
    period_t gc_period;
    std::uint32_t flags = 0;
    std::uint32_t algorithm_version = 1;  // not read by the root folder
};

// One item as the Projected File System callbacks receive it.
struct dir_entry {
    std::wstring name;  // as the tree stores it
    std::uint64_t size = 0;
    std::int64_t creation_time = 0;
    std::int64_t last_access_time = 0;
    std::int64_t last_write_time = 0;
    std::int64_t change_time = 0;
    std::uint32_t attributes = 0;
    std::string security_descriptor;  // self-relative, as bytes; empty in folder listings
    bool folder = false;
};

using placeholder_lookup_result = std::expected<dir_entry, std::error_code>;

// The caller's progress: stage text, done, total (0 while there is no total).
using progress_callback = std::function<void(const std::wstring& stage, std::uint64_t done, std::uint64_t total)>;

struct IRoot : public Ostrel::com::details::extends<IRoot, IUnknown> {
    // The folder identifier of the tree file's header; defined once create has passed its first
    // check, or after a successful open.
    virtual GUID get_folder_id() = 0;
    // The block store's statistics once the store is loaded; four zeros when it cannot be.
    virtual folder_statistics get_statistics() = 0;
    // Makes the store of a new folder (or of an existing one, with adopt) and takes its lock.
    // "Folder already exists" (dedup.create 1) tells the caller to open instead.
    virtual std::error_code create(std::wstring path, create_params params) = 0;
    // Takes the lock of an existing store and loads it.
    virtual tavik::details::future<std::error_code> open(std::wstring path) = 0;
    virtual tavik::details::future<std::expected<resync_stats, long>> convert(
        std::wstring path, std::int32_t compression_level, tavik::details::cancellation_source& source,
        progress_callback progress) = 0;
    // The running virtualization instance, for the operations' PrjDeleteFile calls.
    virtual void set_virtualization_context(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context) = 0;
    virtual bool exists(const std::wstring& path) = 0;
    virtual tavik::details::future<placeholder_lookup_result> get_placeholder_info(
        std::wstring path, bool without_security, tavik::details::cancellation_source& source) = 0;
    virtual std::vector<dir_entry> list_folder(std::wstring path) = 0;
    virtual tavik::details::future<std::error_code> read_file_data(std::wstring path, std::uint64_t offset,
                                                                   std::uint32_t length, void* buffer,
                                                                   tavik::details::cancellation_source& source) = 0;
    virtual tavik::details::future<std::int32_t> on_item_renamed(std::wstring path, std::wstring new_path) = 0;
    virtual void on_item_deleted(std::wstring path) = 0;
    virtual tavik::details::future<std::expected<resync_stats, long>> optimize(
        tavik::details::cancellation_source& source, std::int32_t compression_level, purge_flags options,
        progress_callback progress) = 0;
    virtual std::expected<recover_stats, long> recover(tavik::details::cancellation_source& source,
                                                       progress_callback progress) = 0;
    virtual bool is_empty() = 0;
    virtual std::int32_t remove() = 0;
};

} // namespace dedup

__CRT_UUID_DECL(dedup::IRoot, 0x3d939c75, 0x07f6, 0x4ef0, 0x85, 0x6e, 0x93, 0x32, 0xca, 0x4e, 0x20, 0x95)
