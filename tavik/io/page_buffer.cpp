#include <tavik/io/page_buffer.h>

#include <algorithm>

#include <cstring>
#include <new>
#include <utility>

namespace tavik::io {

page_buffer::page_buffer(page_buffer&& other) noexcept
    : data(std::exchange(other.data, nullptr)),
      used(std::exchange(other.used, 0)),
      capacity(std::exchange(other.capacity, 0))
{
}

page_buffer& page_buffer::operator=(page_buffer&& other) noexcept
{
    if (this != &other) {
        release();
        data = std::exchange(other.data, nullptr);
        used = std::exchange(other.used, 0);
        capacity = std::exchange(other.capacity, 0);
    }
    return *this;
}

void page_buffer::reserve(std::uint32_t size)
{
    // Rounded in 64 bits: a size near 4 GiB must fail the allocation, not wrap to a tiny buffer.
    std::uint64_t rounded = (std::uint64_t(size) + page_size - 1) / page_size * page_size;
    if (rounded > UINT32_MAX)
        throw std::bad_alloc();
    auto new_capacity = std::uint32_t(rounded);
    auto* memory = static_cast<std::byte*>(
        VirtualAlloc(nullptr, new_capacity, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    if (!memory)
        throw std::bad_alloc();
    auto keep = used <= new_capacity ? used : new_capacity;
    if (data) {
        std::memcpy(memory, data, keep);
        VirtualFree(data, 0, MEM_RELEASE);
    }
    data = memory;
    used = keep;
    capacity = new_capacity;
}

void page_buffer::release() noexcept
{
    if (data)
        VirtualFree(data, 0, MEM_RELEASE);  // fails only for a pointer we did not allocate
    data = nullptr;
    used = 0;
    capacity = 0;
}

page_buffer page_buffer_pool::take()
{
    AcquireSRWLockExclusive(&lock_);
    if (buffers_.empty()) {
        ReleaseSRWLockExclusive(&lock_);
        return {};
    }
    page_buffer buffer = std::move(buffers_.back());
    buffers_.pop_back();
    ReleaseSRWLockExclusive(&lock_);
    return buffer;
}

page_buffer page_buffer_pool::take_fitting(std::uint32_t size, std::uint64_t most)
{
    AcquireSRWLockExclusive(&lock_);
    auto best = buffers_.end();
    for (auto it = buffers_.begin(); it != buffers_.end(); ++it)
        if (it->capacity >= size && it->capacity <= most && (best == buffers_.end() || it->capacity < best->capacity))
            best = it;
    page_buffer buffer;
    if (best != buffers_.end()) {
        buffer = std::move(*best);
        buffers_.erase(best);
    }
    ReleaseSRWLockExclusive(&lock_);
    return buffer;
}

void page_buffer_pool::give(page_buffer buffer) noexcept
{
    AcquireSRWLockExclusive(&lock_);
    try {
        buffers_.push_back(std::move(buffer));
    } catch (...) {
        // The queue could not grow. Giving back runs on clean-up paths that must not fail; the
        // buffer, left intact by push_back, is freed on return instead of being kept.
    }
    ReleaseSRWLockExclusive(&lock_);
}

void page_buffer_pool::free_all()
{
    std::deque<page_buffer> doomed;
    AcquireSRWLockExclusive(&lock_);
    doomed.swap(buffers_);
    ReleaseSRWLockExclusive(&lock_);
}

void page_buffer_pool::spill_into(page_buffer_pool& spare, std::size_t keep)
{
    std::deque<page_buffer> moving;
    AcquireSRWLockExclusive(&lock_);
    moving.swap(buffers_);
    ReleaseSRWLockExclusive(&lock_);
    // What stays in `moving` is freed on return, after the lock.
    AcquireSRWLockExclusive(&spare.lock_);
    for (page_buffer& buffer : moving) {
        if (!buffer.data)
            continue;
        if (spare.buffers_.size() < keep) {
            try {
                spare.buffers_.push_back(std::move(buffer));
            } catch (...) {
                // The queue could not grow: the buffer stays behind and is freed.
            }
            continue;
        }
        auto smallest = std::min_element(spare.buffers_.begin(), spare.buffers_.end(),
                                         [](const page_buffer& a, const page_buffer& b) { return a.capacity < b.capacity; });
        if (smallest != spare.buffers_.end() && smallest->capacity < buffer.capacity)
            std::swap(*smallest, buffer);
    }
    ReleaseSRWLockExclusive(&spare.lock_);
}

std::size_t page_buffer_pool::size() const
{
    AcquireSRWLockShared(&lock_);
    auto n = buffers_.size();
    ReleaseSRWLockShared(&lock_);
    return n;
}

} // namespace tavik::io
