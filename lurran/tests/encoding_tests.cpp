// Wire encodings, the method table, handler slots and dispatch, without a pipe.
#include "test_support.h"

#include <lurran/encoding.h>
#include <lurran/handler_slot.h>
#include <lurran/interface.h>
#include <lurran/message.h>

#include <cstring>

namespace lurran_test {
namespace {

using namespace lurran;
using namespace lurran::details;
using tavik::details::future;

template <class... Ts>
bytes encode(const Ts&... values)
{
    bytes out;
    encode_values(out, values...);
    return out;
}

HRESULT code_of(auto&& f)
{
    try {
        f();
        return S_OK;
    } catch (const tavik::details::hresult_error_impl& e) {
        return e.code();
    }
}

struct record32 {
    std::uint64_t uncompressed, unique, compressed, blocks;
};

TEST(Encoding, GoldenBytes)
{
    EXPECT_EQ(encode(true, false), make_bytes({1, 0}));
    EXPECT_EQ(encode(std::uint8_t(0xAB)), make_bytes({0xAB}));
    EXPECT_EQ(encode(std::int32_t(-2)), make_bytes({0xFE, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(encode(std::uint64_t(0x0102030405060708)), make_bytes({8, 7, 6, 5, 4, 3, 2, 1}));
    EXPECT_EQ(encode(std::wstring()), make_bytes({0, 0, 0, 0}));
    EXPECT_EQ(encode(std::wstring(L"ab")), make_bytes({2, 0, 0, 0, 0x61, 0, 0x62, 0}));
    EXPECT_EQ(encode(std::vector<std::uint16_t>{1, 0x203}), make_bytes({2, 0, 0, 0, 1, 0, 3, 2}));
    EXPECT_EQ(encode(std::vector<std::wstring>{L"", L"x"}), make_bytes({2, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0x78, 0}));
    EXPECT_EQ(encode(std::expected<std::uint32_t, long>(std::unexpected(long(0x80070420)))), make_bytes({0, 0x20, 0x04, 0x07, 0x80}));
    EXPECT_EQ(encode(std::expected<std::uint32_t, long>(7)), make_bytes({1, 7, 0, 0, 0}));
    EXPECT_EQ(encode(record32{1, 2, 3, 4}).size(), 32u);
    EXPECT_EQ(encode(record32{1, 2, 3, 4})[8], std::byte(2));
    // Arguments are concatenated without counts or separators: the resync request is 16 bytes.
    EXPECT_EQ(encode(std::uint64_t(1), std::int32_t(7), std::uint32_t(3)),
              make_bytes({1, 0, 0, 0, 0, 0, 0, 0, 7, 0, 0, 0, 3, 0, 0, 0}));
}

TEST(Encoding, RoundTripsAndLenientFlags)
{
    auto body = encode(std::wstring(L"stage \u00e9"), std::vector<std::uint64_t>{1, 2, 3}, true, std::int8_t(-1));
    auto [s, v, b, i] = decode_values<std::wstring, std::vector<std::uint64_t>, bool, std::int8_t>(body);
    EXPECT_EQ(s, L"stage \u00e9");
    EXPECT_EQ(v, (std::vector<std::uint64_t>{1, 2, 3}));
    EXPECT_TRUE(b);
    EXPECT_EQ(i, -1);

    // Any non-zero has-value byte means a value follows; any non-zero bool is true.
    auto e = decode_result<std::expected<std::uint32_t, long>>(make_bytes({2, 5, 0, 0, 0}));
    ASSERT_TRUE(e.has_value());
    EXPECT_EQ(*e, 5u);
    EXPECT_TRUE(decode_result<bool>(make_bytes({0x80})));

    // Trailing bytes are ignored.
    EXPECT_EQ(decode_result<std::uint32_t>(make_bytes({1, 0, 0, 0, 9})), 1u);
}

TEST(Encoding, ShortOrLyingBodiesAreRefusedWithoutReadingPastTheEnd)
{
    const HRESULT invalid = static_cast<HRESULT>(0x80070057);
    struct row {
        const char* what;
        bytes body;
        std::function<void(const bytes&)> decode;
    };
    std::vector<row> rows = {
        {"empty u32", {}, [](const bytes& b) { decode_result<std::uint32_t>(b); }},
        {"3-byte u32", make_bytes({1, 2, 3}), [](const bytes& b) { decode_result<std::uint32_t>(b); }},
        {"string count beyond body", make_bytes({3, 0, 0, 0, 0x61, 0, 0x62, 0}), [](const bytes& b) { decode_result<std::wstring>(b); }},
        {"string count 4G", make_bytes({0xFF, 0xFF, 0xFF, 0xFF}), [](const bytes& b) { decode_result<std::wstring>(b); }},
        // A count the body cannot hold is refused before anything is reserved for it.
        {"vector count 4G", make_bytes({0xFF, 0xFF, 0xFF, 0xFF, 0}), [](const bytes& b) { decode_result<std::vector<std::uint64_t>>(b); }},
        {"vector of strings count", make_bytes({0x00, 0x00, 0x00, 0x40, 0, 0, 0, 0}), [](const bytes& b) { decode_result<std::vector<std::wstring>>(b); }},
        {"expected without value", make_bytes({1, 1, 2}), [](const bytes& b) { decode_result<std::expected<std::uint32_t, long>>(b); }},
        {"expected without hresult", make_bytes({0, 1}), [](const bytes& b) { decode_result<std::expected<std::uint32_t, long>>(b); }},
        {"record cut short", bytes(31), [](const bytes& b) { decode_result<record32>(b); }},
        {"second argument missing", make_bytes({1, 0, 0, 0}), [](const bytes& b) { decode_values<std::uint32_t, std::uint32_t>(b); }},
    };
    for (auto& r : rows) {
        // A private copy of exactly the body's size, so that a read past it would be caught by
        // the allocator's guard or show as garbage.
        bytes exact(r.body.begin(), r.body.end());
        EXPECT_EQ(code_of([&] { r.decode(exact); }), invalid) << r.what;
    }
}

// A body cut anywhere before its end is refused, whichever value the cut falls in (a count, the
// units of a text, an element, a has-value byte, a record, an HRESULT).
TEST(Encoding, EveryCutOfAWellFormedBodyIsRefused)
{
    using failed = std::expected<std::uint32_t, long>;
    const bytes body = encode(std::uint64_t(9), std::wstring(L"stage"), std::vector<std::wstring>{L"a", L"", L"bc"},
                              std::expected<record32, long>(record32{1, 2, 3, 4}), failed(std::unexpected(long(5))), true);
    auto decode = [](const bytes& b) {
        return decode_values<std::uint64_t, std::wstring, std::vector<std::wstring>, std::expected<record32, long>,
                             failed, bool>(b);
    };
    for (std::size_t n = 0; n < body.size(); ++n) {
        const bytes cut(body.begin(), body.begin() + std::ptrdiff_t(n));
        EXPECT_EQ(code_of([&] { decode(cut); }), static_cast<HRESULT>(0x80070057)) << "cut at " << n;
    }
    auto [cookie, stage, names, stats, error, flag] = decode(body);
    EXPECT_EQ(cookie, 9u);
    EXPECT_EQ(stage, L"stage");
    EXPECT_EQ(names, (std::vector<std::wstring>{L"a", L"", L"bc"}));
    ASSERT_TRUE(stats.has_value());
    EXPECT_EQ(stats->compressed, 3u);
    EXPECT_EQ(error, failed(std::unexpected(long(5))));
    EXPECT_TRUE(flag);
}

TEST(Message, HeaderWordAndFrame)
{
    message_t m(make_call_word(5, message_kind::error_reply), 0xA6241A29, make_bytes({1, 2}));
    EXPECT_EQ(m.header, 0xA6241A29C0000005ull);
    EXPECT_EQ(m.call_id(), 5u);
    EXPECT_EQ(m.kind(), message_kind::error_reply);
    EXPECT_EQ(make_call_word(0x7FFFFFFF, message_kind::one_way), 0x7FFFFFFFu);
    std::byte header[12];
    encode_frame_header(m, 2, header);
    EXPECT_EQ(bytes(header, header + 12), make_bytes({5, 0, 0, 0xC0, 0x29, 0x1A, 0x24, 0xA6, 2, 0, 0, 0}));
    message_t moved(std::move(m));
    EXPECT_EQ(moved.body.size(), 2u);
    EXPECT_TRUE(m.body.empty());
}

struct two_ids {
    using a = method<0xA6241A29, void()>;
    using b = method<0x7E276E3D, void()>;
    using c = one_way_method<0xECC42F9B>;
    using methods = method_list<a, b, c>;
};

TEST(MethodTable, SortedAsUnsignedAndFoundByLookup)
{
    constexpr auto& table = server_of<two_ids>::method_table;
    static_assert(table[0].id == 0x7E276E3D && table[0].index == 1);
    static_assert(table[1].id == 0xA6241A29 && table[1].index == 0);
    static_assert(table[2].id == 0xECC42F9B && table[2].index == 2);
    EXPECT_EQ(lookup_method(table, 0x7E276E3D), 1);
    EXPECT_EQ(lookup_method(table, 0xA6241A29), 0);
    EXPECT_EQ(lookup_method(table, 0xECC42F9B), 2);
    for (std::uint32_t missing : {0u, 0x7E276E3Cu, 0x7E276E3Eu, 0xFFFFFFFFu})
        EXPECT_EQ(lookup_method(table, missing), -1) << missing;
    EXPECT_EQ(lookup_method({}, 1), -1);
}

struct counted {
    static inline int alive = 0;
    int* calls;
    explicit counted(int* c) : calls(c) { ++alive; }
    counted(counted&& o) noexcept : calls(o.calls) { ++alive; }
    ~counted() { --alive; }
    int operator()(int x) const
    {
        ++*calls;
        return x * 2;
    }
};

TEST(HandlerSlot, MovesRelocateAndDestroyExactlyOnce)
{
    int calls = 0;
    {
        handler_slot<int(int)> a(counted{&calls});
        EXPECT_EQ(counted::alive, 1);
        handler_slot<int(int)> b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_EQ(counted::alive, 1);
        EXPECT_EQ(b(21), 42);
        handler_slot<int(int)> c;
        c.assign([](int x) { return x; });
        c = std::move(b);
        EXPECT_EQ(c(1), 2);
        EXPECT_EQ(counted::alive, 1);
        // Seven pointers of captures fit inline.
        void* p[7] = {};
        handler_slot<int(int)>::assign(c, [p](int x) { return x + int(sizeof p); });
        EXPECT_EQ(counted::alive, 0);
        EXPECT_EQ(c(0), 56);
    }
    EXPECT_EQ(counted::alive, 0);
    EXPECT_EQ(calls, 2);
}

struct served_two_ids : server_of<two_ids> {};

TEST(Dispatch, OneWayMethodsAndUnknownIds)
{
    served_two_ids s;
    int a = 0, c = 0;
    s.handler<two_ids::a>().assign([&a]() -> future<void> {
        ++a;
        co_return;
    });
    // The b handler is left empty: a request for it is refused, never a crash.
    s.handler<two_ids::c>().assign([&c]() { ++c; });

    auto ok = s.dispatch(0xA6241A29, {});
    EXPECT_TRUE(tavik::details::wait_blocking_result(std::move(ok)).empty());
    EXPECT_EQ(a, 1);

    auto unknown = s.dispatch(0x12345678, {});
    EXPECT_EQ(failure_of(unknown), static_cast<HRESULT>(0x80004001));
    auto empty_slot = s.dispatch(0x7E276E3D, {});
    EXPECT_EQ(failure_of(empty_slot), static_cast<HRESULT>(0x80004001));

    // A request naming a one-way method: empty reply, no handler.
    auto one_way_as_request = s.dispatch(0xECC42F9B, make_bytes({1, 2, 3}));
    EXPECT_TRUE(tavik::details::wait_blocking_result(std::move(one_way_as_request)).empty());
    EXPECT_EQ(c, 0);

    // A one-way message naming a two-way method: nothing runs.
    s.deliver_one_way(0xA6241A29, {});
    EXPECT_EQ(a, 1);
    s.deliver_one_way(0xECC42F9B, {});
    EXPECT_EQ(c, 1);
    EXPECT_EQ(code_of([&] { s.deliver_one_way(0x1, {}); }), static_cast<HRESULT>(0x80004001));
}

struct served_nothing : server_of<no_interface> {};

TEST(Dispatch, ServingNothingAnswersInvalidArg)
{
    served_nothing s;
    auto f = s.dispatch(0xA6241A29, {});
    EXPECT_EQ(failure_of(f), static_cast<HRESULT>(0x80070057));
}

} // namespace
} // namespace lurran_test
