// The folder pipe over real pipes: the five handlers against a folder whose store is scripted
// (fake_root) and against a real root folder; the access list and pipe flags read back; what a
// client that misbehaves or vanishes (a killed child process) can and cannot do to the server.

#include "server_test_support.h"

#include <dedup/api/repo_interface.h>
#include <dedup/engine/root_folder.h>
#include <dedup/server/commands.h>
#include <dedup/server/folder_pipe.h>

#include <lurran/pipe_transport.h>
#include <ostrel/com/ptr.h>
#include <quillo/render.h>
#include <platform/projfs/projfs.h>
#include <tavik/error.h>
#include <tavik/thread_pool.h>

#include <testing/support/child_process.h>
#include <testing/support/test_support.h>

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using dedup::api::RepoClient;
using dedup::api::RepoInterface;
using dedup::impl::folder_pipe;
using dedup::impl::folder_pipe_host;

constexpr long cancelled = static_cast<long>(0x800704C7);

template <class Predicate>
bool eventually(Predicate p, std::chrono::milliseconds timeout = 10s)
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!p()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(5ms);
    }
    return true;
}

// A manual-reset gate a scripted call waits at.
struct gate {
    std::atomic<bool> closed{false};
    void wait(const std::atomic<bool>* abandon = nullptr) const
    {
        while (closed.load() && !(abandon && abandon->load()))
            std::this_thread::sleep_for(2ms);
    }
};

// A folder whose store answers as the test scripts it, and records what it was asked.
class fake_root : public Ostrel::com::details::object<fake_root, dedup::IRoot> {
public:
    std::mutex lock;
    std::vector<std::string> events;
    void event(std::string e)
    {
        std::lock_guard g(lock);
        events.push_back(std::move(e));
    }

    gate statistics_gate;
    gate optimize_gate;
    gate is_empty_gate;
    std::atomic<int> optimize_calls{0};
    std::atomic<bool> optimize_running{false};
    std::atomic<bool> optimize_saw_cancel{false};
    std::atomic<std::int32_t> last_level{0};
    std::atomic<std::uint32_t> last_flags{0};
    bool empty = true;
    std::int32_t remove_result = 0;

    GUID get_folder_id() override { return {}; }
    dedup::folder_statistics get_statistics() override
    {
        statistics_gate.wait();
        return {10, 20, 30, 40};
    }
    std::error_code create(std::wstring, dedup::create_params) override { return {}; }
    tavik::details::future<std::error_code> open(std::wstring) override { co_return std::error_code(); }
    tavik::details::future<std::expected<dedup::resync_stats, long>> convert(std::wstring, std::int32_t,
                                                                             tavik::details::cancellation_source&,
                                                                             dedup::progress_callback) override
    {
        co_return std::unexpected(long(0x80004001));
    }
    void set_virtualization_context(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT) override {}
    bool exists(const std::wstring&) override { return false; }
    tavik::details::future<dedup::placeholder_lookup_result> get_placeholder_info(
        std::wstring, bool, tavik::details::cancellation_source&) override
    {
        co_return std::unexpected(std::make_error_code(std::errc::no_such_file_or_directory));
    }
    std::vector<dedup::dir_entry> list_folder(std::wstring) override { return {}; }
    tavik::details::future<std::error_code> read_file_data(std::wstring, std::uint64_t, std::uint32_t, void*,
                                                           tavik::details::cancellation_source&) override
    {
        co_return std::error_code();
    }
    tavik::details::future<std::int32_t> on_item_renamed(std::wstring, std::wstring) override { co_return 0; }
    void on_item_deleted(std::wstring) override {}

    tavik::details::future<std::expected<dedup::resync_stats, long>> optimize(
        tavik::details::cancellation_source& source, std::int32_t level, dedup::purge_flags options,
        dedup::progress_callback progress) override
    {
        ++optimize_calls;
        last_level = level;
        last_flags = options.bits();
        tavik::details::cancellation_source mine = source;
        co_await tavik::details::resume_on_thread_pool{};
        optimize_running = true;
        progress(L"Preparing", 0, 0);
        progress(L"", 1, 2);
        while (optimize_gate.closed.load() && !mine.is_cancelled())
            std::this_thread::sleep_for(2ms);
        optimize_running = false;
        if (mine.is_cancelled()) {
            optimize_saw_cancel = true;
            co_return std::unexpected(cancelled);
        }
        dedup::resync_stats s;
        s.uncompressed_size = 10;
        s.files_added = 7;
        co_return s;
    }
    std::expected<dedup::recover_stats, long> recover(tavik::details::cancellation_source&,
                                                      dedup::progress_callback progress) override
    {
        progress(L"Recovering", 1, 1);
        return dedup::recover_stats{2, 3};
    }
    bool is_empty() override
    {
        is_empty_gate.wait();
        return empty;
    }
    std::int32_t remove() override
    {
        event("remove");
        return remove_result;
    }
};

// A client of the folder's pipe that keeps the progress it receives.
struct test_client {
    std::unique_ptr<dedup::api::repo_client_connection> connection;
    std::mutex lock;
    std::vector<std::tuple<std::uint64_t, std::wstring, std::uint64_t, std::uint64_t>> progress;
    // Set by the close handler: the folder server's end is gone.
    std::shared_ptr<std::atomic<bool>> closed = std::make_shared<std::atomic<bool>>(false);

    explicit test_client(const std::wstring& folder)
    {
        auto transport = lurran::transports::pipe::connect_pipe(L".", lurran::make_repo_pipe_name(folder), 5s);
        connection = std::make_unique<dedup::api::repo_client_connection>();
        connection->handler<RepoClient::progress>().assign(
            [this](std::uint64_t cookie, std::wstring stage, std::uint64_t done, std::uint64_t total) {
                std::lock_guard g(lock);
                progress.emplace_back(cookie, std::move(stage), done, total);
            });
        connection->close_handler().assign([flag = closed](HRESULT) { *flag = true; });
        connection->start(std::move(transport));
    }
    auto& proxies() { return *connection; }
};

class FolderPipe : public ::testing::Test {
protected:
    void SetUp() override
    {
        static std::atomic<int> counter{0};
        folder_ = L"C:\\folder-pipe-tests\\" + std::to_wstring(GetCurrentProcessId()) + L"\\" +
                  std::to_wstring(++counter);
        root_ = Ostrel::com::make<fake_root>();
    }

    void TearDown() override { stop_folder(); }

    void start(std::wstring path = {})
    {
        folder_pipe_host host;
        host.root = Ostrel::com::ptr<dedup::IRoot>(root_.get());
        host.folder_path = path.empty() ? folder_ : path;
        host.source = source_;
        host.connections = &connections_;
        host.schedule_stop = [this] {
            root_->event("schedule_stop");
            ++stops_;
        };
        host.stop_virtualizing = [this] { root_->event("stop_virtualizing"); };
        host.create_server = create_server_;
        pipe_ = std::make_unique<folder_pipe>(std::move(host));
        listening_ = pipe_->listen_for_clients();
    }

    // Stops the folder as its provider does: cancel, wait for the listener, then for the last
    // client connection (the connection count).
    void stop_folder()
    {
        if (!pipe_)
            return;
        source_.cancel();
        EXPECT_TRUE(eventually([&] { return !listening_.valid() || listening_.is_ready(); }));
        EXPECT_TRUE(eventually([&] {
            return connections_.users() == 0;
        }));
        pipe_.reset();
    }

    std::wstring folder_;
    Ostrel::com::ptr<fake_root> root_;
    tavik::details::cancellation_source source_;
    dedup::usage_latch connections_;
    std::atomic<int> stops_{0};
    std::unique_ptr<folder_pipe> pipe_;
    tavik::details::future<void> listening_;
    decltype(folder_pipe_host::create_server) create_server_;
};

TEST(FolderPipeSecurity, EveryLocalUserMayReadAndWriteButNotCreateInstances)
{
    dedup::impl::folder_pipe_security security;
    PSECURITY_DESCRIPTOR sd = security.descriptor();
    ASSERT_TRUE(IsValidSecurityDescriptor(sd));
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_NE(dacl, nullptr);
    ACL_SIZE_INFORMATION size{};
    ASSERT_TRUE(GetAclInformation(dacl, &size, sizeof(size), AclSizeInformation));
    ASSERT_EQ(size.AceCount, 1u);
    void* ace = nullptr;
    ASSERT_TRUE(GetAce(dacl, 0, &ace));
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
    EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
    EXPECT_EQ(allowed->Header.AceFlags, 0);
    EXPECT_EQ(allowed->Mask, 0x12019Bu);
    // Read and write, but not the right to create an instance of the name.
    EXPECT_EQ(allowed->Mask & FILE_CREATE_PIPE_INSTANCE, 0u);
    EXPECT_EQ(allowed->Mask & (FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES),
              DWORD(FILE_GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES));
    SID_IDENTIFIER_AUTHORITY world = SECURITY_WORLD_SID_AUTHORITY;
    PSID everyone = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&world, 1, SECURITY_WORLD_RID, 0, 0, 0, 0, 0, 0, 0, &everyone));
    EXPECT_TRUE(EqualSid(&allowed->SidStart, everyone));
    FreeSid(everyone);
    PSID owner = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorOwner(sd, &owner, &defaulted));
    EXPECT_EQ(owner, nullptr);
}

// Wine enforces neither the first-instance flag nor pipe access lists, so the flags are read back
// from what the listener and the client hand to the system.
TEST(FolderPipeSecurity, FirstInstanceOnlyOnTheListenersFirstPipeAndClientsAskNoCreateRight)
{
    dedup::impl::folder_pipe_security security;
    auto first = dedup::impl::folder_pipe_params(security.descriptor(), true);
    auto next = dedup::impl::folder_pipe_params(security.descriptor(), false);
    EXPECT_EQ(first.security_descriptor, security.descriptor());
    EXPECT_EQ(first.out_buffer_size, 0x1000000u);
    EXPECT_EQ(first.in_buffer_size, 0x1000000u);
    EXPECT_EQ(first.default_timeout, 0u);
    EXPECT_EQ(first.max_instances, DWORD(PIPE_UNLIMITED_INSTANCES));
    EXPECT_NE(lurran::details::pipe::server_open_mode(first) & FILE_FLAG_FIRST_PIPE_INSTANCE, 0u);
    EXPECT_EQ(lurran::details::pipe::server_open_mode(next) & FILE_FLAG_FIRST_PIPE_INSTANCE, 0u);
    EXPECT_EQ(lurran::details::pipe::client_access & FILE_CREATE_PIPE_INSTANCE, 0u);
    EXPECT_EQ(lurran::details::pipe::client_access & GENERIC_WRITE, 0u);
    EXPECT_EQ(lurran::details::pipe::client_access, DWORD(GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES));
}

// What the listener hands to the system for each instance: the folder's name, the access list of
// every local user without the create-instance right, and the first-instance flag on the first
// instance only (later instances must coexist with those of connected clients).
TEST_F(FolderPipe, ListenerAsksForItsNameFirstWithTheFirstInstanceFlag)
{
    struct seen_t {
        std::wstring name;
        bool first_instance;
        DWORD mask;
    };
    auto seen = std::make_shared<std::vector<seen_t>>();
    auto seen_lock = std::make_shared<std::mutex>();
    create_server_ = [seen, seen_lock](std::wstring_view name, tavik::details::cancellation_source source,
                                       lurran::transports::pipe::create_server_params<> params) {
        BOOL present = FALSE, defaulted = FALSE;
        PACL dacl = nullptr;
        void* ace = nullptr;
        DWORD mask = 0;
        if (GetSecurityDescriptorDacl(params.security_descriptor, &present, &dacl, &defaulted) && dacl &&
            GetAce(dacl, 0, &ace))
            mask = static_cast<ACCESS_ALLOWED_ACE*>(ace)->Mask;
        {
            std::lock_guard g(*seen_lock);
            seen->push_back({std::wstring(name), params.first_instance, mask});
        }
        return lurran::transports::pipe::create_server(name, std::move(source), params);
    };
    start();
    test_client first(folder_);
    test_client second(folder_);
    EXPECT_EQ(test_support::run(second.proxies().proxy<RepoInterface::info>()()).unique_size, 20u);
    std::lock_guard g(*seen_lock);
    ASSERT_GE(seen->size(), 3u);
    for (std::size_t i = 0; i < seen->size(); ++i) {
        EXPECT_EQ((*seen)[i].name.rfind(L"Quvan-dedupapi-v1.0/C:/folder-pipe-tests/", 0), 0u);
        EXPECT_EQ((*seen)[i].name, lurran::make_repo_pipe_name(folder_));
        EXPECT_EQ((*seen)[i].first_instance, i == 0) << i;
        EXPECT_EQ((*seen)[i].mask, 0x12019Bu) << i;
    }
}

TEST_F(FolderPipe, HandlersAnswerAndProgressCarriesTheCookie)
{
    start();
    test_client client(folder_);
    auto stats = test_support::run(client.proxies().proxy<RepoInterface::info>()());
    EXPECT_EQ(stats.unique_size, 20u);

    auto resync = test_support::run(client.proxies().proxy<RepoInterface::resync>()(42, 7, dedup::purge_flags::from_bits(3)));
    ASSERT_TRUE(resync.has_value());
    EXPECT_EQ(resync->files_added, 7u);
    EXPECT_EQ(root_->last_level.load(), 7);
    EXPECT_EQ(root_->last_flags.load(), 3u);
    {
        std::lock_guard g(client.lock);
        ASSERT_EQ(client.progress.size(), 2u);
        EXPECT_EQ(std::get<0>(client.progress[0]), 42u);
        EXPECT_EQ(std::get<1>(client.progress[0]), L"Preparing");
        EXPECT_EQ(std::get<1>(client.progress[1]), L"");
        EXPECT_EQ(std::get<2>(client.progress[1]), 1u);
        EXPECT_EQ(std::get<3>(client.progress[1]), 2u);
    }

    auto recover = test_support::run(client.proxies().proxy<RepoInterface::recover>()(9));
    ASSERT_TRUE(recover.has_value());
    EXPECT_EQ(recover->files_recovered, 2u);
    EXPECT_EQ(recover->folders_recovered, 3u);
    std::lock_guard g(client.lock);
    EXPECT_EQ(std::get<0>(client.progress.back()), 9u);
    EXPECT_EQ(std::get<1>(client.progress.back()), L"Recovering");
}

// Any local client can send these: levels the compressor lacks are refused, and only the two
// client options reach the store (never the dry run's 0x1000 or unknown bits).
TEST_F(FolderPipe, ResyncKeepsOnlyClientOptionsAndRefusesLevelsOutsideOneToTwelve)
{
    start();
    test_client client(folder_);
    struct case_t {
        std::int32_t level;
        std::uint32_t flags;
        std::uint32_t error;   // 0: accepted
        std::uint32_t passed;  // flags the store sees
    };
    const case_t cases[] = {
        {0, 0, 0x80070057, 0},    {13, 0, 0x80070057, 0}, {1000, 1, 0x80070057, 0}, {-1, 0, 0x80070057, 0},
        {1, 0x1000, 0, 0},        {12, 0x1003, 0, 3},     {7, 0xFFFFFFFF, 0, 3},    {7, 2, 0, 2},
    };
    for (const case_t& c : cases) {
        const int calls = root_->optimize_calls.load();
        auto r = test_support::run(
            client.proxies().proxy<RepoInterface::resync>()(0, c.level, dedup::purge_flags::from_bits(c.flags)));
        if (c.error) {
            ASSERT_FALSE(r.has_value()) << c.level;
            EXPECT_EQ(r.error(), long(c.error));
            EXPECT_EQ(root_->optimize_calls.load(), calls) << c.level;
        } else {
            EXPECT_TRUE(r.has_value()) << c.level;
            EXPECT_EQ(root_->last_level.load(), c.level);
            EXPECT_EQ(root_->last_flags.load(), c.passed) << std::hex << c.flags;
        }
    }
}

TEST_F(FolderPipe, DeleteWithoutForceOnAFolderWithNewDataChangesNothing)
{
    root_->empty = false;
    start();
    test_client client(folder_);
    EXPECT_EQ(test_support::run(client.proxies().proxy<RepoInterface::delete_folder>()(false)), std::int32_t(0x80070091));
    std::this_thread::sleep_for(50ms);
    std::lock_guard g(root_->lock);
    EXPECT_TRUE(root_->events.empty());
}

TEST_F(FolderPipe, DeleteStopsTheInstanceThenRemovesThenStopsTheFolderWhateverTheResult)
{
    root_->empty = false;
    root_->remove_result = std::int32_t(0x80070005);
    start();
    test_client client(folder_);
    EXPECT_EQ(test_support::run(client.proxies().proxy<RepoInterface::delete_folder>()(true)), std::int32_t(0x80070005));
    std::lock_guard g(root_->lock);
    EXPECT_EQ(root_->events, (std::vector<std::string>{"stop_virtualizing", "remove", "schedule_stop"}));
}

TEST_F(FolderPipe, StopActsOnlyAsAOneWayMessage)
{
    start();
    test_client client(folder_);
    EXPECT_TRUE(test_support::run(client.proxies().call(0xA6241A29, {})).empty());
    EXPECT_EQ(stops_.load(), 0);
    client.proxies().proxy<RepoInterface::stop>()();
    EXPECT_TRUE(eventually([&] { return stops_.load() == 1; }));
}

// The statistics wait for the store and the emptiness test scans the folder: both must leave the
// connection's reader, or nothing else of that client (here a stop) is read meanwhile.
TEST_F(FolderPipe, BlockingHandlersLeaveTheReader)
{
    start();
    test_client client(folder_);
    root_->statistics_gate.closed = true;
    auto info = client.proxies().proxy<RepoInterface::info>()();
    client.proxies().proxy<RepoInterface::stop>()();
    EXPECT_TRUE(eventually([&] { return stops_.load() == 1; }, 5s));
    root_->statistics_gate.closed = false;
    EXPECT_EQ(test_support::run(std::move(info)).block_count, 40u);

    root_->is_empty_gate.closed = true;
    auto deleting = client.proxies().proxy<RepoInterface::delete_folder>()(false);
    client.proxies().proxy<RepoInterface::stop>()();
    EXPECT_TRUE(eventually([&] { return stops_.load() == 2; }, 5s));
    root_->is_empty_gate.closed = false;
    EXPECT_EQ(test_support::run(std::move(deleting)), 0);
}

TEST_F(FolderPipe, TwoClientsAtOnceAndInfoWhileAResyncRuns)
{
    start();
    root_->optimize_gate.closed = true;
    test_client first(folder_);
    auto resync = first.proxies().proxy<RepoInterface::resync>()(0, 7, {});
    ASSERT_TRUE(eventually([&] { return root_->optimize_running.load(); }));
    test_client second(folder_);
    test_client third(folder_);
    EXPECT_EQ(test_support::run(second.proxies().proxy<RepoInterface::info>()()).uncompressed_size, 10u);
    EXPECT_EQ(test_support::run(third.proxies().proxy<RepoInterface::info>()()).uncompressed_size, 10u);
    root_->optimize_gate.closed = false;
    EXPECT_TRUE(test_support::run(std::move(resync)).has_value());
}

TEST_F(FolderPipe, ADisconnectDuringAResyncCancelsItAndTheServerStaysUp)
{
    start();
    root_->optimize_gate.closed = true;
    {
        test_client client(folder_);
        auto resync = client.proxies().proxy<RepoInterface::resync>()(0, 7, {});
        ASSERT_TRUE(eventually([&] { return root_->optimize_running.load(); }));
        client.connection.reset();
    }
    EXPECT_TRUE(eventually([&] { return root_->optimize_saw_cancel.load(); }));
    test_client next(folder_);
    EXPECT_EQ(test_support::run(next.proxies().proxy<RepoInterface::info>()()).compressed_size, 30u);
}

// The folder's stop closes the pipe of a connected client (whose call then ends cancelled),
// cancels its running resync, ends the listener, and releases the stop lock only after the
// client connection has ended.
TEST_F(FolderPipe, FolderStopEndsClientsAndTheirCalls)
{
    start();
    root_->optimize_gate.closed = true;
    test_client client(folder_);
    auto resync = client.proxies().proxy<RepoInterface::resync>()(0, 7, {});
    ASSERT_TRUE(eventually([&] { return root_->optimize_running.load(); }));
    source_.cancel();
    ASSERT_TRUE(eventually([&] { return client.closed->load(); }));
    client.connection->shutdown();
    EXPECT_EQ(test_support::hresult_of([&] { test_support::run(std::move(resync)); }), cancelled);
    EXPECT_TRUE(root_->optimize_saw_cancel.load());
    stop_folder();
    // Nobody listens any more.
    EXPECT_EQ(test_support::hresult_of([&] {
                  lurran::transports::pipe::connect_pipe(L".", lurran::make_repo_pipe_name(folder_), 1s);
              }),
              long(0x80070002));
}

// Whatever a peer sends, the server stays up: a malformed frame, a request cut short, a huge
// announced body, an unknown method.
TEST_F(FolderPipe, GarbageFromAPeerEndsOnlyThatPeer)
{
    start();
    const std::wstring path = L"\\\\.\\pipe\\" + lurran::make_repo_pipe_name(folder_);
    const std::vector<std::vector<std::uint8_t>> garbage = {
        {1, 2, 3},                                                                 // header cut short
        {1, 0, 0, 0, 0x3D, 0x6E, 0x27, 0x7E, 4, 0, 0, 0, 1, 2, 3, 4},              // resync with 4 bytes
        {1, 0, 0, 0, 0x3D, 0x6E, 0x27, 0x7E, 0xFF, 0xFF, 0xFF, 0x7F},              // body of 2 GiB
        {1, 0, 0, 0, 0x46, 0x4E, 0x08, 0xCB, 0, 0, 0, 0},                          // a method it does not serve
        {1, 0, 0, 0, 0xDB, 0xF0, 0xE1, 0xD3, 0, 0, 0, 0},                          // recover without a cookie
    };
    for (const auto& bytes : garbage) {
        // The listener makes the next instance after each accept: wait for it as a client does.
        HANDLE h = INVALID_HANDLE_VALUE;
        for (int attempt = 0; attempt < 500 && h == INVALID_HANDLE_VALUE; ++attempt) {
            h = CreateFileW(path.c_str(), GENERIC_READ | FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (h == INVALID_HANDLE_VALUE && !WaitNamedPipeW(path.c_str(), 100))
                std::this_thread::sleep_for(10ms);
        }
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        WriteFile(h, bytes.data(), DWORD(bytes.size()), &written, nullptr);
        std::this_thread::sleep_for(20ms);
        CloseHandle(h);
    }
    EXPECT_EQ(root_->optimize_calls.load(), 0);
    test_client client(folder_);
    EXPECT_EQ(test_support::run(client.proxies().proxy<RepoInterface::info>()()).unique_size, 20u);
}

// Bounded stress: clients connecting, calling and leaving while the folder stops at a varying
// moment. Every round ends: the listener completes, the last client connection releases the stop
// lock, and no client is left waiting.
TEST(FolderPipeStress, StopRacingClientsEndsEveryRound)
{
    for (int round = 0; round < 12; ++round) {
        auto root = Ostrel::com::make<fake_root>();
        tavik::details::cancellation_source source;
        dedup::usage_latch connections;
        const std::wstring folder = L"C:\\folder-pipe-stress\\" + std::to_wstring(GetCurrentProcessId()) + L"\\" +
                                    std::to_wstring(round);
        folder_pipe_host host;
        host.root = Ostrel::com::ptr<dedup::IRoot>(root.get());
        host.folder_path = folder;
        host.source = source;
        host.connections = &connections;
        host.schedule_stop = [] {};
        host.stop_virtualizing = [] {};
        auto pipe = std::make_unique<folder_pipe>(std::move(host));
        auto listening = pipe->listen_for_clients();

        std::atomic<bool> stopping{false};
        std::vector<std::thread> clients;
        for (int t = 0; t < 3; ++t) {
            clients.emplace_back([&, t] {
                while (!stopping.load()) {
                    try {
                        // The commands' connection: it shuts down when the server's end goes.
                        auto client = test_support::run(dedup::impl::connect_to_folder_server(folder));
                        if (t == 0)
                            test_support::run(client->proxy<RepoInterface::resync>()(0, 7, {}));
                        else
                            test_support::run(client->proxy<RepoInterface::info>()());
                        if (t == 2)
                            client->proxy<RepoInterface::stop>()();
                    } catch (...) {
                        // Refused or cut off by the stop: expected while it races.
                    }
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5 + 7 * (round % 5)));
        source.cancel();
        EXPECT_TRUE(eventually([&] { return listening.is_ready(); })) << round;
        stopping = true;
        for (auto& c : clients)
            c.join();
        EXPECT_TRUE(eventually([&] {
            return connections.users() == 0;
        })) << round;
        pipe.reset();
    }
}

// A pipe that cannot be made must not end the folder without a word.
TEST_F(FolderPipe, APipeThatCannotBeCreatedLogsAFailureLine)
{
    server_test::recording_logger log;
    // A pipe name holds at most 256 characters; a folder path may be longer.
    start(L"C:\\" + std::wstring(300, L'x'));
    ASSERT_TRUE(eventually([&] { return listening_.is_ready(); }));
    EXPECT_NO_THROW(test_support::run(std::move(listening_)));
    const std::wstring all = log.all();
    EXPECT_NE(all.find(L"Deduplicated folder C:\\xxx"), std::wstring::npos) << server_test::to_utf8(all);
    EXPECT_NE(all.find(L" at stage 0: "), std::wstring::npos);
    ASSERT_FALSE(log.lines().empty());
    EXPECT_EQ(log.lines()[0].level, 1);
}

// Another process holding the folder's name with a single-instance pipe: the listener cannot make
// its instance, and says so.
TEST_F(FolderPipe, ANameTakenByAnotherPipeLogsAFailureLine)
{
    server_test::recording_logger log;
    const std::wstring path = L"\\\\.\\pipe\\" + lurran::make_repo_pipe_name(folder_);
    HANDLE squatter = CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE, 1, 4096, 4096, 0, nullptr);
    ASSERT_NE(squatter, INVALID_HANDLE_VALUE);
    start();
    ASSERT_TRUE(eventually([&] { return listening_.is_ready(); }));
    CloseHandle(squatter);
    EXPECT_NE(log.all().find(L"failed with error 0x"), std::wstring::npos) << server_test::to_utf8(log.all());
}

// A folder's normal stop says nothing.
TEST_F(FolderPipe, AStopWritesNoFailureLine)
{
    server_test::recording_logger log;
    start();
    test_client client(folder_);
    stop_folder();
    EXPECT_TRUE(log.lines().empty()) << server_test::to_utf8(log.all());
}

// A client process that dies in the middle of a resync: the resync is cancelled, and the server
// serves the next client.
test_support::child_role resync_and_wait(L"resync-and-wait", [](const test_support::child_arguments& a) -> int {
    auto transport = lurran::transports::pipe::connect_pipe(L".", lurran::make_repo_pipe_name(a.at(0)), 5s);
    dedup::api::repo_client_connection client;
    client.handler<RepoClient::progress>().assign([](std::uint64_t, std::wstring, std::uint64_t, std::uint64_t) {});
    client.start(std::move(transport));
    auto pending = client.proxy<RepoInterface::resync>()(0, 7, {});
    Sleep(60000);
    return 0;
});

TEST_F(FolderPipe, AClientProcessKilledDuringAResyncCancelsIt)
{
    start();
    root_->optimize_gate.closed = true;
    auto child = test_support::start_self_as_child(L"resync-and-wait", {folder_});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(eventually([&] { return root_->optimize_running.load(); }, 20s));
    child.terminate();
    EXPECT_TRUE(eventually([&] { return root_->optimize_saw_cancel.load(); }));
    test_client next(folder_);
    EXPECT_EQ(test_support::run(next.proxies().proxy<RepoInterface::info>()()).block_count, 40u);
}

// Against a real store over a real pipe: the resync reply's statistics are those info reports
// afterwards, and progress stages arrive with the cookie.
class ServedRealFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(projfs::available());
        folder_ = dir_ / L"served";
        test_support::make_folder(folder_);
        server_test::make_duplicated_files(folder_, 6, 300'000);
        root_ = Ostrel::com::make<dedup::impl::root_folder>(source_);
        dedup::create_params params;
        params.flags = dedup::create_params::adopt;
        params.optimize_period = dedup::disabled_t{};
        params.gc_period = dedup::disabled_t{};
        ASSERT_EQ(root_->create(folder_, params), std::error_code());
        GUID id{0x0c710000u + GetCurrentProcessId(), 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        PrjMarkDirectoryAsPlaceholder(folder_.c_str(), nullptr, nullptr, &id);
        PRJ_CALLBACKS callbacks{};
        ASSERT_EQ(PrjStartVirtualizing(folder_.c_str(), &callbacks, nullptr, nullptr, &instance_), S_OK);
        root_->set_virtualization_context(instance_);

        folder_pipe_host host;
        host.root = Ostrel::com::ptr<dedup::IRoot>(root_.get());
        host.folder_path = folder_;
        host.source = source_;
        host.connections = &connections_;
        host.schedule_stop = [this] { ++stops_; };
        host.stop_virtualizing = [this] {
            if (instance_)
                PrjStopVirtualizing(std::exchange(instance_, nullptr));
        };
        pipe_ = std::make_unique<folder_pipe>(std::move(host));
        listening_ = pipe_->listen_for_clients();
    }

    void TearDown() override
    {
        source_.cancel();
        if (pipe_) {
            EXPECT_TRUE(eventually([&] { return listening_.is_ready(); }));
            EXPECT_TRUE(eventually([&] { return connections_.users() == 0; }));
        }
        pipe_.reset();
        if (instance_)
            PrjStopVirtualizing(instance_);
        root_ = nullptr;
    }

    test_support::temp_folder dir_;
    std::wstring folder_;
    tavik::details::cancellation_source source_;
    Ostrel::com::ptr<dedup::impl::root_folder> root_;
    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT instance_ = nullptr;
    dedup::usage_latch connections_;
    std::atomic<int> stops_{0};
    std::unique_ptr<folder_pipe> pipe_;
    tavik::details::future<void> listening_;
};

TEST_F(ServedRealFolder, ResyncThenInfoThenRecoverThenDelete)
{
    test_client client(folder_);
    auto resync = test_support::run(client.proxies().proxy<RepoInterface::resync>()(1, 7, dedup::purge_flags::from_bits(3)));
    ASSERT_TRUE(resync.has_value()) << std::hex << resync.error();
    EXPECT_EQ(resync->files_added, 6u);
    EXPECT_GE(resync->uncompressed_size, 6u * 300'000u);
    EXPECT_LT(resync->unique_size, resync->uncompressed_size);
    auto info = test_support::run(client.proxies().proxy<RepoInterface::info>()());
    EXPECT_EQ(std::memcmp(&info, &*resync, sizeof(info)), 0);
    {
        std::lock_guard g(client.lock);
        ASSERT_FALSE(client.progress.empty());
        for (const auto& p : client.progress)
            EXPECT_EQ(std::get<0>(p), 1u);
        EXPECT_FALSE(std::get<1>(client.progress.front()).empty());
    }

    auto recover = test_support::run(client.proxies().proxy<RepoInterface::recover>()(0));
    ASSERT_TRUE(recover.has_value()) << std::hex << recover.error();
    EXPECT_EQ(recover->files_recovered, 0u);

    auto removed = test_support::run(client.proxies().proxy<RepoInterface::delete_folder>()(true));
    EXPECT_GE(removed, 0);
    EXPECT_EQ(instance_, nullptr);
    EXPECT_TRUE(eventually([&] { return stops_.load() == 1; }));
    EXPECT_FALSE(test_support::file_exists(folder_ + L".dedup\\files.deinfo"));
}

// The one-shot commands of dedup.exe, a process of its own, against this folder's pipe: progress
// and results printed, figures as the store reports them, exit code 0 every time.
TEST_F(ServedRealFolder, OneShotCommandsFromAnotherProcess)
{
    using server_test::run_dedup;
    using server_test::to_utf8;
    const std::wstring quoted = L"\"" + folder_ + L"\"";
    auto contains = [](const std::string& text, const std::wstring& part) {
        return text.find(to_utf8(part)) != std::string::npos;
    };

    auto optimize = run_dedup(L"--nologo -o " + quoted);
    EXPECT_EQ(optimize.exit_code, 0);
    EXPECT_TRUE(contains(optimize.output, L"\tINFO\tStarting a resync operation on " + folder_ + L"...\r\n"))
        << optimize.output;
    EXPECT_TRUE(contains(optimize.output, L"\tINFO\t  Progress stage: ")) << optimize.output;
    EXPECT_TRUE(contains(optimize.output, L" %  ...\r")) << optimize.output;
    EXPECT_TRUE(contains(optimize.output, L"\tINFO\tOptimize on " + folder_ + L" completed in ")) << optimize.output;
    EXPECT_TRUE(contains(optimize.output, L"  Total files added: 6\n")) << optimize.output;

    const dedup::folder_statistics stats = root_->get_statistics();
    auto info = run_dedup(L"--nologo --info " + quoted);
    EXPECT_EQ(info.exit_code, 0);
    EXPECT_TRUE(contains(info.output, quillo::format(L"Approximate deduplicated folder statistics:\n"
                                                     L"  Uncompressed data size : {0l}\n  Unique size : {1l}\n"
                                                     L"  Compressed size : {2l}\n  Unique block count : {3l}\n",
                                                     stats.uncompressed_size, stats.unique_size,
                                                     stats.compressed_size, stats.block_count)))
        << info.output;

    // A folder typed relative to the current directory reaches the pipe of its full path, and the
    // start line shows it as typed.
    auto recover = run_dedup(L"--nologo -r .", std::chrono::seconds(60), folder_);
    EXPECT_EQ(recover.exit_code, 0);
    EXPECT_TRUE(contains(recover.output, L"Starting a recover operation on ....\r\n")) << recover.output;
    EXPECT_TRUE(contains(recover.output,
                         L"Recover operation completed successfully. 0 files and 0 folders have been recovered.\r\n"))
        << recover.output;

    // New data in the folder: a delete without force refuses, and changes nothing.
    test_support::write_file(folder_ + L"\\new.txt", test_support::to_bytes("not in the store yet"));
    auto refused = run_dedup(L"--nologo --delete " + quoted);
    EXPECT_EQ(refused.exit_code, 0);
    EXPECT_TRUE(contains(refused.output, L"\tERROR\tThe following error occurred during processing: ")) << refused.output;
    EXPECT_TRUE(contains(refused.output, L"(0x80070091).\r\n")) << refused.output;
    EXPECT_EQ(stops_.load(), 0);

    auto deleted = run_dedup(L"--nologo --delete --force " + quoted);
    EXPECT_EQ(deleted.exit_code, 0);
    EXPECT_TRUE(contains(deleted.output, L"\tINFO\tDelete operation completed successfully.\r\n")) << deleted.output;
    EXPECT_TRUE(eventually([&] { return stops_.load() == 1; }));
}

// What the optimize command sends: the level and the purge options as given.
TEST_F(FolderPipe, OptimizeCommandSendsLevelAndPurgeOptions)
{
    start();
    struct case_t {
        const wchar_t* options;
        std::int32_t level;
        std::uint32_t flags;
    } cases[] = {
        {L"", 7, 0},
        {L"--purge-placeholders --compression-level 3", 3, 1},
        {L"--purge-blocks", 7, 2},
        {L"--purge-placeholders --purge-blocks --compression-level 12", 12, 3},
    };
    for (const auto& c : cases) {
        auto r = server_test::run_dedup(L"--nologo -o " + std::wstring(c.options) + L" \"" + folder_ + L"\"");
        EXPECT_EQ(r.exit_code, 0) << r.output;
        EXPECT_EQ(root_->last_level.load(), c.level) << r.output;
        EXPECT_EQ(root_->last_flags.load(), c.flags) << r.output;
    }
}

// The folder server going away while the command waits: the call ends cancelled and the command
// says so.
TEST_F(FolderPipe, ACommandWhoseServerStopsPrintsTheCancellation)
{
    start();
    root_->optimize_gate.closed = true;
    std::thread stopper([&] {
        if (eventually([&] { return root_->optimize_running.load(); }, 30s))
            source_.cancel();
    });
    auto r = server_test::run_dedup(L"--nologo -o \"" + folder_ + L"\"");
    stopper.join();
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_NE(r.output.find("\tERROR\tError executing operation: "), std::string::npos) << r.output;
    EXPECT_NE(r.output.find("(0x800704c7)\r\n"), std::string::npos) << r.output;
}

} // namespace
