// The queries the Projected File System callbacks make through IRoot: whether a path exists, what a
// folder lists, what a placeholder must look like and which bytes a file holds. Each first takes a
// hold on the loaded store (idle_unload.h), which loads it again after an idle unload and keeps it
// while the query runs; the tree lock is held shared only while a path is looked up or a folder is
// listed, never across a wait. Renames and deletions leave the tree as the last optimization made
// it.

#include <dedup/engine/root_folder.h>

#include <tavik/error.h>
#include <tavik/error_categories.h>
#include <tavik/lock_guard.h>

#include <boost/container/small_vector.hpp>
#include <boost/unordered/unordered_flat_map.hpp>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <mutex>

namespace dedup::impl {

namespace {

using tavik::details::shared_lock_guard;

// Looks `path` up under the tree lock held shared; the node stays valid after the lock goes
// (published nodes are never edited).
std::optional<found_item> find_item(const std::shared_ptr<folder_t>& tree, SRWLOCK& tree_lock, std::wstring_view path)
{
    shared_lock_guard guard(tree_lock);
    return folder_t::find_path(tree, path);
}

std::error_code broken_invariant() noexcept
{
    return make_error_code(internal_error::invariant_broken);
}

// One range of a block file's content that goes to the caller's buffer.
struct copy_request {
    std::byte* destination;
    std::uint32_t source_offset;
    std::uint32_t length;
};

// The ranges one read needs from one block file. The reference keeps the file from being purged
// until its copy coroutine has loaded it.
struct block_file_copies {
    block_file_ref file;
    boost::container::small_vector<copy_request, 4> requests;
};

// What the copy coroutines of one read share: the countdown of those still running, the first
// failure among them and the signal that the last has finished.
struct copy_join {
    explicit copy_join(std::uint32_t count) : remaining(count) {}

    std::atomic<std::uint32_t> remaining;
    std::mutex lock;
    std::exception_ptr failure;
    std::shared_ptr<tavik::details::promise_type_<void>> done =
        std::make_shared<tavik::details::promise_type_<void>>();
};

// Loads one block file (once) and copies every range the read needs from it. Whatever happens it
// counts down, after it has let go of the file: the read's completion may let the store go.
tavik::details::fire_and_forget copy_block_ranges(block_file_copies copies, std::shared_ptr<copy_join> join)
{
    try {
        tavik::details::future<block_view> load = get_block_data(std::move(copies.file), 0, 0);
        block_view content = co_await load;
        for (const copy_request& request : copies.requests) {
            if (request.source_offset > content.size() || request.length > content.size() - request.source_offset)
                throw std::system_error(broken_invariant());
            std::memcpy(request.destination, content.data() + request.source_offset, request.length);
        }
        content.reset();
    } catch (...) {
        std::lock_guard guard(join->lock);
        if (!join->failure)
            join->failure = std::current_exception();
    }
    copies.file.reset();
    if (join->remaining.fetch_sub(1, std::memory_order_acq_rel) == 1)
        join->done->set_value();
}

// The first reference of `refs` (sorted by offset) that covers `position`: the last one whose
// offset is not above it. Null when the first reference already starts above it.
template <class Ref>
const Ref* covering_reference(std::span<const Ref> refs, std::uint64_t position) noexcept
{
    auto next = std::upper_bound(refs.begin(), refs.end(), position,
                                 [](std::uint64_t at, const Ref& ref) { return at < ref.offset; });
    if (next == refs.begin())
        return nullptr;
    return &*(next - 1);
}

// The records of a reference list block, read in place (a block's bytes carry no alignment).
class reference_list {
public:
    explicit reference_list(const block_view& list) noexcept
        : data_(list.data()), count_(list.size() / sizeof(block_ref)) {}

    std::size_t size() const noexcept { return count_; }
    block_ref operator[](std::size_t i) const noexcept
    {
        block_ref ref;
        std::memcpy(&ref, data_ + i * sizeof(block_ref), sizeof ref);
        return ref;
    }
    // The index of the first record whose offset is above `position` (size() when none is).
    std::size_t first_above(std::uint64_t position) const noexcept
    {
        std::size_t low = 0;
        std::size_t high = count_;
        while (low < high) {
            const std::size_t middle = low + (high - low) / 2;
            if (offset_at(middle) > position)
                high = middle;
            else
                low = middle + 1;
        }
        return low;
    }

private:
    std::uint64_t offset_at(std::size_t i) const noexcept
    {
        std::uint64_t offset;
        std::memcpy(&offset, data_ + i * sizeof(block_ref) + offsetof(block_ref, offset), sizeof offset);
        return offset;
    }

    const std::byte* data_;
    std::size_t count_;
};

} // namespace

bool root_folder::exists(const std::wstring& path)
{
    const auto hold = tavik::details::wait_blocking_result(hold_loaded_store(*this));
    if (!hold)
        return false;
    return find_item(tree_, tree_lock_, path).has_value();
}

std::vector<dir_entry> root_folder::list_folder(std::wstring path)
{
    const auto hold = tavik::details::wait_blocking_result(hold_loaded_store(*this));
    if (!hold)
        return {};
    shared_lock_guard guard(tree_lock_);
    const auto found = folder_t::find_path(tree_, path);
    if (!found || !found->item->is_folder())
        return {};
    const auto& folder = static_cast<const folder_t&>(*found->item);
    std::vector<dir_entry> entries;
    entries.reserve(folder.children.size());
    for (const auto& [name, child] : folder.children) {
        dir_entry& entry = entries.emplace_back();
        entry.name = name;
        entry.size = child->size;
        entry.creation_time = child->basic_info.CreationTime.QuadPart;
        entry.last_access_time = child->basic_info.LastAccessTime.QuadPart;
        entry.last_write_time = child->basic_info.LastWriteTime.QuadPart;
        entry.change_time = child->basic_info.ChangeTime.QuadPart;
        entry.attributes = child->basic_info.FileAttributes;
        entry.folder = child->is_folder();
    }
    return entries;
}

tavik::details::future<placeholder_lookup_result> root_folder::get_placeholder_info(
    std::wstring path, bool without_security, tavik::details::cancellation_source& source)
{
    const auto hold = co_await hold_loaded_store(*this);
    if (!hold)
        co_return std::unexpected(hold.error());
    tavik::details::cancellation_token token(source, co_await tavik::details::this_promise);
    token.throw_if_cancelled();

    // The node is a snapshot and the hold keeps the store: the lock need not be held across the
    // wait for the descriptor, which would keep a pool thread's lock while another thread resumes.
    const auto found = find_item(tree_, tree_lock_, path);
    if (!found)
        co_return std::unexpected(make_error_code(common_error::not_found));
    const file_t& item = *found->item;
    dir_entry entry;
    entry.name = found->name;
    entry.size = item.size;
    entry.creation_time = item.basic_info.CreationTime.QuadPart;
    entry.last_access_time = item.basic_info.LastAccessTime.QuadPart;
    entry.last_write_time = item.basic_info.LastWriteTime.QuadPart;
    entry.change_time = item.basic_info.ChangeTime.QuadPart;
    entry.attributes = item.basic_info.FileAttributes;
    entry.folder = item.is_folder();
    if (!without_security && item.has_security_descriptor()) {
        // A key the index does not hold leaves the descriptor empty.
        block_view descriptor = co_await fetch_block(*store_, item.security_key);
        entry.security_descriptor.assign(reinterpret_cast<const char*>(descriptor.data()), descriptor.size());
    }
    co_return entry;
}

tavik::details::future<std::error_code> root_folder::read_file_data(std::wstring path, std::uint64_t offset,
                                                                   std::uint32_t length, void* buffer,
                                                                   tavik::details::cancellation_source& source)
{
    if (length == 0)
        co_return std::error_code();
    // A read holds the store until it has copied its data: an unload waits for the next round.
    const auto hold = co_await hold_loaded_store(*this);
    if (!hold)
        co_return hold.error();
    // The token is not bound to this coroutine: once copies have started, the read must wait for
    // them whatever happens, because the caller frees the buffer when the read completes. It is
    // tested before each reference list instead.
    tavik::details::cancellation_token token(source);
    token.throw_if_cancelled();

    const auto found = find_item(tree_, tree_lock_, path);
    if (!found || found->item->is_folder() || found->item->streams.empty())
        co_return make_error_code(common_error::not_found);
    const file_t& item = *found->item;
    if (item.size == 0)
        co_return std::error_code();  // an empty stream: nothing to copy
    // The Projected File System asks only for bytes inside the file; bytes past its end would
    // stay unwritten.
    if (offset >= item.size || length > item.size - offset)
        co_return make_hresult_error_code(HRESULT_FROM_WIN32(ERROR_HANDLE_EOF));

    const std::span<const block_ref> top(item.streams.front().refs);
    const block_ref* list_ref = covering_reference(top, offset);
    if (!list_ref)
        co_return broken_invariant();

    std::uint64_t position = offset;
    std::uint32_t remaining = length;
    auto* destination = static_cast<std::byte*>(buffer);
    bool first = true;
    boost::unordered_flat_map<block_file*, block_file_copies> copies;
    for (; remaining > 0 && list_ref != top.data() + top.size(); ++list_ref) {
        token.throw_if_cancelled();
        block_view list = co_await fetch_block(*store_, list_ref->key);
        if (list.empty() || list.size() == 0 || list.size() % sizeof(block_ref) != 0)
            co_return broken_invariant();  // the tree names a list the store does not hold
        // The list's records are walked in place: the view keeps its block file loaded meanwhile.
        const reference_list refs(list);

        shared_lock_guard store_guard(store_->store_lock());
        std::size_t index = 0;
        if (first) {
            const std::size_t next = refs.first_above(position);
            if (next == 0)
                co_return broken_invariant();
            index = next - 1;
        }
        for (; remaining > 0 && index < refs.size(); ++index) {
            const block_ref data_ref = refs[index];
            const auto entry = store_->index().find(data_ref.key);
            if (entry == store_->index().end() || position < data_ref.offset ||
                position - data_ref.offset >= entry->second.size)
                co_return broken_invariant();
            const auto delta = static_cast<std::uint32_t>(position - data_ref.offset);
            const std::uint32_t n = std::min(remaining, entry->second.size - delta);
            auto [it, added] = copies.try_emplace(entry->second.file);
            if (added)
                it->second.file = block_file_ref(entry->second.file);
            it->second.requests.push_back({destination, entry->second.offset + delta, n});
            remaining -= n;
            position += n;
            destination += n;
            first = false;
        }
    }
    if (remaining > 0)
        co_return broken_invariant();  // the stored data ends before the file's size

    auto join = std::make_shared<copy_join>(static_cast<std::uint32_t>(copies.size()));
    for (auto& [file, requests] : copies)
        copy_block_ranges(std::move(requests), join);
    copies.clear();
    co_await *join->done;
    if (join->failure)
        std::rethrow_exception(join->failure);
    token.throw_if_cancelled();
    co_return std::error_code();
}

tavik::details::future<std::int32_t> root_folder::on_item_renamed(std::wstring, std::wstring)
{
    co_return S_OK;
}

void root_folder::on_item_deleted(std::wstring)
{
}

} // namespace dedup::impl
