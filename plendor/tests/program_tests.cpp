// The program's commands wired into the main window, against the service stand-in: convert by
// verb (the question for a non-empty folder, the canonical entry it adds), and convert through
// the stand-in that starts the real folder server, followed by Optimize from the main window.
#include "main_window.h"
#include "test_programs.h"

#include <plendor/connections.h>
#include <plendor/program_hooks.h>

#include <plendor/commands/texts.h>

#include <test_http_server.h>

#include <gtest/gtest.h>

#include <windows.h>
#include <shellapi.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace plendor_test;
using namespace std::chrono_literals;

// A folder beside the test program (no known folder is above it), removed with its files.
class scratch_folder {
public:
    explicit scratch_folder(const wchar_t* name) : path_(program_folder() + name)
    {
        remove();
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~scratch_folder() { remove(); }
    const std::wstring& path() const { return path_; }
    void add_file(const wchar_t* name) const
    {
        HANDLE f = CreateFileW((path_ + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(f, INVALID_HANDLE_VALUE);
        CloseHandle(f);
    }

private:
    void remove() const
    {
        std::wstring from = path_ + L'\0'; // double-terminated for the shell
        SHFILEOPSTRUCTW op{};
        op.wFunc = FO_DELETE;
        op.pFrom = from.c_str();
        op.fFlags = FOF_NO_UI;
        SHFileOperationW(&op);
    }
    std::wstring path_;
};

std::wstring lowered(std::wstring text)
{
    CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
    return text;
}

std::string narrow(const std::wstring& text)
{
    std::string out(static_cast<std::size_t>(WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr)), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, out.data(), static_cast<int>(out.size()), nullptr, nullptr);
    out.pop_back();
    return out;
}

std::size_t convert_requests(const service_stand_in& service)
{
    const std::vector<std::string> lines = service.requests();
    return static_cast<std::size_t>(
        std::count_if(lines.begin(), lines.end(), [](const std::string& l) { return l.starts_with("convert "); }));
}

// A visible dialog of this process with the title.
HWND find_dialog(const wchar_t* title)
{
    struct search {
        const wchar_t* title;
        HWND found;
    } s{title, nullptr};
    EnumWindows(
        [](HWND w, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<search*>(context);
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            wchar_t cls[16] = {};
            GetClassNameW(w, cls, 16);
            wchar_t text[256] = {};
            GetWindowTextW(w, text, 256);
            if (pid == GetCurrentProcessId() && IsWindowVisible(w) && std::wstring_view(cls) == L"#32770" &&
                std::wstring_view(text) == s->title) {
                s->found = w;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
}

bool dialog_has_text(HWND dialog, const wchar_t* text)
{
    struct search {
        const wchar_t* text;
        bool found;
    } s{text, false};
    EnumChildWindows(
        dialog,
        [](HWND w, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<search*>(context);
            wchar_t t[512] = {};
            GetWindowTextW(w, t, 512);
            s->found = s->found || std::wstring_view(t) == s->text;
            return !s->found;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
}

auto program_hooks = [](main_dlg_hooks& hooks) { hooks = make_program_hooks(); };

int list_selection(HWND main) { return static_cast<int>(SendDlgItemMessageW(main, main_ids::list, LB_GETCURSEL, 0, 0)); }

std::vector<std::wstring> list_entries(HWND main)
{
    std::vector<std::wstring> out;
    const int n = static_cast<int>(SendDlgItemMessageW(main, main_ids::list, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
        wchar_t text[MAX_PATH * 2] = {};
        SendDlgItemMessageW(main, main_ids::list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text));
        out.push_back(text);
    }
    return out;
}

TEST(Program, ConvertingANonEmptyFolderAnsweredNoCallsNothing)
{
    scratch_folder folder(L"program-convert-full");
    folder.add_file(L"kept.txt");
    service_stand_in service({L"c:\\other"});
    main_window w(L"plendor.exe --convert \"" + folder.path() + L"\"", program_hooks);
    HWND box = nullptr;
    ASSERT_TRUE(w.wait_until([&] { return (box = find_dialog(message_box_caption.data())) != nullptr; }));
    EXPECT_TRUE(dialog_has_text(box, L"Are you sure you want to convert an existing folder to deduplicated folder?"));
    PostMessageW(box, WM_COMMAND, IDNO, 0);
    ASSERT_TRUE(w.wait_until([&] { return !IsWindow(box) && IsWindowEnabled(w.control(main_ids::add)); }));
    Sleep(200);
    EXPECT_EQ(convert_requests(service), 0u);
    EXPECT_EQ(list_entries(w.window()), std::vector<std::wstring>{L"c:\\other"});
    EXPECT_EQ(service.folders(), std::vector<std::wstring>{L"c:\\other"});
}

// Given in upper case with a dot segment and a trailing separator, the folder reaches the service,
// the stand-in's list and the main window's list in one form: canonical and in lower case. The new
// entry is selected.
TEST(Program, AConvertAddsTheCanonicalLowerCaseEntryAndSelectsIt)
{
    scratch_folder folder(L"Program-Convert-Empty");
    service_stand_in service({L"c:\\other"});
    std::wstring spelled = folder.path();
    CharUpperBuffW(spelled.data(), static_cast<DWORD>(spelled.size()));
    const std::size_t cut = spelled.rfind(L'\\');
    spelled = spelled.substr(0, cut) + L"\\.\\" + spelled.substr(cut + 1) + L"\\";
    const std::wstring expected = lowered(folder.path());

    main_window w(L"plendor.exe --convert \"" + spelled + L"\"", program_hooks);
    ASSERT_TRUE(w.wait_until([&] { return list_entries(w.window()).size() == 2; }));
    EXPECT_EQ(list_entries(w.window()), (std::vector<std::wstring>{L"c:\\other", expected}));
    EXPECT_EQ(list_selection(w.window()), 1);
    EXPECT_EQ(service.folders(), (std::vector<std::wstring>{L"c:\\other", expected}));
    const std::vector<std::string> requests = service.requests();
    EXPECT_NE(std::find(requests.begin(), requests.end(), "convert " + narrow(expected) + " 1"), requests.end());
    EXPECT_EQ(convert_requests(service), 1u);
    // An empty folder asks nothing: no question, no offer to optimize.
    Sleep(200);
    EXPECT_EQ(find_dialog(message_box_caption.data()), nullptr);
    EXPECT_TRUE(IsWindowEnabled(w.control(main_ids::optimize)));
}

// The whole way: the convert verb through the stand-in, which starts the real folder server, then
// Optimize from the main window shows the result dialog, and the controls come back.
TEST(Program, ConvertThroughTheStandInThenOptimizeShowsTheResult)
{
    scratch_folder folder(L"program-end-to-end");
    service_stand_in service({}, {}, program_folder() + L"dedup.exe");
    main_window w(L"plendor.exe --convert \"" + folder.path() + L"\"", program_hooks);
    ASSERT_TRUE(w.wait_until([&] { return list_entries(w.window()).size() == 1 && list_selection(w.window()) == 0; }, 30s));
    ASSERT_TRUE(w.wait_until([&] { return IsWindowEnabled(w.control(main_ids::optimize)) != FALSE; }));
    PostMessageW(w.window(), WM_COMMAND, MAKEWPARAM(main_ids::optimize, BN_CLICKED), 0);
    HWND result = nullptr;
    ASSERT_TRUE(w.wait_until([&] { return (result = find_dialog(L"Operation Result")) != nullptr; }, 30s));
    EXPECT_EQ(GetWindow(result, GW_OWNER), w.window());
    PostMessageW(result, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(w.wait_until([&] { return !IsWindow(result); }));
    EXPECT_TRUE(w.wait_until([&] { return IsWindowEnabled(w.control(main_ids::optimize)) != FALSE; }));
    EXPECT_TRUE(w.errors().empty());
    // Deleting it ends the folder server the stand-in started, which holds the folder.
    try {
        std::shared_ptr<service_connection> connection = service_connection::open();
        auto removed = connection->delete_folder(lowered(folder.path()), true);
        tavik::details::wait_blocking(removed);
        EXPECT_EQ(removed.get(), 0);
    } catch (const tavik::details::hresult_error_impl& e) {
        ADD_FAILURE() << "delete: " << std::hex << e.code();
    }
}

// A start without a verb: the notice, then the update check, which finds a newer version, downloads
// it and asks. The window closed while the question is open ends the program: the close does not
// wait for the flow, which is below it in the question's loop.
TEST(Program, TheWindowClosedDuringTheUpdateQuestionEnds)
{
    http_test::server site;
    const std::wstring address = site.base();
    const std::string base(address.begin(), address.end());
    site.set("/dispatch/dedup/checkforupdates",
             {http_test::route::answer, 200, R"({"Version":103010005,"Url":")" + base + R"(setup"})"});
    site.set("/setup", {http_test::route::answer, 200, std::string(10'000, 's')});
    service_stand_in service({L"c:\\a"});
    main_window w(L"plendor.exe", [&](main_dlg_hooks& hooks) { hooks = make_program_hooks({site.base()}); });
    HWND notice = nullptr;
    ASSERT_TRUE(w.wait_until([&] { return (notice = find_dialog(pre_release_notice_title)) != nullptr; }));
    PostMessageW(notice, WM_COMMAND, IDOK, 0);
    HWND question = nullptr;
    ASSERT_TRUE(w.wait_until([&] {
        question = find_dialog(message_box_caption.data());
        return question && question != notice && IsWindow(question);
    }, 20s));
    EXPECT_EQ(site.requests().size(), 2u); // the check and the download, before the question
    PostMessageW(w.window(), WM_CLOSE, 0, 0);
    EXPECT_NE(w.wait_for_end(10s), -1);
    EXPECT_FALSE(IsWindow(question));
}

} // namespace
