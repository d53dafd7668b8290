#pragma once
// An owning reference to a COM object: it holds one reference and calls Release when it lets go.

#include <ostrel/com/object.h>

#include <cstddef>
#include <utility>

namespace Ostrel::com {

template <class I>
class ptr {
public:
    ptr() noexcept = default;
    ptr(std::nullptr_t) noexcept {}
    // Takes one new reference on `p`.
    explicit ptr(I* p) noexcept : p_(p)
    {
        if (p_)
            p_->AddRef();
    }
    ptr(const ptr& other) noexcept : ptr(other.p_) {}
    ptr(ptr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    template <class U>
        requires std::is_convertible_v<U*, I*>
    ptr(ptr<U> other) noexcept : p_(other.detach())
    {
    }
    ptr& operator=(ptr other) noexcept
    {
        std::swap(p_, other.p_);
        return *this;
    }
    ~ptr() { reset(); }

    // Adopts a reference that the caller already holds (an out pointer filled by QueryInterface).
    static ptr adopt(I* p) noexcept
    {
        ptr result;
        result.p_ = p;
        return result;
    }

    void reset() noexcept
    {
        if (I* p = std::exchange(p_, nullptr))
            p->Release();
    }
    // Gives up the reference without releasing it.
    I* detach() noexcept { return std::exchange(p_, nullptr); }

    I* get() const noexcept { return p_; }
    I* operator->() const noexcept { return p_; }
    I& operator*() const noexcept { return *p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

private:
    I* p_ = nullptr;
};

// Allocates an object of the implementing class T and takes its first reference.
template <class T, class... Args>
ptr<T> make(Args&&... args)
{
    return ptr<T>(new details::value<T>(std::forward<Args>(args)...));
}

} // namespace Ostrel::com
