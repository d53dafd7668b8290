#pragma once
// A sink that records the chunks it receives, for the chunker and stream reader tests.

#include <dedup/engine/gear_chunker.h>

#include <tavik/cancellation.h>
#include <tavik/error.h>
#include <tavik/future.h>
#include <tavik/thread_pool.h>

#include "store_test_support.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace dedup::testing {

// Keeps every chunk's length and key and the concatenation of their bytes; its references are one
// per chunk, {key, stream offset, 0}. It can cancel a source, or fail, when its Nth chunk arrives.
class recording_sink final : public stream_block_sink {
public:
    tavik::details::future<void> add_chunk(const std::byte* data, std::uint32_t length) override
    {
        if (hop_threads)
            co_await tavik::details::resume_on_thread_pool();
        bytes chunk(data, data + length);
        if (cancel_at && lengths.size() == *cancel_at && cancel)
            cancel->cancel();
        if (fail_at && lengths.size() == *fail_at)
            tavik::details::throw_hresult(fail_with);
        keys.push_back(key_of(chunk));
        refs.push_back(block_ref{keys.back(), offset, 0});
        offset += length;
        lengths.push_back(length);
        content.insert(content.end(), chunk.begin(), chunk.end());
        co_return;
    }

    tavik::details::future<void> fold_references() override
    {
        ++folds;
        co_return;
    }

    std::vector<block_ref> take_references() override { return std::move(refs); }

    std::vector<std::uint32_t> lengths;
    std::vector<block_key> keys;
    bytes content;
    std::vector<block_ref> refs;
    std::uint64_t offset = 0;
    int folds = 0;

    std::optional<std::size_t> cancel_at;  // cancel `cancel` when this many chunks have arrived
    tavik::details::cancellation_source* cancel = nullptr;
    std::optional<std::size_t> fail_at;  // raise fail_with when this many chunks have arrived
    long fail_with = static_cast<long>(0x887A0035);
    bool hop_threads = false;  // take each chunk on a pool thread, as a sink that waits for the writer does
};

} // namespace dedup::testing
