#include <dedup/engine/block_compression.h>

#include <tavik/error.h>
#include <tavik/thread_pool.h>

#include <lz4.h>
#include <lz4hc.h>

#include <algorithm>
#include <atomic>
#include <coroutine>
#include <cstring>
#include <deque>
#include <limits>
#include <mutex>
#include <new>
#include <vector>

namespace dedup {

namespace {

constexpr std::uint32_t window = 64 * 1024;  // how far an LZ4 match reaches back

std::uint32_t segment_count(std::uint32_t length) noexcept
{
    return (length + compression_segment_length - 1) / compression_segment_length;
}

std::uint32_t segment_bound(std::uint32_t length) noexcept
{
    return static_cast<std::uint32_t>(LZ4_compressBound(static_cast<int>(length)));
}

// One content being compressed: its segments are taken by the workers one after another.
struct segment_job {
    const std::byte* content = nullptr;
    std::uint32_t length = 0;
    std::byte* parts = nullptr;  // segment i's output at part_offsets[i], room for its bound
    int level = 0;
    const tavik::details::cancellation_source* cancel = nullptr;
    std::vector<std::uint64_t> part_offsets;
    std::vector<std::uint32_t> part_lengths;  // 0: not compressed (failure or cancellation)
    std::uint32_t count = 0;
    std::uint32_t next = 0;                  // the next segment to hand out; under the queue lock
    std::atomic<std::uint32_t> remaining{0}; // segments not yet done
    std::atomic<bool> out_of_memory{false};
    std::coroutine_handle<> continuation;
};

// LZ4HC states (256 KiB each, so worth keeping) for the workers, shared by the process.
class state_pool {
public:
    LZ4_streamHC_t* take() noexcept
    {
        {
            std::lock_guard guard(lock_);
            if (!states_.empty()) {
                LZ4_streamHC_t* state = states_.back();
                states_.pop_back();
                return state;
            }
        }
        return LZ4_createStreamHC();
    }
    void give(LZ4_streamHC_t* state) noexcept
    {
        std::lock_guard guard(lock_);
        try {
            states_.push_back(state);
        } catch (const std::bad_alloc&) {
            LZ4_freeStreamHC(state);
        }
    }

private:
    std::mutex lock_;
    std::vector<LZ4_streamHC_t*> states_;
};

// The process's compression workers: thread-pool callbacks, one fewer than the processors, that
// compress queued segments in the order they were queued (the oldest content first, which is the
// file a writer waits for first) and end when the queue is empty.
class compression_workers {
public:
    compression_workers()
    {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        // One processor stays for the operation that reads and cuts the files meanwhile.
        most_ = std::max<unsigned>(1, info.dwNumberOfProcessors - 1);
    }

    // Queues the job. False when no worker runs and none could be started: the caller then is the
    // worker (it has been counted as one) and must call drain().
    bool post(segment_job& job)
    {
        unsigned start = 0;
        {
            std::lock_guard guard(lock_);
            queue_.push_back(&job);  // may throw: nothing is queued then
            start = std::min<unsigned>(most_ - active_, job.count);
            active_ += start;
        }
        // From here on the job may be done and gone at any moment: it is not touched again.
        unsigned started = 0;
        while (started < start && TrySubmitThreadpoolCallback(&worker_main, this, nullptr))
            ++started;
        if (started == start)
            return true;
        std::lock_guard guard(lock_);
        active_ -= start - started;
        if (active_ != 0)
            return true;
        active_ = 1;
        return false;
    }

    void drain() noexcept
    {
        for (;;) {
            segment_job* job = nullptr;
            std::uint32_t index = 0;
            {
                std::lock_guard guard(lock_);
                if (queue_.empty()) {
                    --active_;
                    return;
                }
                job = queue_.front();
                index = job->next++;
                if (job->next == job->count)
                    queue_.pop_front();
            }
            run(*job, index);
        }
    }

private:
    static void CALLBACK worker_main(PTP_CALLBACK_INSTANCE, void* self) noexcept
    {
        // Below the threads that read and cut files, which would otherwise wait behind a full
        // set of compressions for every piece: the reading is what the whole run waits for.
        // A pool thread goes back as it came.
        HANDLE thread = GetCurrentThread();
        const int priority = GetThreadPriority(thread);
        const bool lowered = priority != THREAD_PRIORITY_ERROR_RETURN &&
                             SetThreadPriority(thread, THREAD_PRIORITY_BELOW_NORMAL);
        static_cast<compression_workers*>(self)->drain();
        if (lowered)
            SetThreadPriority(thread, priority);
    }

    void run(segment_job& job, std::uint32_t index) noexcept
    {
        const bool cancelled = job.cancel && job.cancel->is_cancelled();
        if (!cancelled && !job.out_of_memory.load(std::memory_order_relaxed)) {
            if (LZ4_streamHC_t* state = states_.take()) {
                const std::uint32_t offset = index * compression_segment_length;
                const std::uint32_t length = std::min(compression_segment_length, job.length - offset);
                const auto* source = reinterpret_cast<const char*>(job.content) + offset;
                auto* target = reinterpret_cast<char*>(job.parts + job.part_offsets[index]);
                const int capacity = static_cast<int>(segment_bound(length));
                int written = 0;
                if (offset == 0) {
                    written = LZ4_compress_HC_extStateHC(state, source, target, static_cast<int>(length), capacity,
                                                         job.level);
                } else {
                    // The 64 KiB before the segment are its prefix: they lie right before it in the
                    // same content, so matches into them decode from the segments before.
                    const std::uint32_t prefix = std::min(offset, window);
                    LZ4_resetStreamHC_fast(state, job.level);
                    LZ4_loadDictHC(state, source - prefix, static_cast<int>(prefix));
                    written = LZ4_compress_HC_continue(state, source, target, static_cast<int>(length), capacity);
                }
                job.part_lengths[index] = static_cast<std::uint32_t>(std::max(written, 0));
                states_.give(state);
            } else {
                job.out_of_memory.store(true, std::memory_order_relaxed);
            }
        }
        if (job.remaining.fetch_sub(1, std::memory_order_acq_rel) == 1)
            tavik::details::resume_on_thread_pool_or_inline(job.continuation);
    }

    std::mutex lock_;
    std::deque<segment_job*> queue_;
    unsigned active_ = 0;
    unsigned most_ = 1;
    state_pool states_;
};

compression_workers& workers()
{
    static compression_workers the_workers;
    return the_workers;
}

// Hands the job to the workers and resumes when its last segment is done.
struct compress_segments {
    segment_job& job;

    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> awaiting)
    {
        job.continuation = awaiting;
        compression_workers& all = workers();
        if (!all.post(job))
            all.drain();  // the thread pool refuses work: this thread compresses, then resumes us
        return true;      // nothing of the job or of this awaiter is touched any more
    }
    void await_resume() const noexcept {}
};

[[noreturn]] void throw_out_of_memory() { tavik::details::throw_hresult(E_OUTOFMEMORY); }

void ensure_capacity(page_buffer& buffer, std::uint64_t needed)
{
    if (needed <= buffer.capacity)
        return;
    if (needed > std::numeric_limits<std::uint32_t>::max() - page_buffer::page_size)
        throw_out_of_memory();
    const std::uint64_t target =
        std::min<std::uint64_t>(std::max<std::uint64_t>(2 * std::uint64_t(buffer.capacity), needed),
                                std::numeric_limits<std::uint32_t>::max() - page_buffer::page_size);
    try {
        buffer.reserve(static_cast<std::uint32_t>(target));
    } catch (const std::bad_alloc&) {
        throw_out_of_memory();
    }
}

std::byte* put_length_extension(std::byte* out, std::uint64_t extra) noexcept
{
    while (extra >= 255) {
        *out++ = std::byte{255};
        extra -= 255;
    }
    *out++ = std::byte(extra);
    return out;
}

} // namespace

std::uint64_t compressed_bound(std::uint32_t length) noexcept
{
    std::uint64_t total = 0;
    for (std::uint32_t offset = 0; offset < length; offset += compression_segment_length)
        total += segment_bound(std::min(compression_segment_length, length - offset));
    return total;
}

bool join_lz4_blocks(const std::byte* const* parts, const std::uint32_t* lengths, std::size_t count, std::byte* out,
                     std::uint64_t& joined)
{
    // Literals that end a part wait for the first sequence of the next part, which takes them in
    // front of its own. A part without any match leaves all of its bytes waiting.
    struct literals {
        const std::byte* data;
        std::uint64_t length;
    };
    // Each part leaves at most one run waiting.
    std::vector<literals> waiting(count);
    std::size_t waiting_count = 0;
    std::uint64_t waiting_length = 0;

    std::byte* o = out;
    for (std::size_t p = 0; p < count; ++p) {
        const std::byte* q = parts[p];
        const std::byte* const end = q + lengths[p];
        const std::byte* verbatim = q;  // sequences from here on are copied as they are
        while (q < end) {
            const std::byte* const sequence = q;
            const unsigned token = unsigned(*q++);
            std::uint64_t literal_length = token >> 4;
            if (literal_length == 15) {
                unsigned more = 255;
                while (more == 255) {
                    if (q >= end)
                        return false;
                    more = unsigned(*q++);
                    literal_length += more;
                }
            }
            if (literal_length > std::uint64_t(end - q))
                return false;
            const std::byte* const literal_bytes = q;
            q += literal_length;
            if (q == end) {
                // The part's last sequence: literals only.
                std::memcpy(o, verbatim, static_cast<std::size_t>(sequence - verbatim));
                o += sequence - verbatim;
                if (literal_length != 0) {
                    waiting[waiting_count++] = {literal_bytes, literal_length};
                    waiting_length += literal_length;
                }
                break;
            }
            if (end - q < 2)
                return false;
            q += 2;  // the match offset
            if ((token & 15) == 15) {
                unsigned more = 255;
                while (more == 255) {
                    if (q >= end)
                        return false;
                    more = unsigned(*q++);
                }
            }
            if (waiting_count != 0) {
                // The first sequence of a part after waiting literals: one sequence with all of them.
                const std::uint64_t total = waiting_length + literal_length;
                *o++ = std::byte((std::min<std::uint64_t>(total, 15) << 4) | (token & 15));
                if (total >= 15)
                    o = put_length_extension(o, total - 15);
                for (std::size_t i = 0; i < waiting_count; ++i) {
                    std::memcpy(o, waiting[i].data, static_cast<std::size_t>(waiting[i].length));
                    o += waiting[i].length;
                }
                std::memcpy(o, literal_bytes, static_cast<std::size_t>(literal_length));
                o += literal_length;
                const std::byte* const match = literal_bytes + literal_length;
                std::memcpy(o, match, static_cast<std::size_t>(q - match));
                o += q - match;
                waiting_count = 0;
                waiting_length = 0;
                verbatim = q;
            }
        }
        if (q != end)
            return false;
    }
    // The block's last sequence: every literal still waiting.
    *o++ = std::byte(std::min<std::uint64_t>(waiting_length, 15) << 4);
    if (waiting_length >= 15)
        o = put_length_extension(o, waiting_length - 15);
    for (std::size_t i = 0; i < waiting_count; ++i) {
        std::memcpy(o, waiting[i].data, static_cast<std::size_t>(waiting[i].length));
        o += waiting[i].length;
    }
    joined = static_cast<std::uint64_t>(o - out);
    return true;
}

tavik::details::future<std::uint32_t> compress_content(const std::byte* content, std::uint32_t length,
                                                       page_buffer& out, std::uint32_t out_offset,
                                                       page_buffer_pool& pool, int level,
                                                       const tavik::details::cancellation_source* cancel)
{
    if (length == 0)
        tavik::details::throw_hresult(E_INVALIDARG);
    const std::uint32_t count = segment_count(length);
    const std::uint64_t bound = compressed_bound(length);
    ensure_capacity(out, out_offset + bound);

    segment_job job;
    job.content = content;
    job.length = length;
    job.level = level;
    job.cancel = cancel;
    job.count = count;
    job.remaining.store(count, std::memory_order_relaxed);
    try {
        job.part_offsets.resize(count);
        job.part_lengths.assign(count, 0);
    } catch (const std::bad_alloc&) {
        throw_out_of_memory();
    }

    // One segment goes straight into `out`; several into a working buffer first, then joined.
    page_buffer parts;
    if (count == 1) {
        job.parts = out.data + out_offset;
    } else {
        parts = pool.take_fitting(static_cast<std::uint32_t>(std::min<std::uint64_t>(bound, UINT32_MAX)));
        parts.used = 0;
        std::exception_ptr failure;
        try {
            ensure_capacity(parts, bound);
        } catch (...) {
            failure = std::current_exception();
        }
        if (failure) {
            pool.give(std::move(parts));
            std::rethrow_exception(failure);
        }
        job.parts = parts.data;
    }
    std::uint64_t at = 0;
    for (std::uint32_t i = 0; i < count; ++i) {
        job.part_offsets[i] = at;
        at += segment_bound(std::min(compression_segment_length, length - i * compression_segment_length));
    }

    co_await compress_segments{job};

    HRESULT failure = S_OK;
    if (cancel && cancel->is_cancelled())
        failure = HRESULT_FROM_WIN32(ERROR_CANCELLED);
    else if (job.out_of_memory.load())
        failure = E_OUTOFMEMORY;
    else if (std::find(job.part_lengths.begin(), job.part_lengths.end(), 0u) != job.part_lengths.end())
        failure = E_FAIL;  // LZ4 refused a segment, which a bound-sized output never makes it do

    std::uint64_t joined = job.part_lengths[0];
    if (failure == S_OK && count > 1) {
        std::vector<const std::byte*> starts(count);
        for (std::uint32_t i = 0; i < count; ++i)
            starts[i] = parts.data + job.part_offsets[i];
        if (!join_lz4_blocks(starts.data(), job.part_lengths.data(), count, out.data + out_offset, joined))
            failure = E_FAIL;
    }
    if (parts.data)
        pool.give(std::move(parts));
    if (failure == HRESULT_FROM_WIN32(ERROR_CANCELLED))
        tavik::details::throw_operation_cancelled();
    if (failure != S_OK)
        tavik::details::throw_hresult(failure);
    co_return static_cast<std::uint32_t>(joined);
}

} // namespace dedup
