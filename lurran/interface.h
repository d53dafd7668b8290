#pragma once
// Declaring an RPC interface, serving it (server_of) and calling it (client_of).
//
// An interface is a type with a `methods` list; a method's position in the list is its index,
// which selects its handler slot on the serving side and its proxy slot on the calling side:
//
//   struct RepoClient {
//       using progress = lurran::one_way_method<0xCB084E46, std::uint64_t, std::wstring, std::uint64_t, std::uint64_t>;
//       using methods = lurran::method_list<progress>;
//   };
//
// A two-way method `method<Id, R(Args...)>` is called with a request and answered by one reply
// (the encoded R) or one error reply; its handler takes the decoded arguments by value and returns
// a tavik future of R. A one-way method `one_way_method<Id, Args...>` is sent as a one-way message
// and never answered; its handler returns nothing and nothing waits for what it does.

#include <lurran/encoding.h>
#include <lurran/handler_slot.h>
#include <lurran/message.h>

#include <tavik/error.h>
#include <tavik/future.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <tuple>
#include <type_traits>
#include <utility>
#include <vector>

namespace lurran {

template <std::uint32_t Id, typename Signature>
struct method;

template <std::uint32_t Id, typename R, typename... Args>
struct method<Id, R(Args...)> {
    static constexpr std::uint32_t id = Id;
    static constexpr bool is_one_way = false;
    using result_type = R;
    using arguments = std::tuple<Args...>;
    using handler_type = details::handler_slot<tavik::details::future<R>(Args...)>;
    using proxy_type = details::handler_slot<tavik::details::future<R>(Args...)>;
};

template <std::uint32_t Id, typename... Args>
struct one_way_method {
    static constexpr std::uint32_t id = Id;
    static constexpr bool is_one_way = true;
    using result_type = void;
    using arguments = std::tuple<Args...>;
    using handler_type = details::handler_slot<void(Args...)>;
    using proxy_type = details::handler_slot<void(Args...)>;
};

template <typename... Methods>
struct method_list {
    static constexpr std::size_t size = sizeof...(Methods);
};

// The interface of a connection side that serves or calls nothing.
struct no_interface {
    using methods = method_list<>;
};

namespace details {

// One entry of a served interface's method table.
struct method_entry {
    std::uint32_t id;
    std::uint32_t index;
};

inline constexpr HRESULT e_notimpl = static_cast<HRESULT>(0x80004001);
inline constexpr HRESULT e_invalidarg = static_cast<HRESULT>(0x80070057);
inline constexpr HRESULT e_fail = static_cast<HRESULT>(0x80004005);

// Lower-bound binary search over a table sorted by id (compared as unsigned numbers): the method
// index, or -1 when the id is not in the table.
constexpr std::int64_t lookup_method(std::span<const method_entry> table, std::uint32_t id) noexcept
{
    const method_entry* first = table.data();
    std::size_t count = table.size();
    while (count > 0) {
        std::size_t half = count / 2;
        if (first[half].id < id) {
            first += half + 1;
            count -= half + 1;
        } else {
            count = half;
        }
    }
    if (first != table.data() + table.size() && first->id == id)
        return first->index;
    return -1;
}

template <typename List>
struct method_traits;

template <typename... Ms>
struct method_traits<method_list<Ms...>> {
    static constexpr std::size_t size = sizeof...(Ms);

    template <std::size_t I>
    using at = std::tuple_element_t<I, std::tuple<Ms...>>;

    template <typename M>
    static constexpr std::size_t index_of()
    {
        constexpr bool found[] = {std::is_same_v<M, Ms>..., false};
        for (std::size_t i = 0; i < sizeof...(Ms); ++i)
            if (found[i])
                return i;
        return sizeof...(Ms);
    }

    static constexpr std::array<method_entry, sizeof...(Ms)> make_table()
    {
        std::array<method_entry, sizeof...(Ms)> t{};
        std::uint32_t i = 0;
        ((t[i] = method_entry{Ms::id, i}, ++i), ...);
        std::sort(t.begin(), t.end(), [](const method_entry& a, const method_entry& b) { return a.id < b.id; });
        return t;
    }

    static constexpr bool ids_unique()
    {
        auto t = make_table();
        for (std::size_t i = 1; i < t.size(); ++i)
            if (t[i - 1].id == t[i].id)
                return false;
        return true;
    }

    using handler_tuple = std::tuple<typename Ms::handler_type...>;
    using proxy_tuple = std::tuple<typename Ms::proxy_type...>;
};

template <typename Tuple>
struct tuple_decoder;
template <typename... Ts>
struct tuple_decoder<std::tuple<Ts...>> {
    static std::tuple<Ts...> decode(std::span<const std::byte> body) { return decode_values<Ts...>(body); }
};

} // namespace details

// The served part of a connection: one handler slot per method of I, which the owner fills before
// the connection starts, and I's constant method table. Several requests of one connection run
// their handlers at the same time; a handler must allow that.
template <typename I>
class server_of {
    using traits = details::method_traits<typename I::methods>;
    static_assert(traits::ids_unique(), "two methods of an interface share an id");

public:
    using interface_type = I;

    // Sorted by id, compared as unsigned numbers; constant and shared by all connections.
    static constexpr auto method_table = traits::make_table();

    template <typename M>
    auto& handler() noexcept
    {
        constexpr std::size_t index = traits::template index_of<M>();
        static_assert(index < traits::size, "the method is not part of the served interface");
        return std::get<index>(handlers_);
    }
    template <std::size_t Index>
    auto& handler() noexcept
    {
        return std::get<Index>(handlers_);
    }

    // Two-way dispatch of one request: the reply body, or a failure (E_NOTIMPL for an id the
    // table lacks or a handler the owner left empty; E_INVALIDARG for a malformed body or when
    // nothing is served; whatever the handler raised). A request that names a one-way method
    // gets an empty reply and runs no handler.
    tavik::details::future<std::vector<std::byte>> dispatch(std::uint32_t method_id, std::vector<std::byte> body)
    {
        if constexpr (traits::size == 0) {
            (void)method_id;
            (void)body;
            tavik::details::throw_hresult(details::e_invalidarg);
        } else {
            std::int64_t index = details::lookup_method(method_table, method_id);
            if (index < 0)
                tavik::details::throw_hresult(details::e_notimpl);
            co_return co_await invokers_[std::size_t(index)](*this, std::move(body));
        }
    }

    // One-way delivery: a one-way method's handler is invoked with the decoded arguments and
    // nothing waits for it; a two-way method's id is ignored. Raises E_NOTIMPL for an id the table
    // lacks (the connection drops it) and E_INVALIDARG for a malformed body.
    void deliver_one_way(std::uint32_t method_id, std::span<const std::byte> body)
    {
        if constexpr (traits::size != 0) {
            std::int64_t index = details::lookup_method(method_table, method_id);
            if (index < 0)
                tavik::details::throw_hresult(details::e_notimpl);
            one_way_invokers_[std::size_t(index)](*this, body);
        } else {
            (void)method_id;
            (void)body;
            tavik::details::throw_hresult(details::e_notimpl);
        }
    }

protected:
    server_of() = default;

private:
    template <std::size_t K>
    static tavik::details::future<std::vector<std::byte>> invoke_two_way(server_of& self, std::vector<std::byte> body)
    {
        using M = typename traits::template at<K>;
        if constexpr (M::is_one_way) {
            co_return std::vector<std::byte>{};
        } else {
            auto args = details::tuple_decoder<typename M::arguments>::decode(body);
            // The reply is built in the request's buffer, but only in a small one: bytes after
            // the arguments are ignored, so a peer can pad any request up to max_body_size, and
            // such a buffer must not stay allocated while the handler runs nor travel on as the
            // queued reply's.
            if (body.capacity() > reply_buffer_reuse_limit)
                std::vector<std::byte>().swap(body);
            else
                body.clear();
            auto& slot = std::get<K>(self.handlers_);
            if (!slot)
                tavik::details::throw_hresult(details::e_notimpl);
            auto pending = std::apply([&](auto&... a) { return slot(std::move(a)...); }, args);
            // The handler ran on this thread; from here on nothing of the connection is touched,
            // so the connection may shut down while the handler's future is outstanding.
            if constexpr (std::is_void_v<typename M::result_type>) {
                co_await pending;
                co_return std::vector<std::byte>{};
            } else {
                auto result = co_await pending;
                details::encode_values(body, result);
                co_return std::move(body);
            }
        }
    }

    template <std::size_t K>
    static void invoke_one_way(server_of& self, std::span<const std::byte> body)
    {
        using M = typename traits::template at<K>;
        if constexpr (M::is_one_way) {
            auto args = details::tuple_decoder<typename M::arguments>::decode(body);
            auto& slot = std::get<K>(self.handlers_);
            if (!slot)
                tavik::details::throw_hresult(details::e_notimpl);
            std::apply([&](auto&... a) { slot(std::move(a)...); }, args);
        }
    }

    // Largest request buffer kept to build the reply in; far above every reply of the product.
    static constexpr std::size_t reply_buffer_reuse_limit = 4096;

    using invoker = tavik::details::future<std::vector<std::byte>> (*)(server_of&, std::vector<std::byte>);
    using one_way_invoker = void (*)(server_of&, std::span<const std::byte>);

    template <std::size_t... K>
    static constexpr std::array<invoker, sizeof...(K)> make_invokers(std::index_sequence<K...>)
    {
        return {&invoke_two_way<K>...};
    }
    template <std::size_t... K>
    static constexpr std::array<one_way_invoker, sizeof...(K)> make_one_way_invokers(std::index_sequence<K...>)
    {
        return {&invoke_one_way<K>...};
    }

    static constexpr auto invokers_ = make_invokers(std::make_index_sequence<traits::size>{});
    static constexpr auto one_way_invokers_ = make_one_way_invokers(std::make_index_sequence<traits::size>{});

    typename traits::handler_tuple handlers_;
};

// The called part of a connection: one proxy slot per method of J, bound by the connection's
// constructor to the connection and the method's id. A two-way proxy encodes its arguments, sends
// the request and completes with the decoded reply (an error reply raises a traceable error with
// its HRESULT, the end of the connection operation_cancelled); a one-way proxy sends and returns
// at once.
template <typename J>
class client_of {
    using traits = details::method_traits<typename J::methods>;

public:
    using interface_type = J;

    template <typename M>
    auto& proxy() noexcept
    {
        constexpr std::size_t index = traits::template index_of<M>();
        static_assert(index < traits::size, "the method is not part of the called interface");
        return std::get<index>(proxies_);
    }
    template <std::size_t Index>
    auto& proxy() noexcept
    {
        return std::get<Index>(proxies_);
    }

protected:
    client_of() = default;

    // Core: anything with call(method id, body) -> future<vector<byte>> and
    // send_one_way(method id, body).
    template <typename Core>
    void bind_proxies(Core* core)
    {
        bind_each(core, std::make_index_sequence<traits::size>{});
    }

private:
    template <typename Core, std::size_t... K>
    void bind_each([[maybe_unused]] Core* core, std::index_sequence<K...>)
    {
        (bind_one<Core, K>(core), ...);
    }

    template <typename Core, std::size_t K>
    void bind_one(Core* core)
    {
        using M = typename traits::template at<K>;
        bind_method<Core, M>(core, std::get<K>(proxies_), static_cast<typename M::arguments*>(nullptr));
    }

    template <typename Core, typename M, typename... Args>
    static void bind_method(Core* core, typename M::proxy_type& slot, std::tuple<Args...>*)
    {
        if constexpr (M::is_one_way) {
            slot.assign([core](Args... args) {
                std::vector<std::byte> body;
                details::encode_values(body, args...);
                core->send_one_way(M::id, std::move(body));
            });
        } else {
            slot.assign([core](Args... args) { return call_two_way<typename M::result_type, Core, Args...>(core, M::id, std::move(args)...); });
        }
    }

    template <typename R, typename Core, typename... Args>
    static tavik::details::future<R> call_two_way(Core* core, std::uint32_t id, Args... args)
    {
        std::vector<std::byte> body;
        details::encode_values(body, args...);
        std::vector<std::byte> reply = co_await core->call(id, std::move(body));
        if constexpr (!std::is_void_v<R>)
            co_return details::decode_result<R>(reply);
    }

    typename traits::proxy_tuple proxies_;
};

} // namespace lurran
