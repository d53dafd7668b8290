#include "fake_folder_server.h"
#include "ui_driver.h"

#include <plendor/commands/folder_commands.h>
#include <plendor/commands/repo_calls.h>
#include <plendor/commands/texts.h>

#include <ostrel/scope_guards.h>
#include <tavik/error.h>
#include <tavik/thread_pool.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <thread>

namespace {

using namespace ui_test;
using namespace tavik::details;
namespace fs = std::filesystem;


template <class T>
future<T> later(int ms, T value)
{
    co_await resume_on_thread_pool{};
    Sleep(static_cast<DWORD>(ms));
    co_return value;
}

template <class T>
future<T> failing(int ms, HRESULT hr)
{
    co_await resume_on_thread_pool{};
    Sleep(static_cast<DWORD>(ms));
    throw_hresult(hr);
}

struct fake_services : folder_services {
    std::mutex lock;
    std::vector<std::wstring> log;
    std::function<future<long>(const std::wstring&)> on_convert = [](const std::wstring&) { return later(10, 0L); };
    std::function<future<long>(const std::wstring&, bool)> on_delete = [](const std::wstring&, bool) {
        return later(10, 0L);
    };
    std::function<future<std::expected<dedup::resync_stats, long>>(const std::wstring&, std::shared_ptr<progress>)>
        on_resync = [](const std::wstring&, std::shared_ptr<progress>) {
            return later(10, std::expected<dedup::resync_stats, long>(dedup::resync_stats{}));
        };
    std::function<future<std::expected<dedup::recover_stats, long>>(const std::wstring&)> on_recover =
        [](const std::wstring&) { return later(10, std::expected<dedup::recover_stats, long>(dedup::recover_stats{3, 1})); };

    void record(std::wstring entry)
    {
        std::lock_guard guard(lock);
        log.push_back(std::move(entry));
    }
    future<long> convert(std::wstring path) override
    {
        record(L"convert " + path);
        return on_convert(path);
    }
    future<long> delete_folder(std::wstring path, bool force) override
    {
        record(L"delete " + path + (force ? L" force" : L""));
        return on_delete(path, force);
    }
    future<std::expected<dedup::resync_stats, long>> resync(std::wstring path, std::shared_ptr<progress> target) override
    {
        record(L"resync " + path);
        return on_resync(path, std::move(target));
    }
    future<std::expected<dedup::recover_stats, long>> recover(std::wstring path) override
    {
        record(L"recover " + path);
        return on_recover(path);
    }
};

struct fake_host : folder_command_host {
    owner_window owner{150, 150, 500, 400};
    Ostrel::windows::impl::async_context context;
    std::vector<std::wstring> list;
    int selection = -1;
    bool enabled = true;
    int enables = 0;
    bool is_closing = false;
    fake_services fakes;
    known_folder_resolver resolver = [](const KNOWNFOLDERID&) -> std::optional<std::wstring> { return std::nullopt; };

    HWND main_window() const override { return owner.get(); }
    const Ostrel::windows::impl::async_context& ui() const override { return context; }
    bool closing() const override { return is_closing; }
    std::vector<std::wstring>& folders() override { return list; }
    int selected_index() const override { return selection; }
    void select(int index) override { selection = index >= 0 && index < static_cast<int>(list.size()) ? index : -1; }
    int fill_folder_list() override { return std::exchange(selection, -1); }
    void disable_commands() override { enabled = false; }
    void enable_commands() override
    {
        enabled = true;
        ++enables;
    }
    folder_services& services() override { return fakes; }
    const known_folder_resolver& known_folders() const override { return resolver; }
};

// Answers the utility's message boxes in order from another thread, keeping what each said.
class box_driver {
public:
    struct box {
        std::wstring text;
        HWND owner;
    };
    explicit box_driver(std::vector<int> answers) : answers_(std::move(answers))
    {
        thread_ = std::thread([this] { run(); });
    }
    ~box_driver()
    {
        stop_ = true;
        thread_.join();
    }
    std::vector<box> seen()
    {
        std::lock_guard guard(lock_);
        return seen_;
    }
    std::size_t count()
    {
        std::lock_guard guard(lock_);
        return seen_.size();
    }

private:
    static BOOL CALLBACK collect(HWND child, LPARAM context)
    {
        wchar_t cls[32] = {};
        GetClassNameW(child, cls, 32);
        if (std::wstring_view(cls) == L"Static") {
            auto* text = reinterpret_cast<std::wstring*>(context);
            const std::wstring t = window_text(child);
            if (!t.empty())
                *text += t;
        }
        return TRUE;
    }
    void run()
    {
        std::size_t next = 0;
        HWND last = nullptr;
        while (!stop_) {
            HWND w = find_own_dialog(message_box_caption.data());
            if (w && w != last && IsWindowVisible(w)) {
                last = w;
                std::wstring text;
                EnumChildWindows(w, &collect, reinterpret_cast<LPARAM>(&text));
                {
                    std::lock_guard guard(lock_);
                    seen_.push_back({text, GetWindow(w, GW_OWNER)});
                }
                const int answer = next < answers_.size() ? answers_[next] : IDOK;
                ++next;
                PostMessageW(w, WM_COMMAND, MAKEWPARAM(answer, BN_CLICKED), 0);
            } else if (!w) {
                last = nullptr;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    std::vector<int> answers_;
    std::vector<box> seen_;
    std::mutex lock_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

class FolderCommands : public testing::Test {
protected:
    Ostrel::windows::unhook_windows_hook hook_ = Ostrel::windows::impl::install_ui_return_hook();
    fake_host host_;

    void run(future<void> f)
    {
        ASSERT_TRUE(pump_until([&] { return f.is_ready(); }));
        f.get();
    }

    static fs::path temp_dir(const std::wstring& name, bool with_file)
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        const fs::path dir = fs::path(temp) / (name + std::to_wstring(GetCurrentProcessId()));
        fs::create_directories(dir);
        if (with_file) {
            HANDLE h = CreateFileW((dir / L"f.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
            CloseHandle(h);
        }
        return dir;
    }
    static std::wstring lower(std::wstring s)
    {
        folder_paths::lower_case_in_place(s);
        return s;
    }
};

TEST_F(FolderCommands, ConvertRefusalsMakeNoCall)
{
    host_.list = {L"d:\\photos"};
    host_.resolver = [](const KNOWNFOLDERID& id) -> std::optional<std::wstring> {
        if (IsEqualGUID(id, FOLDERID_Windows))
            return L"C:\\Windows";
        if (IsEqualGUID(id, FOLDERID_Documents))
            return L"C:\\Users\\me\\Documents";
        return std::nullopt;
    };
    const std::pair<const wchar_t*, std::wstring> rows[] = {
        {L"D:\\", L"Converting a volume root is prohibited."},
        {L"D:", L"Converting a volume root is prohibited."},
        {L"C:\\Windows\\..", L"Converting a volume root is prohibited."},
        {L"D:\\Photos", L"Deduplicated folder cannot be created inside another deduplicated folder."},
        {L"D:/Photos/2023/", L"Deduplicated folder cannot be created inside another deduplicated folder."},
        {L"C:/Windows/System32", L"Converting a system folder is prohibited."},
        {L"C:\\Windows\\..\\Windows\\System32", L"Converting a system folder is prohibited."},
        {L"\\\\?\\C:\\Windows", L"Converting a system folder is prohibited."},
        {L"C:\\Users\\me\\Documents\\", L"Converting a system folder is prohibited."},
        {L"Photos", format_error_text(L"Unable to convert folder: {0} ({1ub016x}).", E_INVALIDARG)},
        {L"C:relative", format_error_text(L"Unable to convert folder: {0} ({1ub016x}).", E_INVALIDARG)},
    };
    for (const auto& [path, message] : rows) {
        box_driver boxes({IDOK});
        run(run_convert_command(host_, path));
        ASSERT_TRUE(wait_until([&] { return boxes.count() == 1; }, 2000)) << path;
        EXPECT_EQ(boxes.seen()[0].text, message) << path;
        EXPECT_EQ(boxes.seen()[0].owner, host_.main_window()) << path;
    }
    EXPECT_TRUE(host_.fakes.log.empty());
    EXPECT_EQ(host_.list.size(), 1u);
    EXPECT_EQ(host_.enables, 0);
}

TEST_F(FolderCommands, ConvertOfAnEmptyFolderAsksNothingAndAddsTheCanonicalLowerCaseEntry)
{
    const fs::path dir = temp_dir(L"Convert Empty ", false);
    host_.list = {L"d:\\photos"};
    box_driver boxes({});
    const std::wstring given = dir.wstring() + L"\\.\\";
    run(run_convert_command(host_, given));
    const std::wstring expected = lower(canonical_folder_path(dir.wstring()));
    ASSERT_EQ(host_.fakes.log.size(), 1u);
    EXPECT_EQ(host_.fakes.log[0], L"convert " + expected);
    ASSERT_EQ(host_.list.size(), 2u);
    EXPECT_EQ(host_.list[1], expected);
    EXPECT_EQ(host_.selection, 1);
    EXPECT_TRUE(host_.enabled);
    EXPECT_EQ(boxes.count(), 0u);
    fs::remove_all(dir);
}

TEST_F(FolderCommands, ConvertOfANonEmptyFolderAnsweredNoMakesNoCall)
{
    const fs::path dir = temp_dir(L"Convert No ", true);
    box_driver boxes({IDNO});
    run(run_convert_command(host_, dir.wstring()));
    ASSERT_EQ(boxes.count(), 1u);
    EXPECT_EQ(boxes.seen()[0].text, L"Are you sure you want to convert an existing folder to deduplicated folder?");
    EXPECT_TRUE(host_.fakes.log.empty());
    EXPECT_TRUE(host_.list.empty());
    fs::remove_all(dir);
}

TEST_F(FolderCommands, ConvertOfANonEmptyFolderOffersOptimize)
{
    const fs::path dir = temp_dir(L"Convert Yes ", true);
    box_driver boxes({IDYES, IDYES});
    std::atomic<bool> optimized{false};
    host_.fakes.on_resync = [&](const std::wstring&, std::shared_ptr<progress>) {
        optimized = true;
        return failing<std::expected<dedup::resync_stats, long>>(5, static_cast<HRESULT>(0x80070420));
    };
    run(run_convert_command(host_, dir.wstring()));
    ASSERT_TRUE(pump_until([&] { return boxes.count() == 3; }));
    const auto seen = boxes.seen();
    EXPECT_EQ(seen[1].text, L"Folder successfully converted. Do you want to start the Optimize operation now?");
    EXPECT_TRUE(optimized);
    // The optimize of the new entry failed: its box has no owner.
    EXPECT_NE(seen[2].text.find(L"Error occurred during folder optimization: "), std::wstring::npos);
    EXPECT_NE(seen[2].text.find(L"(0x80070420)"), std::wstring::npos);
    EXPECT_EQ(seen[2].owner, nullptr);
    EXPECT_EQ(host_.fakes.log[1], L"resync " + host_.list[0]);
    EXPECT_TRUE(pump_until([&] { return host_.enabled; }));
    fs::remove_all(dir);
}

TEST_F(FolderCommands, ConvertErrorIsShownAndTheControlsComeBack)
{
    host_.fakes.on_convert = [](const std::wstring&) { return later(10, static_cast<long>(0x800700B7)); };
    {
        box_driver boxes({IDOK});
        host_.enabled = false;
        run(run_convert_command(host_, L"C:\\does not exist\\x"));
        ASSERT_EQ(boxes.count(), 1u);
        EXPECT_EQ(boxes.seen()[0].text, format_error_text(L"Unable to convert folder: {0} ({1ub016x}).", 0x800700B7));
        EXPECT_TRUE(host_.enabled);
        EXPECT_TRUE(host_.list.empty());
    }
    // An unreachable service is the same.
    host_.fakes.on_convert = [](const std::wstring&) { return failing<long>(1, static_cast<HRESULT>(0x80070002)); };
    box_driver again({IDOK});
    run(run_convert_command(host_, L"C:\\does not exist\\y"));
    ASSERT_EQ(again.count(), 1u);
    EXPECT_NE(again.seen()[0].text.find(L"(0x80070002)"), std::wstring::npos);
}

TEST_F(FolderCommands, CreateInRunsConvertOnThePickedFolderOnly)
{
    int picks = 0;
    pick_folder_params asked;
    run(create_in_folder(host_, L"C:\\start", [&](HWND, const pick_folder_params& p) -> std::optional<picked_item> {
        ++picks;
        asked = p;
        return std::nullopt;
    }));
    EXPECT_EQ(picks, 1);
    EXPECT_EQ(asked.default_folder, L"C:\\start");
    EXPECT_EQ(asked.options_to_set, static_cast<DWORD>(FOS_PICKFOLDERS));
    EXPECT_TRUE(host_.fakes.log.empty());
    const fs::path dir = temp_dir(L"Create In ", false);
    run(create_in_folder(host_, L"", [&](HWND, const pick_folder_params&) -> std::optional<picked_item> {
        return picked_item{dir.wstring(), -1};
    }));
    ASSERT_EQ(host_.fakes.log.size(), 1u);
    EXPECT_EQ(host_.list.size(), 1u);
    fs::remove_all(dir);
}

TEST_F(FolderCommands, ARealPickerCancelledPicksNothing)
{
    std::thread canceller([] {
        // The common item dialog, whatever its title, is the only other dialog of the process.
        for (int i = 0; i < 1000; ++i) {
            HWND w = find_own_dialog(nullptr);
            if (w) {
                PostMessageW(w, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });
    const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    pick_folder_params p;
    p.options_to_set = p.options_mask = FOS_PICKFOLDERS;
    const auto picked = pick_folder(host_.main_window(), p);
    canceller.join();
    EXPECT_FALSE(picked);
    if (SUCCEEDED(init))
        CoUninitialize();
}

TEST_F(FolderCommands, OptimizeShowsTheResultAndNoProgressUnder300Ms)
{
    host_.list = {L"c:\\data"};
    host_.selection = 0;
    bool disabled_during = false;
    host_.fakes.on_resync = [&](const std::wstring&, std::shared_ptr<progress> target) {
        disabled_during = !host_.enabled;
        target->set_stage(L"Searching");
        dedup::resync_stats s{};
        s.uncompressed_size = 2048;
        s.unique_size = 1024;
        s.compressed_size = 512;
        s.files_added = 2;
        return later(20, std::expected<dedup::resync_stats, long>(s));
    };
    std::uint64_t now = 0;
    set_optimize_clock([&] { return now += 12'345'000; });
    std::wstring result_title;
    bool progress_seen = false;
    std::thread driver([&] {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < end) {
            if (find_own_dialog(L"Folder Optimization"))
                progress_seen = true;
            if (HWND r = find_own_dialog(L"Operation Result")) {
                result_title = window_text(r);
                press_escape(r);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    });
    run(optimize_selected_folder(host_));
    driver.join();
    set_optimize_clock({});
    EXPECT_EQ(result_title, L"Operation Result");
    EXPECT_TRUE(disabled_during);
    EXPECT_FALSE(progress_seen);
    EXPECT_TRUE(host_.enabled);
    EXPECT_EQ(host_.fakes.log, std::vector<std::wstring>{L"resync c:\\data"});
}

TEST_F(FolderCommands, OptimizeErrorsAreShownWithoutOwnerAndTheControlsComeBack)
{
    host_.list = {L"c:\\data"};
    host_.selection = 0;
    const HRESULT rows[] = {static_cast<HRESULT>(0x80070002),  // no folder server
                            static_cast<HRESULT>(0x800704C7),  // the folder server died mid-call
                            static_cast<HRESULT>(0x80070420)}; // an operation already runs
    for (const HRESULT hr : rows) {
        host_.fakes.on_resync = [hr](const std::wstring&, std::shared_ptr<progress>) {
            return failing<std::expected<dedup::resync_stats, long>>(10, hr);
        };
        box_driver boxes({IDOK});
        run(optimize_selected_folder(host_));
        ASSERT_TRUE(wait_until([&] { return boxes.count() == 1; }, 3000));
        EXPECT_EQ(boxes.seen()[0].text,
                  format_error_text(L"Error occurred during folder optimization: {0} ({1ub016x})", hr));
        EXPECT_EQ(boxes.seen()[0].owner, nullptr);
        EXPECT_TRUE(host_.enabled);
    }
    // An HRESULT in the reply is the same.
    host_.fakes.on_resync = [](const std::wstring&, std::shared_ptr<progress>) {
        return later(5, std::expected<dedup::resync_stats, long>(std::unexpected(static_cast<long>(0x80070005))));
    };
    box_driver boxes({IDOK});
    run(optimize_selected_folder(host_));
    ASSERT_TRUE(wait_until([&] { return boxes.count() == 1; }, 3000));
    EXPECT_NE(boxes.seen()[0].text.find(L"(0x80070005)"), std::wstring::npos);
}

TEST_F(FolderCommands, ACommandOfAClosingWindowEndsSilently)
{
    host_.list = {L"c:\\data"};
    host_.selection = 0;
    host_.fakes.on_resync = [&](const std::wstring&, std::shared_ptr<progress>) {
        host_.is_closing = true;
        return failing<std::expected<dedup::resync_stats, long>>(10, static_cast<HRESULT>(0x800704C7));
    };
    box_driver boxes({IDOK});
    run(optimize_selected_folder(host_));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(boxes.count(), 0u);
}

TEST_F(FolderCommands, RecoverAnsweredNoMakesNoCallAndYesReports)
{
    host_.list = {L"c:\\data"};
    host_.selection = 0;
    {
        box_driver boxes({IDNO});
        run(recover_selected_folder(host_));
        ASSERT_EQ(boxes.count(), 1u);
        EXPECT_EQ(boxes.seen()[0].text.substr(0, 73),
                  L"Recover operation will try to restore recently deleted files and folders.");
        EXPECT_TRUE(host_.fakes.log.empty());
        EXPECT_EQ(host_.enables, 0);
    }
    box_driver boxes({IDYES, IDOK});
    run(recover_selected_folder(host_));
    ASSERT_TRUE(wait_until([&] { return boxes.count() == 2; }, 3000));
    EXPECT_EQ(boxes.seen()[1].text, L"3 files and 1 folders recovered.");
    EXPECT_EQ(host_.fakes.log, std::vector<std::wstring>{L"recover c:\\data"});
    EXPECT_TRUE(host_.enabled);
}

TEST_F(FolderCommands, DeleteCases)
{
    const long not_empty = static_cast<long>(0x80070091);
    {
        host_.list = {L"c:\\a", L"c:\\b", L"c:\\c"};
        host_.selection = 1;
        box_driver boxes({});
        run(delete_selected_folder(host_));
        EXPECT_EQ(host_.list, (std::vector<std::wstring>{L"c:\\a", L"c:\\c"}));
        EXPECT_EQ(host_.selection, 1);
        EXPECT_EQ(boxes.count(), 0u);
    }
    {
        host_.fakes.log.clear();
        host_.list = {L"c:\\a", L"c:\\b"};
        host_.selection = 1;
        host_.fakes.on_delete = [&](const std::wstring&, bool force) { return later(5, force ? 0L : not_empty); };
        box_driver boxes({IDNO});
        run(delete_selected_folder(host_));
        ASSERT_EQ(boxes.count(), 1u);
        EXPECT_EQ(boxes.seen()[0].text, L"The folder is not empty. Are you sure you still want to delete it? You WILL "
                                        L"NOT be able to recover your files!");
        EXPECT_EQ(host_.list.size(), 2u);
        EXPECT_EQ(host_.selection, 1);
        EXPECT_TRUE(host_.enabled);
        EXPECT_EQ(host_.fakes.log, std::vector<std::wstring>{L"delete c:\\b"});
    }
    {
        host_.fakes.log.clear();
        host_.list = {L"c:\\a", L"c:\\b"};
        host_.selection = 1;
        box_driver boxes({IDYES});
        run(delete_selected_folder(host_));
        EXPECT_EQ(host_.fakes.log, (std::vector<std::wstring>{L"delete c:\\b", L"delete c:\\b force"}));
        EXPECT_EQ(host_.list, std::vector<std::wstring>{L"c:\\a"});
        EXPECT_EQ(host_.selection, -1); // the last entry went: nothing selected
    }
    {
        host_.fakes.log.clear();
        host_.list = {L"c:\\a", L"c:\\b", L"c:\\c"};
        host_.selection = 1;
        // A refresh forwarded meanwhile puts another folder at the index while the question is open.
        host_.fakes.on_delete = [&](const std::wstring&, bool force) {
            if (!force)
                host_.list = {L"c:\\z", L"c:\\c", L"c:\\a", L"c:\\b"};
            return later(5, force ? 0L : not_empty);
        };
        box_driver boxes({IDYES});
        run(delete_selected_folder(host_));
        EXPECT_EQ(host_.fakes.log, (std::vector<std::wstring>{L"delete c:\\b", L"delete c:\\b force"}));
        EXPECT_EQ(host_.list, (std::vector<std::wstring>{L"c:\\z", L"c:\\c", L"c:\\a"}));
    }
    {
        host_.list = {L"c:\\a"};
        host_.selection = 0;
        host_.fakes.on_delete = [](const std::wstring&, bool) { return later(5, static_cast<long>(0x80070005)); };
        box_driver boxes({IDOK});
        run(delete_selected_folder(host_));
        ASSERT_TRUE(wait_until([&] { return boxes.count() == 1; }, 3000));
        EXPECT_EQ(boxes.seen()[0].text, format_error_text(L"Unable to delete folder: {0} ({1ub016x}).", 0x80070005));
        EXPECT_EQ(host_.list.size(), 1u);
        EXPECT_TRUE(host_.enabled);
    }
}

TEST_F(FolderCommands, OptimizeOverThePipeWithAnAbsentAndADyingFolderServer)
{
    pipe_folder_services services([](std::wstring) { return later(1, 0L); }, [](std::wstring, bool) { return later(1, 0L); });
    struct pipe_host : fake_host {
        folder_services* real = nullptr;
        folder_services& services() override { return *real; }
    };
    pipe_host host;
    host.real = &services;
    const std::wstring folder = L"c:\\plendor tests\\optimize" + std::to_wstring(GetCurrentProcessId());
    host.list = {folder};
    host.selection = 0;
    {
        box_driver boxes({IDOK});
        run(optimize_selected_folder(host));
        ASSERT_TRUE(wait_until([&] { return boxes.count() == 1; }, 3000));
        EXPECT_EQ(boxes.seen()[0].text,
                  format_error_text(L"Error occurred during folder optimization: {0} ({1ub016x})", 0x80070002));
        EXPECT_TRUE(host.enabled);
    }
    {
        repo_test::fake_folder_server server(folder, repo_test::fake_folder_server::mode::die);
        box_driver boxes({IDOK});
        bool disabled_during = false;
        auto f = optimize_selected_folder(host);
        disabled_during = !host.enabled;
        run(std::move(f));
        ASSERT_TRUE(wait_until([&] { return boxes.count() == 1; }, 3000));
        EXPECT_EQ(boxes.seen()[0].text,
                  format_error_text(L"Error occurred during folder optimization: {0} ({1ub016x})", 0x800704C7));
        EXPECT_TRUE(disabled_during);
        EXPECT_TRUE(host.enabled);
    }
    {
        repo_test::fake_folder_server server(folder, repo_test::fake_folder_server::mode::answer);
        std::wstring result;
        std::thread driver([&] {
            if (HWND r = wait_for_dialog(L"Operation Result")) {
                result = window_text(r);
                press_escape(r);
            }
        });
        run(optimize_selected_folder(host));
        driver.join();
        EXPECT_EQ(result, L"Operation Result");
        EXPECT_EQ(server.resyncs, 1);
        // resync(0, 7, 3): compression level 7, purging placeholders and blocks.
        EXPECT_EQ(server.level, 7);
        EXPECT_EQ(server.purge, 3u);
    }
}

TEST_F(FolderCommands, VerbFormsAndNoSelection)
{
    EXPECT_EQ(folder_verb_form(L"C:/Data/Photos/"), L"c:\\data\\photos");
    EXPECT_FALSE(folder_verb_form(L"Photos"));
    host_.list = {L"c:\\a"};
    host_.selection = -1;
    box_driver boxes({});
    run(optimize_selected_folder(host_));
    run(recover_selected_folder(host_));
    run(delete_selected_folder(host_));
    EXPECT_TRUE(host_.fakes.log.empty());
    EXPECT_EQ(boxes.count(), 0u);
}

} // namespace
