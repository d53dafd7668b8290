#pragma once
// usage_latch: lets an owner wait for users that may end on any thread.

#include <tavik/future.h>

#include <atomic>
#include <cstdint>
#include <memory>

namespace dedup {

// Counts the users of something that must outlive them (client connections, commands of the
// file system). The owner's own hold is dropped by `close`, whose future completes when the last
// user has left. Users may enter and leave on any thread, also after `close`.
class usage_latch {
public:
    void enter() noexcept { count_.fetch_add(1, std::memory_order_relaxed); }
    void leave() noexcept;
    // Awaited once, by the owner.
    tavik::details::future<void> close();
    std::uint64_t users() const noexcept { return count_.load(std::memory_order_acquire) - (closed_ ? 0 : 1); }

private:
    std::atomic<std::uint64_t> count_{1};
    bool closed_ = false;
    std::shared_ptr<tavik::details::promise_type_<void>> idle_ = std::make_shared<tavik::details::promise_type_<void>>();
};

// Holds a latch entered from construction to destruction; a null latch holds nothing.
class usage_hold {
public:
    explicit usage_hold(usage_latch* latch) noexcept : latch_(latch)
    {
        if (latch_)
            latch_->enter();
    }
    usage_hold(const usage_hold&) = delete;
    usage_hold& operator=(const usage_hold&) = delete;
    ~usage_hold()
    {
        if (latch_)
            latch_->leave();
    }

private:
    usage_latch* latch_;
};

} // namespace dedup
