#pragma once
// Page-aligned buffers for unbuffered file I/O, and the pools through which they are reused.

#include <cstddef>
#include <cstdint>
#include <deque>

#include <windows.h>

namespace tavik::io {

// A buffer that owns memory straight from the virtual-memory allocator, so its start is
// page-aligned and its capacity a multiple of 4096, as FILE_FLAG_NO_BUFFERING requires.
// Moving a buffer leaves the source empty; destroying it frees the memory.
struct page_buffer {
    std::byte* data = nullptr;
    std::uint32_t used = 0;      // valid bytes
    std::uint32_t capacity = 0;  // bytes of memory, a multiple of page_size

    static constexpr std::uint32_t page_size = 4096;

    page_buffer() noexcept = default;
    page_buffer(page_buffer&& other) noexcept;
    page_buffer& operator=(page_buffer&& other) noexcept;
    page_buffer(const page_buffer&) = delete;
    page_buffer& operator=(const page_buffer&) = delete;
    ~page_buffer() { release(); }

    // Ensures room for `size` bytes: capacity becomes `size` rounded up to page_size, and the used
    // bytes move to the new memory. Callers call it only when `size` exceeds the capacity; growing
    // callers ask for max(2 * capacity, needed). Throws std::bad_alloc when the system has no memory.
    void reserve(std::uint32_t size);

    // Frees the memory; the buffer is empty afterwards.
    void release() noexcept;
};

// A stack of reusable buffers shared by the coroutines of one store or one writer. The lock is
// held only for the queue operation itself, never while memory is allocated or freed by a buffer.
class page_buffer_pool {
public:
    page_buffer_pool() = default;
    page_buffer_pool(const page_buffer_pool&) = delete;
    page_buffer_pool& operator=(const page_buffer_pool&) = delete;

    // The buffer given back most recently (its memory is still warm), or an empty buffer when the
    // pool has none; an empty buffer allocates on its first reserve.
    page_buffer take();

    // The smallest buffer held whose capacity is at least `size` and at most `most`, or an empty
    // buffer when none is.
    page_buffer take_fitting(std::uint32_t size, std::uint64_t most = UINT64_MAX);

    // Never fails: when the queue cannot grow, the buffer is freed instead of kept.
    void give(page_buffer buffer) noexcept;

    // Frees every buffer held and the queue's own storage.
    void free_all();

    // Empties this pool into `spare`, which then holds at most `keep` buffers, the largest of
    // its own and these; the others are freed.
    void spill_into(page_buffer_pool& spare, std::size_t keep);

    // Number of buffers held; for tests and statistics.
    std::size_t size() const;

private:
    std::deque<page_buffer> buffers_;
    mutable SRWLOCK lock_ = SRWLOCK_INIT;
};

} // namespace tavik::io
