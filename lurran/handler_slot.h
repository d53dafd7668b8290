#pragma once
// handler_slot<R(Args...)>: the move-only callable the library stores wherever its owner supplies
// code (method handlers, proxies, the close handler). It never allocates: the callable lives
// inline, up to seven pointers in size, and a larger one is refused at compile time.

#include <cstddef>
#include <cstring>
#include <exception>
#include <new>
#include <type_traits>
#include <utility>

namespace lurran::details {

template <typename Signature>
class handler_slot;

template <typename R, typename... Args>
class handler_slot<R(Args...)> {
public:
    static constexpr std::size_t capacity = 7 * sizeof(void*);

    // In this order: invoke, relocate, destroy. A null relocate means the captures may be copied
    // bitwise; a null destroy means there is nothing to destroy.
    struct operations {
        R (*invoke)(void* captures, Args... args);
        void (*relocate)(void* to, void* from) noexcept;
        void (*destroy)(void* captures) noexcept;
    };

    handler_slot() noexcept = default;

    template <typename F>
        requires(!std::is_same_v<std::remove_cvref_t<F>, handler_slot>) && std::is_invocable_r_v<R, std::decay_t<F>&, Args...>
    handler_slot(F&& f) noexcept(std::is_nothrow_constructible_v<std::decay_t<F>, F&&>)
    {
        emplace(std::forward<F>(f));
    }

    handler_slot(handler_slot&& other) noexcept { take(other); }
    handler_slot& operator=(handler_slot&& other) noexcept
    {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    handler_slot(const handler_slot&) = delete;
    handler_slot& operator=(const handler_slot&) = delete;
    ~handler_slot() { reset(); }

    // Moves a callable into the slot, destroying what it held.
    template <typename F>
    static void assign(handler_slot& slot, F&& f)
    {
        slot.reset();
        slot.emplace(std::forward<F>(f));
    }
    template <typename F>
    void assign(F&& f)
    {
        assign(*this, std::forward<F>(f));
    }

    void reset() noexcept
    {
        if (ops_ && ops_->destroy)
            ops_->destroy(captures_);
        ops_ = nullptr;
    }

    explicit operator bool() const noexcept { return ops_ != nullptr; }

    // Calling an empty slot is a programming error of the owner: the process ends. The
    // connection never does it on behalf of a peer (an unfilled handler answers E_NOTIMPL).
    R operator()(Args... args) const
    {
        if (!ops_)
            std::terminate();
        return ops_->invoke(const_cast<std::byte*>(captures_), std::forward<Args>(args)...);
    }

private:
    template <typename F>
    void emplace(F&& f)
    {
        using D = std::decay_t<F>;
        static_assert(sizeof(D) <= capacity, "a handler's captures must fit in seven pointers");
        static_assert(alignof(D) <= alignof(void*), "a handler's captures must not be over-aligned");
        static_assert(std::is_nothrow_move_constructible_v<D>, "a handler must be movable without throwing");
        ::new (static_cast<void*>(captures_)) D(std::forward<F>(f));
        ops_ = &ops_for<D>;
    }

    template <typename D>
    static R invoke_impl(void* c, Args... args)
    {
        return (*static_cast<D*>(c))(std::forward<Args>(args)...);
    }
    template <typename D>
    static void relocate_impl(void* to, void* from) noexcept
    {
        ::new (to) D(std::move(*static_cast<D*>(from)));
        static_cast<D*>(from)->~D();
    }
    template <typename D>
    static void destroy_impl(void* c) noexcept
    {
        static_cast<D*>(c)->~D();
    }

    template <typename D>
    static constexpr operations ops_for{
        &invoke_impl<D>,
        std::is_trivially_copyable_v<D> ? nullptr : &relocate_impl<D>,
        std::is_trivially_destructible_v<D> ? nullptr : &destroy_impl<D>,
    };

    void take(handler_slot& other) noexcept
    {
        ops_ = other.ops_;
        if (!ops_)
            return;
        if (ops_->relocate)
            ops_->relocate(captures_, other.captures_);
        else
            std::memcpy(captures_, other.captures_, capacity);
        other.ops_ = nullptr;
    }

    const operations* ops_ = nullptr;
    alignas(void*) std::byte captures_[capacity];
};

} // namespace lurran::details
