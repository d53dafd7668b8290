#pragma once
// The COM object template: a class names the interfaces it answers for, and the template supplies
// IUnknown, the reference count and the deletion at the last Release.
//
//     class thing : public Ostrel::com::details::object<thing, IFirst, ISecond> {
//         // IFirst and ISecond methods; AddRef and Release stay abstract here
//     };
//     auto p = Ostrel::com::make<thing>(constructor arguments);   // count 1, held by p
//
// How an object is built, base by base (the order of the bases is the order of their data):
//
//   value<T>                       the allocatable object: T, then final_construct_support
//     T                            the implementing class and its members
//       object<T, I...>            QueryInterface over the list; the first interface is the main face
//         extends_base<I...>       the listed interfaces as bases, one table each
//     final_construct_support<T, ref_count_base>
//       ref_count_base             the 32-bit count, 0 after construction
//       usage_map_base<false>      empty
//
// An interface declares its own base interfaces through extends<I, B...>; every table starts with
// the IUnknown slots, and the deleting destructor comes after the main face's own slots. A
// further face's IUnknown slots forward to the main ones (the compiler's adjusting thunks).
//
// Listing the trait Ostrel::com::increments_module_count among the interfaces makes the object
// count in the module's count (module_count below) from construction until after its final
// Release has destroyed it; the trait is no interface and takes no table.
//
// Interfaces are identified by __uuidof: the platform's interfaces carry their identifiers in
// mingw-w64's headers; our own declare theirs with __CRT_UUID_DECL at global scope.
//
// Threads: AddRef and Release may be called from any thread at once; the count is changed only by
// interlocked (sequentially consistent) operations, and exactly one caller sees it reach 0 and
// destroys the object, on its own thread. The implementing class guards its own state.

#include <windows.h>
#include <unknwn.h>

#include <new>
#include <type_traits>
#include <utility>

namespace Ostrel::com {

// Trait for the interface list: the object counts in module_count while it lives.
struct increments_module_count {};

// The module's count of living counted objects (and, in a COM server, of its server locks), read
// by DllCanUnloadNow. One per module: every DLL or program has its own.
inline volatile LONG module_count = 0;

namespace details {

template <class... Interfaces>
struct extends_base : public Interfaces... {};

// An interface I that derives from the interfaces B.
template <class I, class... B>
struct extends : public extends_base<B...> {};

class ref_count_base {
protected:
    ULONG add_reference() noexcept { return static_cast<ULONG>(InterlockedIncrement(&count_)); }
    ULONG release_reference() noexcept { return static_cast<ULONG>(InterlockedDecrement(&count_)); }

private:
    volatile LONG count_ = 0;
};

template <bool Enabled>
struct usage_map_base {};

// Places the count after T's members. Construction needs no further step here.
template <class T, class Base>
class final_construct_support : public Base, public usage_map_base<false> {};

template <class... Interfaces>
struct type_list {};

// The interface list without the traits: the bases and the identities QueryInterface answers.
template <class Kept, class... Rest>
struct interfaces_of;
template <class... Kept>
struct interfaces_of<type_list<Kept...>> {
    using bases = extends_base<Kept...>;
    using list = type_list<Kept...>;
};
template <class... Kept, class First, class... Rest>
struct interfaces_of<type_list<Kept...>, First, Rest...>
    : interfaces_of<std::conditional_t<std::is_same_v<First, increments_module_count>, type_list<Kept...>,
                                       type_list<Kept..., First>>,
                    Rest...> {};

template <class First, class... Rest>
struct first_of {
    using type = First;
};

template <class T, class... Items>
class object : public interfaces_of<type_list<>, Items...>::bases {
    using list = typename interfaces_of<type_list<>, Items...>::list;

public:
    // The main face: the first interface of the list.
    using primary_interface = typename first_of<Items...>::type;
    static_assert(!std::is_same_v<primary_interface, increments_module_count>,
                  "the first entry of the list must be an interface");
    static constexpr bool counts_in_module = (std::is_same_v<Items, increments_module_count> || ...);

    // IUnknown and each listed interface, by all 16 bytes of the identifier; AddRef on success.
    // A null out pointer answers E_POINTER and changes nothing.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        if (IsEqualGUID(iid, __uuidof(IUnknown))) {
            primary_interface* main = static_cast<primary_interface*>(this);
            main->AddRef();
            *out = main;
            return S_OK;
        }
        return find(iid, out, list{});
    }

    // One AddRef and one Release for every face; value<T> supplies them.
    ULONG STDMETHODCALLTYPE AddRef() override = 0;
    ULONG STDMETHODCALLTYPE Release() override = 0;

protected:
    object() = default;
    virtual ~object() = default;

private:
    template <class... Interfaces>
    HRESULT find(REFIID iid, void** out, type_list<Interfaces...>) noexcept
    {
        HRESULT result = E_NOINTERFACE;
        *out = nullptr;
        (void)((IsEqualGUID(iid, __uuidof(Interfaces)) ? (answer<Interfaces>(out), result = S_OK, true) : false) ||
               ...);
        return result;
    }

    template <class I>
    void answer(void** out) noexcept
    {
        I* face = static_cast<I*>(this);
        face->AddRef();
        *out = face;
    }
};

// The allocatable object: T's members first, the count last.
template <class T>
class value final : public T, public final_construct_support<T, ref_count_base> {
public:
    template <class... Args>
    explicit value(Args&&... args) : T(std::forward<Args>(args)...)
    {
        if constexpr (T::counts_in_module)
            InterlockedIncrement(&module_count);
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return this->add_reference(); }

    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG count = this->release_reference();
        if (count == 0) {
            delete this;
            if constexpr (T::counts_in_module)
                InterlockedDecrement(&module_count);
        }
        return count;
    }

private:
    ~value() override = default;
};

} // namespace details
} // namespace Ostrel::com
