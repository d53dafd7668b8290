// The folder server and its providers over real folders: which folders are served, what each
// writes to the log as it starts, fails and stops, and what the callbacks answer the platform.

#include "server_test_support.h"

#include <dedup/server/provider.h>
#include <dedup/server/server.h>

#include <dedup/engine/root_folder.h>
#include <dedup/engine/store_names.h>

#include <ostrel/logger.h>
#include <platform/projfs/availability.h>
#include <tavik/error.h>

#include <testing/support/test_support.h>

#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using test_support::temp_folder;

using captured_log = server_test::recording_logger;

std::size_t count_containing(const captured_log& log, std::wstring_view text)
{
    std::size_t n = 0;
    for (const auto& line : log.lines())
        n += line.text.find(text) != std::wstring::npos;
    return n;
}

// A file or a folder.
bool is_there(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

const std::wstring closing_line = L"Server has been stopped successfully.\r\n";

// Waits for `condition` at most ten seconds.
template <class F>
bool eventually(F&& condition)
{
    for (int i = 0; i < 1000; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

std::vector<std::wstring> served(const dedup::server_impl& server)
{
    std::vector<std::wstring> out;
    for (const auto& folder : server.folders())
        out.push_back(folder.wstring());
    return out;
}

TEST(Server, FoldersAreMadeAbsoluteDistinctAndSorted)
{
    temp_folder base;
    const std::wstring a = base / L"A";
    const std::wstring b = base / L"b";
    std::wstring slashed = a;
    std::ranges::replace(slashed, L'\\', L'/');
    const std::wstring dotted = base / L"A\\..\\A";
    const std::wstring trailing = a + L"\\";
    const std::wstring lower = base / L"a";
    const std::wstring_view arguments[] = {b, a, slashed, dotted, trailing, lower, L""};
    dedup::server_impl server(arguments, {});
    // One folder however it is spelled; letter case is kept apart; the empty argument is dropped.
    std::vector<std::wstring> expected{a, b, base / L"a"};
    std::sort(expected.begin(), expected.end(),
              [](const std::wstring& x, const std::wstring& y) { return std::filesystem::path(x) < std::filesystem::path(y); });
    EXPECT_EQ(served(server), expected);

    wchar_t current[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, current);
    SetCurrentDirectoryW(base.path().c_str());
    const std::wstring_view relative[] = {L"Rel\\"};
    dedup::server_impl from_relative(relative, {});
    SetCurrentDirectoryW(current);
    EXPECT_EQ(served(from_relative), std::vector<std::wstring>{base / L"Rel"});
}

TEST(Server, EmptyListEndsAtOnceAndStopBeforeStartMakesNoProvider)
{
    dedup::server_impl empty(std::span<const std::wstring_view>{}, {});
    auto started = empty.start();
    EXPECT_TRUE(started.is_ready());
    EXPECT_NO_THROW(tavik::details::wait_blocking_result(std::move(started)));

    temp_folder base;
    const std::wstring folder = base / L"Data";
    const std::wstring_view arguments[] = {folder};
    dedup::server_impl stopped(arguments, {});
    stopped.stop();
    stopped.stop();
    EXPECT_EQ(test_support::hresult_of([&] { tavik::details::wait_blocking_result(stopped.start()); }),
              static_cast<long>(0x800704C7));
    EXPECT_FALSE(is_there(dedup::store_folder_path(folder)));
}

TEST(Server, ServesEveryFolderUntilStoppedAndWritesOneClosingLineEach)
{
    ASSERT_TRUE(projfs::available());
    captured_log log;
    temp_folder base;
    const std::wstring first = base / L"First";
    const std::wstring second = base / L"Second\\";  // the trailing separator names the same folder
    const std::wstring_view arguments[] = {first, second};
    dedup::server_impl server(arguments, {});
    auto started = server.start();
    // Every provider ran to its first suspension: the stores exist.
    EXPECT_TRUE(is_there(dedup::store_folder_path(first)));
    EXPECT_TRUE(is_there(base / L"Second.dedup"));
    EXPECT_FALSE(is_there(base / L"Second\\.dedup"));
    EXPECT_FALSE(started.is_ready());
    PRJ_FILE_STATE state{};
    EXPECT_EQ(PrjGetOnDiskFileState(first.c_str(), &state), S_OK) << "the new folder is a virtualization root";

    server.stop();
    tavik::details::wait_blocking_result(std::move(started));
    EXPECT_EQ(count_containing(log, closing_line), 2u);
    EXPECT_EQ(count_containing(log, L"failed"), 0u);
}

TEST(Server, AFolderThatFailsEndsAloneWithOneFailureLine)
{
    ASSERT_TRUE(projfs::available());
    captured_log log;
    temp_folder base;
    const std::wstring ordinary = base / L"Ordinary";
    CreateDirectoryW(ordinary.c_str(), nullptr);
    test_support::write_file(ordinary + L"\\kept.txt", test_support::to_bytes("mine"));
    const std::wstring good = base / L"Good";
    const std::wstring_view arguments[] = {ordinary, good};
    dedup::server_impl server(arguments, {});
    auto started = server.start();

    // An ordinary folder without "adopt" is not taken: "Folder is invalid", and no closing line.
    ASSERT_TRUE(eventually([&] { return count_containing(log, L"failed") == 1; }));
    const auto lines = log.lines();
    const auto failure = std::ranges::find_if(lines, [](const auto& l) { return l.text.find(L"failed") != std::wstring::npos; });
    EXPECT_EQ(failure->level, 1);
    EXPECT_EQ(failure->text, L"Deduplicated folder " + ordinary +
                                   L" failed with error 0x2 at stage 0: Folder is invalid\r\n");
    EXPECT_EQ(test_support::read_file(ordinary + L"\\kept.txt"), test_support::to_bytes("mine"));
    EXPECT_FALSE(started.is_ready()) << "the other folder keeps running";

    server.stop();
    tavik::details::wait_blocking_result(std::move(started));
    EXPECT_EQ(count_containing(log, closing_line), 1u);
}

TEST(Server, AStoreHeldByAnotherInstanceAndAVolumeRootAreRefused)
{
    ASSERT_TRUE(projfs::available());
    captured_log log;
    temp_folder base;
    const std::wstring folder = base / L"Data";
    const std::wstring_view arguments[] = {folder};
    dedup::server_impl holder(arguments, {});
    auto holding = holder.start();

    dedup::server_impl second(arguments, {});
    tavik::details::wait_blocking_result(second.start());  // ends by itself: its only folder failed
    EXPECT_EQ(count_containing(log, L"Deduplicated folder " + folder +
                                   L" failed with error 0x3 at stage 0: Folder is already opened by "
                                   L"another instance\r\n"),
              1u);
    EXPECT_EQ(count_containing(log, closing_line), 0u);

    const std::wstring_view volume[] = {L"C:\\"};
    dedup::server_impl at_root(volume, {});
    tavik::details::wait_blocking_result(at_root.start());
    EXPECT_EQ(count_containing(log, L"Deduplicated folder C:\\ failed with error 0x80070057 at stage 0"), 1u);
    EXPECT_FALSE(is_there(L"C:\\.dedup"));

    holder.stop();
    tavik::details::wait_blocking_result(std::move(holding));
}

TEST(Server, AStoreWhoseFolderWasNeverMarkedIsMarkedAndServed)
{
    ASSERT_TRUE(projfs::available());
    captured_log log;
    temp_folder base;
    const std::wstring folder = base / L"Data";
    {
        // A store made by a start that failed to mark the folder afterwards.
        tavik::details::cancellation_source lifetime;
        auto root = Ostrel::com::make<dedup::impl::root_folder>(lifetime);
        ASSERT_EQ(root->create(folder, {}), std::error_code());
    }
    const std::wstring_view arguments[] = {folder};
    std::atomic<bool> serving{false};
    dedup::server_impl server(arguments, {}, [&](dedup::provider_impl& provider) {
        serving = true;
        return dedup::wait_for_stop(provider);
    });
    auto started = server.start();
    EXPECT_TRUE(eventually([&] { return serving.load(); }));
    server.stop();
    tavik::details::wait_blocking_result(std::move(started));
    for (const auto& line : log.lines())
        EXPECT_EQ(line.text.find(L"failed"), std::wstring::npos) << std::string(line.text.begin(), line.text.end());
    EXPECT_EQ(count_containing(log, closing_line), 1u);
}

TEST(Server, VolumeRootsAndTrailingSeparators)
{
    const struct {
        const wchar_t* path;
        bool root;
    } cases[] = {
        {L"C:\\", true},          {L"C:", true},           {L"\\\\server\\share", true}, {L"\\\\server\\share\\", true},
        {L"\\\\?\\C:\\", true},   {L"C:\\Data", false},    {L"\\\\server\\share\\x", false},
        {L"\\\\?\\UNC\\server\\share", true}, {L"\\\\?\\UNC\\server\\share\\x", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(dedup::is_volume_root(c.path), c.root) << testing::PrintToString(std::wstring(c.path));
    EXPECT_EQ(dedup::normalize_folder_path(L"C:\\Data\\\\"), L"C:\\Data");
    EXPECT_EQ(dedup::normalize_folder_path(L"C:/Data/"), L"C:\\Data");
    EXPECT_EQ(dedup::normalize_folder_path(L"C:\\"), L"C:\\");
}

// ---------------------------------------------------------------------------------------------
// Callbacks called as the platform calls them

class Callbacks : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(projfs::available());
        provider_ = std::make_unique<dedup::provider_impl>(folder_, dedup::create_params{},
                                                           [this](dedup::provider_impl& self) {
                                                               running_ = &self;
                                                               return dedup::wait_for_stop(self);
                                                           });
        run_ = provider_->run(server_source_);
        ASSERT_TRUE(eventually([&] { return running_ != nullptr; }));
    }

    void TearDown() override
    {
        server_source_.cancel();
        tavik::details::wait_blocking(run_);
        run_.reset();
        provider_.reset();
    }

    PRJ_CALLBACK_DATA data(const wchar_t* path, std::int32_t command = 1)
    {
        PRJ_CALLBACK_DATA d{};
        d.Size = sizeof d;
        d.NamespaceVirtualizationContext = provider_->context;
        d.CommandId = command;
        d.FilePathName = path;
        d.InstanceContext = provider_.get();
        return d;
    }

    const PRJ_CALLBACKS& table() { return dedup::provider_impl::callback_table(); }

    captured_log log_;
    tavik::details::cancellation_source server_source_;
    temp_folder base_;
    std::wstring folder_ = base_ / L"Data";
    std::unique_ptr<dedup::provider_impl> provider_;
    dedup::provider_impl* running_ = nullptr;
    tavik::details::future<void> run_;
};

TEST_F(Callbacks, NotificationsAllowEverythingButHardLinks)
{
    const struct {
        PRJ_NOTIFICATION kind;
        HRESULT answer;
        std::uint32_t mask;  // what the parameters carry afterwards; ~0 unchanged
    } cases[] = {
        {PRJ_NOTIFICATION_FILE_OPENED, S_OK, 0xE00},
        {PRJ_NOTIFICATION_NEW_FILE_CREATED, S_OK, ~0u},
        {PRJ_NOTIFICATION_FILE_OVERWRITTEN, S_OK, ~0u},
        {PRJ_NOTIFICATION_PRE_DELETE, S_OK, ~0u},
        {PRJ_NOTIFICATION_PRE_RENAME, S_OK, ~0u},
        {PRJ_NOTIFICATION_PRE_SET_HARDLINK, static_cast<HRESULT>(0x80070032), ~0u},
        {PRJ_NOTIFICATION_FILE_RENAMED, S_OK, 0},
        {PRJ_NOTIFICATION_FILE_HANDLE_CLOSED_FILE_MODIFIED, S_OK, ~0u},
    };
    auto d = data(L"a.txt");
    for (const auto& c : cases) {
        PRJ_NOTIFICATION_PARAMETERS parameters{};
        parameters.PostCreate.NotificationMask = static_cast<PRJ_NOTIFY_TYPES>(~0u);
        EXPECT_EQ(table().NotificationCallback(&d, FALSE, c.kind, nullptr, &parameters), c.answer) << c.kind;
        EXPECT_EQ(static_cast<std::uint32_t>(parameters.PostCreate.NotificationMask), c.mask) << c.kind;
    }
}

TEST_F(Callbacks, NameQueriesAndUnknownEnumerations)
{
    auto root = data(L"");
    EXPECT_EQ(table().QueryFileNameCallback(&root), S_OK);
    auto missing = data(L"missing.txt");
    EXPECT_EQ(table().QueryFileNameCallback(&missing), static_cast<HRESULT>(0x80070002));

    const GUID never{0x12345678, 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
    EXPECT_EQ(table().GetDirectoryEnumerationCallback(&root, &never, nullptr, nullptr), static_cast<HRESULT>(0x80070490));
    EXPECT_EQ(table().EndDirectoryEnumerationCallback(&root, &never), S_OK);
}

TEST_F(Callbacks, PlaceholderOfAPathTheStoreDoesNotHoldIsNotFound)
{
    auto d = data(L"nothing\\here.txt", 7);
    const HRESULT answer = table().GetPlaceholderInfoCallback(&d);
    EXPECT_EQ(answer, static_cast<HRESULT>(0x80070002));
    EXPECT_TRUE(provider_->pending.empty());
}

TEST_F(Callbacks, ACommandCancelledBeforeItRunsAnswersTheCancellation)
{
    // A stopping folder: the command's source is cancelled as it is made, so nothing is written.
    server_source_.cancel();
    auto d = data(L"", 9);
    const HRESULT answer = table().GetFileDataCallback(&d, 0, 10);
    EXPECT_NE(answer, S_OK);
    EXPECT_TRUE(FAILED(answer));
}

} // namespace
