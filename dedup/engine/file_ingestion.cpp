#include <dedup/engine/file_ingestion.h>

#include <dedup/engine/stream_reader.h>

#include <tavik/error.h>
#include <tavik/error_categories.h>
#include <tavik/thread_pool.h>
#include <tavik/unique_handle.h>

#include <aclapi.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <cstring>

namespace dedup {

namespace {

block_key hash_of(const void* bytes, std::size_t length) noexcept
{
    const XXH128_hash_t h = XXH3_128bits(bytes, length);
    return {h.low64, h.high64};
}

std::error_code error_of(HRESULT hr) noexcept
{
    if (hr == hash_collision_hresult)
        return internal_error::hash_collision;
    return make_hresult_error_code(hr);
}

std::wstring parent_of(const std::wstring& path)
{
    const auto split = path.rfind(L'\\');
    return split == std::wstring::npos ? std::wstring() : path.substr(0, split);
}

std::wstring last_component_of(const std::wstring& path)
{
    const auto split = path.rfind(L'\\');
    return split == std::wstring::npos ? path : path.substr(split + 1);
}

// Opens the item and reads what ingest_item needs of it before any block is added. Raises the
// last error when the item cannot be opened, sized or its basic information read.
void open_item(const std::wstring& full_path, bool is_folder, prefetched_item& item)
{
    item.handle.reset(CreateFileW(full_path.c_str(), GENERIC_READ | READ_CONTROL,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OVERLAPPED | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS,
                                  nullptr));
    if (!item.handle)
        tavik::details::throw_last_error();
    LARGE_INTEGER size{};
    // A folder has no data: its size is 0 whatever the file system answers for it.
    if (!is_folder && !GetFileSizeEx(item.handle.get(), &size))
        tavik::details::throw_last_error();
    item.size = is_folder ? 0 : static_cast<std::uint64_t>(size.QuadPart);
    if (!GetFileInformationByHandleEx(item.handle.get(), FileBasicInfo, &item.basic, sizeof item.basic))
        tavik::details::throw_last_error();
    PSECURITY_DESCRIPTOR raw = nullptr;
    const DWORD status = GetSecurityInfo(item.handle.get(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                         nullptr, nullptr, nullptr, &raw);
    item.descriptor.reset(status == ERROR_SUCCESS ? raw : nullptr);
    item.descriptor_length = item.descriptor ? GetSecurityDescriptorLength(item.descriptor.get()) : 0;
}

// Room for one more element, so that the push after a block was added cannot fail and lose track
// of it. Grows geometrically: an exact reserve would move the whole vector, into fresh memory, for
// every chunk of a file.
template <class T>
void reserve_one_more(std::vector<T>& items)
{
    if (items.size() == items.capacity())
        items.reserve(std::max<std::size_t>(16, items.capacity() * 2));
}

void release_all(block_writer& writer, const std::vector<block_key>& keys) noexcept
{
    for (const block_key& key : keys)
        writer.release_block(key);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Reading ahead

prefetched_item::~prefetched_item()
{
    if (data.data && pool)
        pool->give(std::move(data));
}

tavik::details::future<std::shared_ptr<prefetched_item>> prefetch_item(std::wstring full_path, std::uint32_t flags,
                                                                       page_buffer_pool& pool, file_io_calls& calls,
                                                                       const tavik::details::cancellation_source* cancel)
{
    std::shared_ptr<prefetched_item> item;
    try {
        item = std::make_shared<prefetched_item>();
    } catch (const std::bad_alloc&) {
        co_return nullptr;  // read when its turn comes
    }
    item->pool = &pool;
    const bool is_folder = (flags & change_flags::folder) != 0;
    try {
        co_await tavik::details::resume_on_thread_pool();
        if (cancel && cancel->is_cancelled())
            tavik::details::throw_operation_cancelled();
        open_item(full_path, is_folder, *item);
        const bool placeholder = (flags & change_flags::placeholder_state) != 0;
        if (!is_folder && !placeholder && item->size != 0 && item->size <= max_pending_length) {
            const auto length = static_cast<std::uint32_t>(item->size);
            page_buffer buffer = pool.take_fitting(length, 4 * std::uint64_t(max_pending_length));
            if (buffer.capacity < length)
                buffer.reserve(length);
            buffer.used = 0;
            struct give_back {
                page_buffer_pool& pool;
                page_buffer& buffer;
                ~give_back()
                {
                    if (buffer.data)
                        pool.give(std::move(buffer));
                }
            } returned{pool, buffer};
            // The read needs the handle bound to thread-pool I/O, for good: it is of no further use.
            const stream_snapshot taken{item->size, item->basic.LastWriteTime.QuadPart,
                                        item->basic.ChangeTime.QuadPart};
            overlapped_file bound(item->handle.release(), calls);
            const std::uint32_t n = co_await bound.read(0, buffer.data, length);
            // As the reader does: fewer bytes, or other times or size afterwards, mean that
            // another program wrote the file meanwhile.
            if (n != length || take_stream_snapshot(bound.handle()) != taken)
                tavik::details::throw_hresult(file_changed_while_read);
            buffer.used = n;
            item->data = std::move(buffer);
            item->data_read = true;
        }
    } catch (const tavik::details::hresult_error_impl& error) {
        item->failure = error.code();
    } catch (const std::bad_alloc&) {
        item->out_of_memory = true;
    }
    co_return item;
}

// ---------------------------------------------------------------------------------------------
// The sink

writer_block_sink::writer_block_sink(optimize_context& context) : context_(&context) {}

tavik::details::future<void> writer_block_sink::add_chunk(const std::byte* bytes, std::uint32_t length)
{
    const block_key key = hash_of(bytes, length);
    reserve_one_more(added_);
    reserve_one_more(pieces_);
    if (!co_await context_->writer->add_block(key, bytes, length, block_kind::data, context_->compression_level))
        tavik::details::throw_hresult(hash_collision_hresult);
    added_.push_back(key);
    pieces_.push_back({key, offset_, 0});
    offset_ += length;
    if (pieces_.size() >= references_per_list)
        co_await fold_references();
}

tavik::details::future<void> writer_block_sink::fold_references()
{
    if (pieces_.empty())
        co_return;
    const auto length = static_cast<std::uint32_t>(pieces_.size() * sizeof(block_ref));
    const block_key key = hash_of(pieces_.data(), length);
    reserve_one_more(added_);
    reserve_one_more(lists_);
    if (!co_await context_->writer->add_block(key, pieces_.data(), length, block_kind::references,
                                              context_->compression_level))
        tavik::details::throw_hresult(hash_collision_hresult);
    added_.push_back(key);
    lists_.push_back({key, pieces_.front().offset, 0});
    pieces_.clear();
}

std::vector<block_ref> writer_block_sink::take_references()
{
    return std::move(lists_);
}

// ---------------------------------------------------------------------------------------------
// Ingestion

tavik::details::future<std::expected<FILE_BASIC_INFO, std::error_code>> ingest_item(optimize_context& context,
                                                                                  std::wstring full_path,
                                                                                  std::wstring relative_path,
                                                                                  std::uint32_t flags,
                                                                                  std::shared_ptr<prefetched_item> ahead)
{
    const bool is_folder = (flags & change_flags::folder) != 0;
    const bool dirty_placeholder = (flags & PRJ_FILE_STATE_DIRTY_PLACEHOLDER) != 0;

    auto parent_item = impl::folder_t::find_path(context.tree, parent_of(relative_path));
    if (!parent_item || !parent_item->item->is_folder())
        co_return std::unexpected(make_error_code(internal_error::parent_not_folder));
    auto* parent = static_cast<impl::folder_t*>(parent_item->item.get());
    std::wstring name = last_component_of(relative_path);
    std::shared_ptr<impl::file_t> existing;
    if (auto it = parent->children.find(name); it != parent->children.end()) {
        name = it->first;
        existing = it->second;
    }
    // A folder replaces a folder only: a stored file of a new folder's name (or the reverse) is
    // replaced whole, its references released.
    const bool keeps_children = is_folder && existing && existing->is_folder();

    std::vector<block_key> added;
    HRESULT failure = S_OK;
    std::shared_ptr<impl::file_t> node;
    try {
        std::shared_ptr<prefetched_item> item = std::move(ahead);
        if (!item) {
            item = std::make_shared<prefetched_item>();
            open_item(full_path, is_folder, *item);
        }
        if (item->out_of_memory)
            throw std::bad_alloc();
        if (item->failure != S_OK)
            tavik::details::throw_hresult(item->failure);
        const FILE_BASIC_INFO basic = item->basic;

        node = is_folder ? std::make_shared<impl::folder_t>() : std::make_shared<impl::file_t>();
        node->size = item->size;
        node->basic_info = basic;
        node->parent = parent;

        auto& descriptor = item->descriptor;
        const DWORD descriptor_length = item->descriptor_length;
        if (descriptor_length == 0) {
            // A folder's flags are exactly "folder": its zero key already says "no descriptor".
            if (!is_folder)
                node->flags |= impl::file_t::no_security_flag;
        } else {
            const block_key key = hash_of(descriptor.get(), descriptor_length);
            added.reserve(1);
            if (!co_await context.writer->add_block(key, descriptor.get(), descriptor_length, block_kind::security,
                                                    context.compression_level))
                tavik::details::throw_hresult(hash_collision_hresult);
            added.push_back(key);
            node->security_key = key;
        }
        descriptor.reset();

        if (dirty_placeholder && existing && !existing->is_folder()) {
            // Only its metadata changed: the stored data stays, the data is not read.
            node->streams = existing->streams;
        } else if (!is_folder) {
            writer_block_sink sink(context);
            const stream_snapshot taken{node->size, basic.LastWriteTime.QuadPart, basic.ChangeTime.QuadPart};
            std::exception_ptr read_failure;
            std::vector<block_ref> refs;
            try {
                const stream_read_context reading{&context.writer->pool(), &sink, context.cancel, context.reads};
                if (item->data_read)
                    refs = co_await cut_stream_data(reading, item->data.data, item->data.used);
                else
                    refs = co_await read_stream_blocks(reading, item->handle.get(), taken, false);
            } catch (...) {
                read_failure = std::current_exception();
            }
            added.insert(added.end(), sink.added_keys().begin(), sink.added_keys().end());
            if (read_failure)
                std::rethrow_exception(read_failure);
            node->streams.push_back(stream_t{L"", std::move(refs)});
        } else {
            node->streams.push_back(stream_t{});
        }

        // New references first, then the old ones: a block the item keeps never drops to zero on
        // the way. A folder gives up only its own descriptor; its children stay with it.
        std::vector<block_key> released;
        if (existing) {
            if (keeps_children || (dirty_placeholder && !existing->is_folder())) {
                if (existing->has_security_descriptor())
                    released.push_back(existing->security_key);
            } else {
                released = co_await collect_item_references(context, existing);
            }
        }
        if (keeps_children) {
            auto& old_folder = static_cast<impl::folder_t&>(*existing);
            auto& new_folder = static_cast<impl::folder_t&>(*node);
            new_folder.children.swap(old_folder.children);
            for (auto& [child_name, child] : new_folder.children)
                child->parent = &new_folder;
        }
        try {
            parent->insert_or_assign(name, node);
        } catch (...) {
            if (keeps_children) {
                auto& old_folder = static_cast<impl::folder_t&>(*existing);
                old_folder.children.swap(static_cast<impl::folder_t&>(*node).children);
                for (auto& [child_name, child] : old_folder.children)
                    child->parent = &old_folder;
            }
            throw;
        }
        release_all(*context.writer, released);
        co_return basic;
    } catch (const tavik::details::hresult_error_impl& error) {
        failure = error.code();
    }
    release_all(*context.writer, added);
    co_return std::unexpected(error_of(failure));
}

// ---------------------------------------------------------------------------------------------
// Release and deletion

tavik::details::future<std::vector<block_key>> collect_item_references(optimize_context& context,
                                                                       std::shared_ptr<impl::file_t> node)
{
    std::vector<block_key> keys;
    // The tree's own walks use explicit stacks; so does this one.
    std::vector<std::shared_ptr<impl::file_t>> pending{std::move(node)};
    while (!pending.empty()) {
        std::shared_ptr<impl::file_t> item = std::move(pending.back());
        pending.pop_back();
        if (item->is_folder()) {
            for (const auto& [name, child] : static_cast<impl::folder_t&>(*item).children)
                pending.push_back(child);
        }
        if (item->has_security_descriptor())
            keys.push_back(item->security_key);
        for (const stream_t& stream : item->streams) {
            for (const block_ref& list : stream.refs) {
                block_view view = co_await fetch_pending_block(*context.writer, list.key);
                const std::size_t count = view.size() / sizeof(block_ref);
                for (std::size_t i = 0; i < count; ++i) {
                    block_ref ref;
                    std::memcpy(&ref, view.data() + i * sizeof(block_ref), sizeof ref);
                    keys.push_back(ref.key);
                }
                view.reset();
                keys.push_back(list.key);
            }
        }
    }
    co_return keys;
}

tavik::details::future<void> release_item_blocks(optimize_context& context, std::shared_ptr<impl::file_t> node)
{
    const std::vector<block_key> keys = co_await collect_item_references(context, std::move(node));
    release_all(*context.writer, keys);
}

tavik::details::future<std::error_code> delete_item(optimize_context& context, std::wstring relative_path)
{
    HRESULT failure = S_OK;
    try {
        auto found = impl::folder_t::find_path(context.tree, relative_path);
        if (!found || !found->item->parent)
            co_return std::error_code{};
        impl::folder_t* parent = found->item->parent;
        co_await release_item_blocks(context, found->item);
        parent->children.erase(found->name);
        co_return std::error_code{};
    } catch (const tavik::details::hresult_error_impl& error) {
        failure = error.code();
    }
    co_return make_hresult_error_code(failure);
}

} // namespace dedup
