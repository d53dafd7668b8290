#include "test_http_server.h"
#include "ui_driver.h"

#include <plendor/commands/update.h>

#include <ostrel/windows/async_context.h>
#include <tavik/error.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace {

using namespace tavik::details;
using ui_test::pump_until;
namespace fs = std::filesystem;

const version_t own{1, 3, 0, 177};

TEST(UpdateAnswer, CompareTable)
{
    struct row {
        version_t offered;
        bool newer;
    };
    const row rows[] = {
        {{1, 3, 0, 177}, false}, {{1, 3, 0, 176}, false}, {{1, 3, 0, 178}, true},  {{1, 3, 1, 5}, true},
        {{1, 2, 99, 9999}, false}, {{2, 0, 0, 0}, true},  {{0, 99, 99, 9999}, false},
        {{1, 3, 0, 9999}, true}, {{1, 2, 0, 9999}, false}, // a larger revision but a smaller minor is older
    };
    for (const row& r : rows)
        EXPECT_EQ(is_newer_version(r.offered, own), r.newer)
            << r.offered.major << "." << r.offered.minor << "." << r.offered.build << "." << r.offered.revision;
    EXPECT_FALSE(is_newer_version({1, 3, 0, 200}, {1, 3, 1, 5})); // larger revision, smaller build
}

TEST(UpdateAnswer, ReadTable)
{
    struct row {
        const char* body;
        bool answered;
        bool has_url;
    };
    const row rows[] = {
        {R"({"Version":103000177})", true, false},                                   // same
        {R"({"Version":103000176,"Url":"https://x/a"})", true, false},              // older: Url not read
        {R"({"Version":103000176,"Url":5})", true, false},                          //
        {R"({"Version":103010005,"Url":"https://x/setup"})", true, true},           // newer
        {R"({"Version":103010005.9,"Url":"https://x/setup"})", true, true},         // truncated
        {R"({"Version":4294967295,"Url":"https://x/s"})", true, true},              // the largest
        {R"({"Version":4294967296,"Url":"https://x/s"})", false, false},            // above 2^32 - 1
        {R"({"Version":1e300,"Url":"https://x/s"})", false, false},                 //
        {R"({"Version":-1,"Url":"https://x/s"})", false, false},                    // negative
        {R"({"Version":"103010005","Url":"https://x/s"})", false, false},           // not a number
        {R"({"Url":"https://x/s"})", false, false},                                 // missing
        {R"({"Version":103010005})", false, false},                                 // newer without Url
        {R"({"Version":103010005,"Url":"ftp://x/s"})", false, false},               // not http(s)
        {R"({"Version":103010005,"Url":"https://"})", false, false},                // rejected by WinHttpCrackUrl
        {R"({"Version":103010005,"Url":"http://x/s"})", false, false},              // not https after https
        {R"([103010005])", false, false},                                           // not an object
        {R"({"Version":103010005,)", false, false},                                 // malformed
        {"", false, false},
    };
    for (const row& r : rows) {
        const auto offer = read_update_answer(r.body, own, true);
        ASSERT_EQ(offer.has_value(), r.answered) << r.body;
        if (offer) {
            EXPECT_EQ(offer->url.has_value(), r.has_url) << r.body;
        }
    }
    const auto offer = read_update_answer(R"({"Version":103010005,"Url":"https://x/setup"})", own, true);
    EXPECT_EQ(offer->version, (version_t{1, 3, 1, 5}));
    EXPECT_EQ(*offer->url, L"https://x/setup");
    EXPECT_TRUE(read_update_answer(R"({"Version":103010005,"Url":"http://x/s"})", own, false)->url);
    EXPECT_EQ(make_update_query_address(L"https://site.test/", own),
              L"https://site.test/dispatch/dedup/checkforupdates?ver=103000177");
}

TEST(UpdateAnswer, GuidNames)
{
    const std::wstring a = new_guid_text(), b = new_guid_text();
    EXPECT_EQ(a.size(), 38u);
    EXPECT_EQ(a.front(), L'{');
    EXPECT_EQ(a.back(), L'}');
    EXPECT_NE(a, b);
    EXPECT_EQ(a.find_first_of(L"abcdef"), std::wstring::npos);
}

// The flow's surroundings: a window that records WM_CLOSE, the hook of the UI return, a folder for
// downloads and the update server.
class UpdateFlow : public testing::Test {
protected:
    void SetUp() override
    {
        hook_ = Ostrel::windows::impl::install_ui_return_hook();
        WNDCLASSW c{};
        c.lpfnWndProc = &UpdateFlow::window_proc;
        c.hInstance = GetModuleHandleW(nullptr);
        c.lpszClassName = L"plendor-update-test";
        RegisterClassW(&c);
        window_ = CreateWindowW(L"plendor-update-test", L"main", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                c.hInstance, nullptr);
        closes_ = 0;
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        folder_ = fs::path(temp) / (L"update-flow-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                    std::to_wstring(++counter_));
        fs::create_directories(folder_);
    }
    void TearDown() override
    {
        DestroyWindow(window_);
        std::error_code ignored;
        fs::remove_all(folder_, ignored);
    }

    static LRESULT CALLBACK window_proc(HWND w, UINT m, WPARAM wp, LPARAM lp)
    {
        if (m == WM_CLOSE) {
            ++closes_;
            return 0;
        }
        return DefWindowProcW(w, m, wp, lp);
    }

    update_flow_host host(std::function<int(HWND, const std::wstring&)> ask)
    {
        update_flow_host h;
        h.main_window = window_;
        h.ui = &ui_;
        h.base_address = server_.base();
        h.own = own;
        h.temp_folder = folder_.wstring();
        h.ask = std::move(ask);
        return h;
    }

    std::size_t files_in_folder() const
    {
        std::size_t n = 0;
        for ([[maybe_unused]] const auto& e : fs::directory_iterator(folder_))
            ++n;
        return n;
    }

    void offer_newer(const std::string& body, const std::string& path = "/setup")
    {
        server_.set("/dispatch/dedup/checkforupdates",
                    {http_test::route::answer, 200, R"({"Version":103010005,"Url":")" + narrow(server_.base()) +
                                                        path.substr(1) + R"("})"});
        server_.set(path, {http_test::route::answer, 200, body});
    }

    static std::string narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

    Ostrel::windows::unhook_windows_hook hook_;
    Ostrel::windows::impl::async_context ui_;
    http_test::server server_;
    HWND window_ = nullptr;
    fs::path folder_;
    static inline int closes_ = 0;
    static inline int counter_ = 0;
};

TEST_F(UpdateFlow, NotNewerDownloadsNothingAndAsksNothing)
{
    server_.set("/dispatch/dedup/checkforupdates", {http_test::route::answer, 200, R"({"Version":103000177,"Url":"x"})"});
    int asked = 0;
    auto flow = run_update_flow(host([&](HWND, const std::wstring&) { return ++asked, IDYES; }), cancellation_source());
    ASSERT_TRUE(pump_until([&] { return flow.is_ready(); }));
    EXPECT_EQ(asked, 0);
    ASSERT_EQ(server_.requests().size(), 1u);
    EXPECT_EQ(server_.requests()[0], "/dispatch/dedup/checkforupdates?ver=103000177");
}

TEST_F(UpdateFlow, BadAnswersEndSilently)
{
    for (const char* body : {"{", "[]", R"({"Version":-5})", R"({"Version":103010005,"Url":"gopher://x"})"}) {
        server_.set("/dispatch/dedup/checkforupdates", {http_test::route::answer, 200, body});
        int asked = 0;
        auto flow = run_update_flow(host([&](HWND, const std::wstring&) { return ++asked, IDYES; }), cancellation_source());
        ASSERT_TRUE(pump_until([&] { return flow.is_ready(); })) << body;
        EXPECT_EQ(asked, 0) << body;
    }
    // Above the answer's cap.
    server_.set("/dispatch/dedup/checkforupdates",
                {http_test::route::answer, 200, R"({"Version":103010005,"Url":"http://x/y","pad":")" +
                                                    std::string(70000, 'x') + "\"}"});
    int asked = 0;
    auto flow = run_update_flow(host([&](HWND, const std::wstring&) { return ++asked, IDYES; }), cancellation_source());
    ASSERT_TRUE(pump_until([&] { return flow.is_ready(); }));
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(server_.requests().size(), 5u); // no download was ever asked for
}

TEST_F(UpdateFlow, DownloadNotFoundLeavesNoFileAndAsksNothing)
{
    server_.set("/dispatch/dedup/checkforupdates",
                {http_test::route::answer, 200, R"({"Version":103010005,"Url":")" + narrow(server_.base()) + R"(gone"})"});
    int asked = 0;
    auto flow = run_update_flow(host([&](HWND, const std::wstring&) { return ++asked, IDYES; }), cancellation_source());
    ASSERT_TRUE(pump_until([&] { return flow.is_ready(); }));
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(server_.requests().size(), 2u);
    EXPECT_EQ(files_in_folder(), 0u);
}

TEST_F(UpdateFlow, BrokenDownloadLeavesNoFile)
{
    offer_newer("");
    server_.set("/setup", {http_test::route::cut, 200, std::string(500'000, 'z'), 100'000});
    int asked = 0;
    auto flow = run_update_flow(host([&](HWND, const std::wstring&) { return ++asked, IDYES; }), cancellation_source());
    ASSERT_TRUE(pump_until([&] { return flow.is_ready(); }));
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(files_in_folder(), 0u);
}

TEST_F(UpdateFlow, NoDeletesTheDownloadedFile)
{
    offer_newer(std::string(100'000, 'i'));
    std::wstring question;
    std::size_t files_while_asked = 0;
    HWND owner = nullptr;
    auto flow = run_update_flow(host([&](HWND o, const std::wstring& q) {
                                    question = q;
                                    owner = o;
                                    files_while_asked = files_in_folder();
                                    return IDNO;
                                }),
                                cancellation_source());
    ASSERT_TRUE(pump_until([&] { return flow.is_ready(); }));
    EXPECT_EQ(question, L"Tovalind 1.03.01.0005 is available. Do you want to upgrade now?");
    EXPECT_EQ(owner, window_);
    EXPECT_EQ(files_while_asked, 1u); // downloaded before the question
    EXPECT_EQ(files_in_folder(), 0u);
    EXPECT_EQ(closes_, 0);
}

TEST_F(UpdateFlow, YesWithAnInstallerThatCannotStartDeletesItAndStaysOpen)
{
    offer_newer("this is no program");
    auto flow = run_update_flow(host([&](HWND, const std::wstring&) { return IDYES; }), cancellation_source());
    ASSERT_TRUE(pump_until([&] { return flow.is_ready(); }));
    EXPECT_EQ(files_in_folder(), 0u);
    EXPECT_EQ(closes_, 0);
}

std::string read_file(const fs::path& p)
{
    std::ifstream in(p, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST_F(UpdateFlow, YesStartsTheInstallerWithAnInheritedHandleAndClosesTheWindow)
{
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const std::string stub = read_file(fs::path(exe).parent_path() / L"plendor_stub_installer.exe");
    ASSERT_FALSE(stub.empty());
    offer_newer(stub);
    const fs::path log = folder_.parent_path() / (L"stub-log-" + std::to_wstring(GetCurrentProcessId()));
    fs::remove(log);
    SetEnvironmentVariableW(L"PLENDOR_STUB_LOG", log.c_str());
    auto flow = run_update_flow(host([&](HWND, const std::wstring&) { return IDYES; }), cancellation_source());
    ASSERT_TRUE(pump_until([&] { return flow.is_ready() && closes_ == 1; }));
    ASSERT_TRUE(pump_until([&] { return fs::exists(log) && fs::file_size(log) > 0; }));
    SetEnvironmentVariableW(L"PLENDOR_STUB_LOG", nullptr);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const std::string bytes = read_file(log);
    const std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
    std::wistringstream lines(text);
    std::wstring command, path, pid;
    std::getline(lines, command);
    std::getline(lines, path);
    std::getline(lines, pid);
    // The file kept its GUID name without extension, and the command line quotes it.
    ASSERT_EQ(files_in_folder(), 1u);
    const fs::path installer = fs::directory_iterator(folder_)->path();
    EXPECT_EQ(installer.extension(), L"");
    EXPECT_EQ(installer.filename().wstring().size(), 38u);
    EXPECT_TRUE(command.starts_with(L"\"" + installer.wstring() + L"\" --wait-process ")) << command;
    EXPECT_EQ(pid, std::to_wstring(GetCurrentProcessId()));
    fs::remove(log);
}

TEST_F(UpdateFlow, CancelWhileTheServerIsSilentEndsWithinASecond)
{
    server_.set("/dispatch/dedup/checkforupdates", http_test::silent_route());
    update_flow_slot slot;
    ASSERT_TRUE(slot.start(host([](HWND, const std::wstring&) { return IDYES; })));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(slot.running());
    const auto start = std::chrono::steady_clock::now();
    slot.stop();
    EXPECT_FALSE(slot.running());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

TEST_F(UpdateFlow, CancelWhileDownloadingLeavesNoFile)
{
    offer_newer("");
    server_.set("/setup", http_test::silent_route());
    update_flow_slot slot;
    ASSERT_TRUE(slot.start(host([](HWND, const std::wstring&) { return IDYES; })));
    ASSERT_TRUE(pump_until([&] { return server_.requests().size() == 2; }));
    const auto start = std::chrono::steady_clock::now();
    slot.stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    server_.drop_connections();
    EXPECT_TRUE(pump_until([&] { return files_in_folder() == 0; }, 3000));
}

TEST_F(UpdateFlow, CloseAfterTheDownloadFinishedResumesTheFlowWhichDeletesItsFile)
{
    offer_newer(std::string(10'000, 'd'));
    int asked = 0;
    update_flow_slot slot;
    ASSERT_TRUE(slot.start(host([&](HWND, const std::wstring&) { return ++asked, IDYES; })));
    // The UI thread does not pump: the finished download waits for it, as during a long handler.
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (files_in_folder() == 0 && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(slot.running());
    slot.stop(); // would never return if it blocked the UI thread outright
    EXPECT_FALSE(slot.running());
    EXPECT_EQ(asked, 0);
    EXPECT_EQ(files_in_folder(), 0u);
    EXPECT_EQ(closes_, 0);
}

// The window is destroyed while the flow asks its question: the flow is below the close on this
// thread's stack, inside the question's message loop, so the close must not wait for it. The
// question then returns, and the flow, cancelled, deletes its file and ends.
TEST_F(UpdateFlow, ACloseDuringTheQuestionDoesNotWaitForTheFlowBelowIt)
{
    offer_newer(std::string(10'000, 'd'));
    update_flow_slot slot;
    bool open_during = false, open_after = true;
    ASSERT_TRUE(slot.start(host([&](HWND, const std::wstring&) {
        open_during = update_question_open();
        slot.stop(); // as WM_DESTROY would, from inside the question's loop
        return IDYES;
    })));
    ASSERT_TRUE(pump_until([&] { return !slot.running(); }, 20000));
    open_after = update_question_open();
    EXPECT_TRUE(open_during);
    EXPECT_FALSE(open_after);
    EXPECT_EQ(files_in_folder(), 0u);
    EXPECT_EQ(closes_, 0);
}

TEST_F(UpdateFlow, ASecondStartKeepsTheRunningFlow)
{
    server_.set("/dispatch/dedup/checkforupdates", http_test::silent_route());
    update_flow_slot slot;
    ASSERT_TRUE(slot.start(host([](HWND, const std::wstring&) { return IDYES; })));
    EXPECT_FALSE(slot.start(host([](HWND, const std::wstring&) { return IDYES; })));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(server_.requests().size(), 1u);
    slot.stop();
    server_.set("/dispatch/dedup/checkforupdates", {http_test::route::answer, 200, R"({"Version":1})"});
    ASSERT_TRUE(slot.start(host([](HWND, const std::wstring&) { return IDYES; }))); // the ended one is replaced
    ASSERT_TRUE(pump_until([&] { return !slot.running(); }));
}

TEST_F(UpdateFlow, AlreadyCancelledAsksNobody)
{
    cancellation_source source;
    source.cancel();
    auto flow = run_update_flow(host([](HWND, const std::wstring&) { return IDYES; }), source);
    ASSERT_TRUE(pump_until([&] { return flow.is_ready(); }, 2000));
    EXPECT_TRUE(server_.requests().empty());
}

} // namespace
