// The folder server's contract byte for byte: method tables, request and reply bodies as the two
// ends encode and decode them, refusal of short bodies, and one call of each kind between a real
// server connection and a real client connection over a pipe.

#include <dedup/api/repo_interface.h>

#include <lurran/encoding.h>
#include <lurran/pipe_transport.h>

#include <tavik/cancellation.h>
#include <tavik/error.h>
#include <tavik/future.h>

#include <testing/support/test_support.h>

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using bytes = std::vector<std::byte>;
using dedup::api::RepoClient;
using dedup::api::RepoInterface;
using lurran::details::decode_result;
using lurran::details::decode_values;
using lurran::details::encode_values;

bytes make_bytes(std::initializer_list<int> values)
{
    bytes out;
    for (int v : values)
        out.push_back(std::byte(v));
    return out;
}

void append_u32(bytes& out, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        out.push_back(std::byte(v >> (8 * i)));
}

void append_u64(bytes& out, std::uint64_t v)
{
    for (int i = 0; i < 8; ++i)
        out.push_back(std::byte(v >> (8 * i)));
}

dedup::resync_stats sample_resync_stats()
{
    dedup::resync_stats s;
    s.uncompressed_size = 0x1111111111111111;
    s.unique_size = 0x2222222222222222;
    s.compressed_size = 0x3333333333333333;
    s.block_count = 0x4444444444444444;
    s.files_added = 0x55;
    s.files_deleted = 0x66;
    s.folders_added = 0x77;
    s.folders_deleted = 0x88;
    s.placeholders_updated = 0x99;
    s.placeholders_purged = 0xAA;
    s.blocks_purged = 0xBB;
    s.items_skipped = 0xCC;
    return s;
}

bytes resync_stats_bytes()
{
    bytes out;
    append_u64(out, 0x1111111111111111);
    append_u64(out, 0x2222222222222222);
    append_u64(out, 0x3333333333333333);
    append_u64(out, 0x4444444444444444);
    for (std::uint32_t v : {0x55u, 0x66u, 0x77u, 0x88u, 0x99u, 0xAAu, 0xBBu, 0xCCu})
        append_u32(out, v);
    return out;
}

TEST(RepoInterfaceContract, MethodTablesAreSortedByUnsignedId)
{
    using served = lurran::server_of<RepoInterface>;
    const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {
        {0x7E276E3D, 1}, {0xA6241A29, 4}, {0xD3E1F0DB, 2}, {0xDB9215FD, 3}, {0xECC42F9B, 0}};
    ASSERT_EQ(served::method_table.size(), expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(served::method_table[i].id, expected[i].first) << i;
        EXPECT_EQ(served::method_table[i].index, expected[i].second) << i;
    }
    using client = lurran::server_of<RepoClient>;
    ASSERT_EQ(client::method_table.size(), 1u);
    EXPECT_EQ(client::method_table[0].id, 0xCB084E46u);
    EXPECT_EQ(client::method_table[0].index, 0u);
}

TEST(RepoInterfaceContract, RequestBodies)
{
    bytes resync;
    encode_values(resync, std::uint64_t(1), std::int32_t(7), dedup::purge_flags::from_bits(3));
    bytes expected;
    append_u64(expected, 1);
    append_u32(expected, 7);
    append_u32(expected, 3);
    EXPECT_EQ(resync, expected);

    bytes negative_level;
    encode_values(negative_level, std::uint64_t(0x0102030405060708), std::int32_t(-1), dedup::purge_flags{});
    EXPECT_EQ(negative_level, make_bytes({8, 7, 6, 5, 4, 3, 2, 1, 0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0}));

    bytes recover;
    encode_values(recover, std::uint64_t(0xFEDCBA9876543210));
    EXPECT_EQ(recover, make_bytes({0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xDC, 0xFE}));

    bytes force, no_force;
    encode_values(force, true);
    encode_values(no_force, false);
    EXPECT_EQ(force, make_bytes({1}));
    EXPECT_EQ(no_force, make_bytes({0}));

    // Decoding what a peer sends: any non-zero force byte is true.
    EXPECT_TRUE(std::get<0>(decode_values<bool>(make_bytes({2}))));
    auto [cookie, level, flags] =
        decode_values<std::uint64_t, std::int32_t, dedup::purge_flags>(expected);
    EXPECT_EQ(cookie, 1u);
    EXPECT_EQ(level, 7);
    EXPECT_EQ(flags.bits(), 3u);
}

TEST(RepoInterfaceContract, ReplyBodies)
{
    dedup::folder_statistics stats{1, 2, 3, 4};
    bytes info;
    encode_values(info, stats);
    bytes expected_info;
    for (std::uint64_t v : {1, 2, 3, 4})
        append_u64(expected_info, v);
    EXPECT_EQ(info, expected_info);

    bytes resync_value;
    encode_values(resync_value, std::expected<dedup::resync_stats, long>(sample_resync_stats()));
    bytes expected_value = make_bytes({1});
    bytes record = resync_stats_bytes();
    expected_value.insert(expected_value.end(), record.begin(), record.end());
    ASSERT_EQ(resync_value.size(), 65u);
    EXPECT_EQ(resync_value, expected_value);

    // The operation lock held by another operation.
    bytes resync_busy;
    encode_values(resync_busy, std::expected<dedup::resync_stats, long>(std::unexpected(long(0x80070420))));
    EXPECT_EQ(resync_busy, make_bytes({0x00, 0x20, 0x04, 0x07, 0x80}));

    bytes recover_value;
    encode_values(recover_value, std::expected<dedup::recover_stats, long>(dedup::recover_stats{5, 0x0102}));
    EXPECT_EQ(recover_value, make_bytes({1, 5, 0, 0, 0, 2, 1, 0, 0}));
    bytes recover_error;
    encode_values(recover_error, std::expected<dedup::recover_stats, long>(std::unexpected(long(0x80004005))));
    EXPECT_EQ(recover_error, make_bytes({0, 0x05, 0x40, 0x00, 0x80}));

    bytes deleted;
    encode_values(deleted, std::int32_t(0x80070091));
    EXPECT_EQ(deleted, make_bytes({0x91, 0x00, 0x07, 0x80}));
}

TEST(RepoInterfaceContract, RepliesAsTheClientReadsThem)
{
    // A has-value byte of 2 is has-value.
    bytes value = make_bytes({2});
    bytes record = resync_stats_bytes();
    value.insert(value.end(), record.begin(), record.end());
    auto decoded = decode_result<std::expected<dedup::resync_stats, long>>(value);
    ASSERT_TRUE(decoded.has_value());
    EXPECT_EQ(std::memcmp(&*decoded, record.data(), 64), 0);

    auto failed = decode_result<std::expected<dedup::recover_stats, long>>(make_bytes({0, 0x20, 0x04, 0x07, 0x80}));
    ASSERT_FALSE(failed.has_value());
    EXPECT_EQ(failed.error(), long(0x80070420));

    // Bodies shorter than their layout are refused, never read past their end.
    const bytes short_bodies[] = {bytes{}, make_bytes({1}), make_bytes({1, 0, 0, 0}), make_bytes({0, 1, 2})};
    for (const bytes& body : short_bodies) {
        EXPECT_EQ(test_support::hresult_of([&] { decode_result<std::expected<dedup::resync_stats, long>>(body); }),
                  long(0x80070057))
            << body.size();
        EXPECT_EQ(test_support::hresult_of([&] { decode_result<dedup::folder_statistics>(body); }), long(0x80070057));
    }
    bytes recover_short = make_bytes({1, 1, 2, 3, 4, 5, 6, 7});
    EXPECT_EQ(test_support::hresult_of([&] { decode_result<std::expected<dedup::recover_stats, long>>(recover_short); }),
              long(0x80070057));
    EXPECT_EQ(test_support::hresult_of([&] { decode_values<std::uint64_t, std::int32_t, dedup::purge_flags>(bytes(15)); }),
              long(0x80070057));
    EXPECT_EQ(test_support::hresult_of([&] { decode_values<bool>(bytes{}); }), long(0x80070057));
}

TEST(RepoInterfaceContract, ProgressBody)
{
    bytes empty_stage;
    encode_values(empty_stage, std::uint64_t(9), std::wstring(), std::uint64_t(1), std::uint64_t(2));
    bytes expected;
    append_u64(expected, 9);
    append_u32(expected, 0);
    append_u64(expected, 1);
    append_u64(expected, 2);
    EXPECT_EQ(empty_stage, expected);

    bytes staged;
    encode_values(staged, std::uint64_t(0), std::wstring(L"Ab"), std::uint64_t(3), std::uint64_t(4));
    bytes expected_staged;
    append_u64(expected_staged, 0);
    append_u32(expected_staged, 2);
    for (int b : {int('A'), 0, int('b'), 0})
        expected_staged.push_back(std::byte(b));
    append_u64(expected_staged, 3);
    append_u64(expected_staged, 4);
    EXPECT_EQ(staged, expected_staged);

    auto [cookie, stage, done, total] =
        decode_values<std::uint64_t, std::wstring, std::uint64_t, std::uint64_t>(expected_staged);
    EXPECT_EQ(stage, L"Ab");
    EXPECT_EQ(done, 3u);
    EXPECT_EQ(total, 4u);
    // A stage count larger than the bytes that follow is refused.
    bytes lying = expected_staged;
    lying[8] = std::byte(0xFF);
    EXPECT_EQ(test_support::hresult_of(
                  [&] { decode_values<std::uint64_t, std::wstring, std::uint64_t, std::uint64_t>(lying); }),
              long(0x80070057));
}

// Both ends over a real pipe: the server's handlers see what the client's proxies sent, the
// client's progress handler sees what the server sent, and stop sent as a request is answered
// without running its handler.
TEST(RepoInterfaceContract, BothEndsOverAPipe)
{
    using namespace std::chrono_literals;
    const std::wstring name = L"dedup-api-test-" + std::to_wstring(GetCurrentProcessId());
    tavik::details::cancellation_source listening;
    auto accepted = lurran::transports::pipe::create_server(name, listening, {});
    auto client_transport = lurran::transports::pipe::connect_pipe(L".", name, 5s);
    auto server_transport = tavik::details::wait_blocking_result(std::move(accepted));

    struct seen_t {
        std::uint64_t cookie = 0;
        std::int32_t level = 0;
        std::uint32_t flags = 0;
        bool force = false;
        std::atomic<int> stops{0};
    } seen;
    std::atomic<int> progress_calls{0};
    std::wstring last_stage;
    std::uint64_t last_done = 0, last_total = 0;

    dedup::api::repo_server_connection server;
    auto* server_ptr = &server;
    server.handler<RepoInterface::info>().assign(
        []() -> tavik::details::future<dedup::folder_statistics> { co_return dedup::folder_statistics{1, 2, 3, 4}; });
    server.handler<RepoInterface::resync>().assign(
        [&seen, server_ptr](std::uint64_t cookie, std::int32_t level,
                            dedup::purge_flags flags) -> tavik::details::future<std::expected<dedup::resync_stats, long>> {
            seen.cookie = cookie;
            seen.level = level;
            seen.flags = flags.bits();
            server_ptr->proxy<RepoClient::progress>()(cookie, std::wstring(L"Preparing"), 1, 3);
            co_return sample_resync_stats();
        });
    server.handler<RepoInterface::recover>().assign(
        [](std::uint64_t) -> tavik::details::future<std::expected<dedup::recover_stats, long>> {
            co_return std::unexpected(long(0x80070420));
        });
    server.handler<RepoInterface::delete_folder>().assign(
        [&seen](bool force) -> tavik::details::future<std::int32_t> {
            seen.force = force;
            co_return std::int32_t(0x80070091);
        });
    server.handler<RepoInterface::stop>().assign([&seen] { ++seen.stops; });
    server.start(std::move(server_transport));

    dedup::api::repo_client_connection client;
    client.handler<RepoClient::progress>().assign(
        [&](std::uint64_t, std::wstring stage, std::uint64_t done, std::uint64_t total) {
            last_stage = std::move(stage);
            last_done = done;
            last_total = total;
            ++progress_calls;
        });
    client.start(std::move(client_transport));

    auto info = tavik::details::wait_blocking_result(client.proxy<RepoInterface::info>()());
    EXPECT_EQ(info.compressed_size, 3u);

    auto resync = tavik::details::wait_blocking_result(
        client.proxy<RepoInterface::resync>()(1, 7, dedup::purge_flags::from_bits(3)));
    ASSERT_TRUE(resync.has_value());
    EXPECT_EQ(resync->items_skipped, 0xCCu);
    EXPECT_EQ(seen.cookie, 1u);
    EXPECT_EQ(seen.level, 7);
    EXPECT_EQ(seen.flags, 3u);
    // The progress message was written before the reply and is handled before it is read.
    EXPECT_EQ(progress_calls.load(), 1);
    EXPECT_EQ(last_stage, L"Preparing");
    EXPECT_EQ(last_done, 1u);
    EXPECT_EQ(last_total, 3u);

    auto recover = tavik::details::wait_blocking_result(client.proxy<RepoInterface::recover>()(0));
    ASSERT_FALSE(recover.has_value());
    EXPECT_EQ(recover.error(), long(0x80070420));

    EXPECT_EQ(tavik::details::wait_blocking_result(client.proxy<RepoInterface::delete_folder>()(true)),
              std::int32_t(0x80070091));
    EXPECT_TRUE(seen.force);

    // stop as a request: an empty reply, no handler.
    auto reply = tavik::details::wait_blocking_result(client.call(0xA6241A29, {}));
    EXPECT_TRUE(reply.empty());
    EXPECT_EQ(seen.stops.load(), 0);
    // stop one-way: the handler runs, nothing is answered.
    client.proxy<RepoInterface::stop>()();
    for (int i = 0; i < 500 && seen.stops.load() == 0; ++i)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(seen.stops.load(), 1);

    client.shutdown();
    server.shutdown();
}

} // namespace
