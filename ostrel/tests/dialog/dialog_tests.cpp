// Real dialogs under the display (Xvfb in the test command), checked by their state. The same
// program runs in the build's prefix and in one at 144 DPI: every expectation follows the scale.

#include "test_dialogs.h"

#include <tavik/future.h>
#include <tavik/thread_pool.h>

#include <gtest/gtest.h>

#include <wincodec.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <thread>

namespace {

using namespace dialog_tests;
using tavik::details::future;

bool pump_until(const std::function<bool()>& done, int seconds = 20)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (std::chrono::steady_clock::now() < end) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done())
            return true;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    return done();
}

void pump_idle()
{
    pump_until([] { return false; }, 0);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

RECT child_rect(HWND dialog, int id)
{
    RECT r{};
    GetWindowRect(GetDlgItem(dialog, id), &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

RECT client_of(HWND w)
{
    RECT r{};
    GetClientRect(w, &r);
    return r;
}

int px(float length96, float scale) { return static_cast<int>(std::lround(length96 * scale)); }

std::filesystem::path artifacts()
{
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    HDC dc = GetDC(nullptr);
    const int dpi = GetDeviceCaps(dc, LOGPIXELSX);
    ReleaseDC(nullptr, dc);
    auto dir = std::filesystem::path(exe).parent_path() / L"artifacts" / (L"ostrel-" + std::to_wstring(dpi) + L"dpi");
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    return dir;
}

// Writes 32-bit BGRA pixels as a PNG.
bool save_png(const std::filesystem::path& path, UINT width, UINT height, const BYTE* pixels, UINT stride)
{
    IWICImagingFactory* wic = nullptr;
    if (FAILED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&wic))))
        return false;
    bool ok = false;
    IWICStream* stream = nullptr;
    IWICBitmapEncoder* encoder = nullptr;
    IWICBitmapFrameEncode* frame = nullptr;
    if (SUCCEEDED(wic->CreateStream(&stream)) && SUCCEEDED(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE)) &&
        SUCCEEDED(wic->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
        SUCCEEDED(encoder->Initialize(stream, WICBitmapEncoderNoCache)) &&
        SUCCEEDED(encoder->CreateNewFrame(&frame, nullptr)) && SUCCEEDED(frame->Initialize(nullptr)) &&
        SUCCEEDED(frame->SetSize(width, height))) {
        WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
        ok = SUCCEEDED(frame->SetPixelFormat(&format)) &&
             SUCCEEDED(frame->WritePixels(height, stride, stride * height, const_cast<BYTE*>(pixels))) &&
             SUCCEEDED(frame->Commit()) && SUCCEEDED(encoder->Commit());
    }
    Ostrel::d2d::com_release(frame);
    Ostrel::d2d::com_release(encoder);
    Ostrel::d2d::com_release(stream);
    wic->Release();
    return ok;
}

// A screenshot of a window from the screen, as an artifact of the run.
void save_window_png(HWND window, const wchar_t* name)
{
    RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    pump_idle();
    RECT r{};
    GetWindowRect(window, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0)
        return;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    if (bitmap && bits) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
        SelectObject(memory, old);
        GdiFlush();
        auto* p = static_cast<BYTE*>(bits);
        for (int i = 0; i < w * h; ++i)
            p[i * 4 + 3] = 255;
        save_png(artifacts() / name, static_cast<UINT>(w), static_cast<UINT>(h), p, static_cast<UINT>(w * 4));
    }
    if (bitmap)
        DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

future<int> on_pool(int value)
{
    co_await tavik::details::resume_on_thread_pool();
    co_return value;
}

class Dialogs : public ::testing::Test {
protected:
    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        INITCOMMONCONTROLSEX icc{sizeof(icc), 0x4237};
        InitCommonControlsEx(&icc);
        hook_ = install_ui_return_hook();
    }
    void TearDown() override
    {
        pump_idle();
        hook_.reset();
        CoUninitialize();
    }
    Ostrel::windows::unhook_windows_hook hook_;
};

TEST_F(Dialogs, BindingChainsAndResults)
{
    main_dlg d;
    EXPECT_EQ(d.window(), nullptr);
    HWND w = d.create_modeless(nullptr);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(d.window(), w);
    EXPECT_EQ(GetWindowLongPtrW(w, GWLP_USERDATA), reinterpret_cast<LONG_PTR>(static_cast<dialog_object*>(&d)));
    // The object was bound on the first message, which comes before WM_INITDIALOG.
    EXPECT_NE(d.first_message, static_cast<std::uint32_t>(WM_INITDIALOG));
    EXPECT_EQ(d.first_message, static_cast<std::uint32_t>(WM_SETFONT));
    EXPECT_TRUE(d.initialised());

    EXPECT_EQ(SendMessageW(w, WM_COMMAND, IDC_ADD, 0), 0);
    EXPECT_EQ(SendMessageW(w, process_command_message(), IDC_ADD, 0), 1);
    EXPECT_EQ(d.adds, 2);
    EXPECT_EQ(SendMessageW(w, process_command_message(), MAKEWPARAM(IDC_LIST, LBN_DBLCLK),
                           reinterpret_cast<LPARAM>(GetDlgItem(w, IDC_LIST))),
              1);
    EXPECT_EQ(d.double_clicks, 1);
    // A handler that throws leaves the message unhandled; the process goes on.
    EXPECT_EQ(SendMessageW(w, WM_APP, 0, 0), 0);

    SendMessageW(w, WM_COMMAND, IDCANCEL, 0);
    EXPECT_FALSE(IsWindow(w));
    EXPECT_EQ(d.window_at_ncdestroy, w);
    EXPECT_EQ(d.window(), nullptr);
}

future<void> end_when_back(const async_context& ctx, HWND& dialog, std::atomic<bool>& on_ui)
{
    const int v = co_await ctx.await(on_pool(1));
    on_ui = GetCurrentThreadId() == ctx.ui_thread() && v == 1;
    EndDialog(dialog, 1);
}

TEST_F(Dialogs, UiReturnInsideDialogBox)
{
    modal_dlg m;
    std::atomic<bool> on_ui{false};
    HWND window = nullptr;
    std::vector<future<void>> tasks;
    m.on_init = [&](modal_dlg& self) {
        window = self.window();
        tasks.push_back(end_when_back(self, window, on_ui));
    };
    EXPECT_EQ(m.show_modal(nullptr), 1);
    EXPECT_TRUE(on_ui);
    // The end-dialog entry answers 2.
    modal_dlg cancelled;
    cancelled.on_init = [](modal_dlg& self) { PostMessageW(self.window(), WM_COMMAND, IDCANCEL, 0); };
    EXPECT_EQ(cancelled.show_modal(nullptr), 2);
}

// Closes the message box titled `title` once back on the UI thread (inside the box's own loop).
// It looks for the box for ten seconds, less than the watchdog's time: a loaded machine can take
// longer to show the box than any fixed number of round trips to the pool.
future<void> close_box_when_back(const async_context& ctx, const wchar_t* title, std::atomic<int>& closed)
{
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < give_up) {
        co_await ctx.await(on_pool(0));
        if (HWND box = FindWindowW(L"#32770", title)) {
            closed = GetCurrentThreadId() == ctx.ui_thread() ? 1 : 2;
            PostMessageW(box, WM_COMMAND, IDOK, 0);
            co_return;
        }
    }
}

// Ends a loop that would otherwise never return, so that a fault fails the test instead of hanging.
class watchdog {
public:
    explicit watchdog(const wchar_t* title) : title_(title), thread_([this](std::stop_token stop) { run(stop); }) {}
    bool fired() const { return fired_; }

private:
    void run(std::stop_token stop)
    {
        for (int i = 0; i < 300 && !stop.stop_requested(); ++i)
            Sleep(50);
        if (stop.stop_requested())
            return;
        fired_ = true;
        if (HWND box = FindWindowW(L"#32770", title_))
            PostMessageW(box, WM_COMMAND, IDOK, 0);
    }
    const wchar_t* title_;
    std::atomic<bool> fired_{false};
    std::jthread thread_;
};

TEST_F(Dialogs, UiReturnInsideMessageBox)
{
    async_context ctx;
    std::atomic<int> closed{0};
    watchdog dog(L"Ostrel box");
    auto task = close_box_when_back(ctx, L"Ostrel box", closed);
    MessageBoxW(nullptr, L"Closed by a coroutine", L"Ostrel box", MB_OK);
    EXPECT_EQ(closed, 1);
    EXPECT_FALSE(dog.fired());
}

TEST_F(Dialogs, RunMainDialogResumesInsideAModalLoopOfInitDialog)
{
    hook_.reset(); // run_main_dialog installs its own
    main_dlg d;
    d.exit_code = 5;
    std::atomic<int> closed{0};
    watchdog dog(L"Ostrel notice");
    std::vector<future<void>> tasks;
    d.on_init = [&](main_dlg& self) {
        tasks.push_back(close_box_when_back(self, L"Ostrel notice", closed));
        // The notice a second start shows before the main window returns from its creation.
        MessageBoxW(self.window(), L"Notice", L"Ostrel notice", MB_OK);
        PostMessageW(self.window(), WM_COMMAND, IDCANCEL, 0);
    };
    EXPECT_EQ(run_main_dialog(d, SW_SHOWNOACTIVATE), 5u);
    EXPECT_EQ(closed, 1);
    EXPECT_FALSE(dog.fired());
    hook_ = install_ui_return_hook();
}

class missing_dlg : public dialog<missing_dlg, 999>, public exit_code_holder {};

TEST_F(Dialogs, MainDialogWithoutItsResourceRaises)
{
    missing_dlg d;
    try {
        (void)run_main_dialog(d, SW_SHOWNOACTIVATE);
        FAIL() << "no exception";
    } catch (const std::system_error& e) {
        EXPECT_NE(std::string(e.what()).find("CreateDialogParam failed for main dialog"), std::string::npos);
        EXPECT_EQ(e.code().value(), ERROR_RESOURCE_NAME_NOT_FOUND);
    }
    EXPECT_EQ(d.window(), nullptr);
}

struct main_layout {
    RECT client, list, combo, add, close, first_edit, second_edit, last_edit, grip, untouched;
};

main_layout read_main(HWND w)
{
    return main_layout{client_of(w),
                       child_rect(w, IDC_LIST),
                       child_rect(w, IDC_COMBO),
                       child_rect(w, IDC_ADD),
                       child_rect(w, IDCANCEL),
                       child_rect(w, IDC_FIELD_EDIT),
                       child_rect(w, IDC_FIELD_EDIT + 1),
                       child_rect(w, IDC_FIELD_EDIT + 8),
                       child_rect(w, size_grip_id),
                       child_rect(w, IDC_UNTOUCHED)};
}

void expect_main_layout(main_dlg& d, const char* when)
{
    SCOPED_TRACE(when);
    HWND w = d.window();
    const float s = d.scale();
    const main_layout l = read_main(w);
    const int m7x = px(d.margin().width, s), m7y = px(d.margin().height, s);
    EXPECT_NEAR(l.list.left, m7x, 1);
    EXPECT_NEAR(l.combo.top, m7y, 1);
    EXPECT_NEAR(l.add.top, m7y, 1);
    EXPECT_NEAR(l.add.right, l.client.right - m7x, 1);
    EXPECT_NEAR(l.close.right, l.client.right - m7x, 1);
    EXPECT_NEAR(l.list.right, l.add.left - m7x, 1);
    EXPECT_NEAR(l.second_edit.right, l.client.right - m7x, 1);
    EXPECT_NEAR(l.first_edit.right - l.first_edit.left, l.second_edit.right - l.second_edit.left, 1);
    EXPECT_NEAR(l.last_edit.bottom, l.client.bottom - m7y, 1);
    EXPECT_NEAR(l.list.bottom, l.first_edit.top - m7y, 1);
    EXPECT_GT(l.list.bottom - l.list.top, 0);
    // The grip in the bottom-right corner.
    EXPECT_EQ(l.grip.right, l.client.right);
    EXPECT_EQ(l.grip.bottom, l.client.bottom);
    EXPECT_TRUE(IsWindowVisible(GetDlgItem(w, size_grip_id)));
    // A control without rows stays where the resource put it.
    RECT untouched{215, 130, 255, 138};
    MapDialogRect(w, &untouched);
    EXPECT_EQ(l.untouched.left, untouched.left);
    EXPECT_EQ(l.untouched.top, untouched.top);
}

TEST_F(Dialogs, MainLayoutAtTheScaleFillsKeepsMarginsGripAndMinimum)
{
    main_dlg d;
    HWND w = d.create_modeless(nullptr);
    ASSERT_NE(w, nullptr);
    ShowWindow(w, SW_SHOWNOACTIVATE);
    pump_idle();
    EXPECT_NEAR(d.scale(), static_cast<float>(window_dpi(w)) / 96.0f, 0.001f);
    expect_main_layout(d, "first pass");
    const main_layout first = read_main(w);
    RECT window{};
    GetWindowRect(w, &window);
    MINMAXINFO info{};
    EXPECT_EQ(SendMessageW(w, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info)), 0);
    EXPECT_EQ(info.ptMinTrackSize.x, window.right - window.left);
    EXPECT_EQ(info.ptMinTrackSize.y, window.bottom - window.top);
    save_window_png(w, L"main.png");

    // Larger: the list and the edits take the room; the grip keeps its size.
    SetWindowPos(w, nullptr, 0, 0, window.right - window.left + 200, window.bottom - window.top + 100,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    pump_idle();
    expect_main_layout(d, "larger");
    const main_layout larger = read_main(w);
    EXPECT_EQ(larger.list.right - first.list.right, 200);
    EXPECT_NEAR(larger.first_edit.right - larger.first_edit.left, first.first_edit.right - first.first_edit.left + 100, 1);
    EXPECT_EQ(larger.grip.right - larger.grip.left, first.grip.right - first.grip.left);
    EXPECT_EQ(larger.add.right - larger.add.left, first.add.right - first.add.left);

    // The same size again: no pass moves anything; a forced pass places the same.
    SetWindowPos(w, nullptr, 0, 0, window.right - window.left + 200, window.bottom - window.top + 100,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    const auto decompositions = d.layout_rows().decompositions();
    d.layout(true);
    EXPECT_EQ(read_main(w).list.right, larger.list.right);
    EXPECT_EQ(d.layout_rows().decompositions(), decompositions);
    DestroyWindow(w);
}

TEST_F(Dialogs, DpiChangeRebuildsTheLayoutAtTheNewScale)
{
    main_dlg d;
    HWND w = d.create_modeless(nullptr);
    ASSERT_NE(w, nullptr);
    ShowWindow(w, SW_SHOWNOACTIVATE);
    pump_idle();
    const float before = d.scale();
    const main_layout first = read_main(w);
    RECT window{};
    GetWindowRect(w, &window);
    const UINT new_dpi = static_cast<UINT>(std::lround(before * 96.0f * 1.5f));
    RECT suggested{window.left, window.top, window.left + (window.right - window.left) * 3 / 2,
                   window.top + (window.bottom - window.top) * 3 / 2};
    SendMessageW(w, WM_DPICHANGED, MAKEWPARAM(new_dpi, new_dpi), reinterpret_cast<LPARAM>(&suggested));
    pump_idle();
    EXPECT_NEAR(d.scale(), before * 1.5f, 0.001f);
    RECT moved{};
    GetWindowRect(w, &moved);
    EXPECT_EQ(moved.right - moved.left, suggested.right - suggested.left);
    expect_main_layout(d, "after the DPI change");
    const main_layout after = read_main(w);
    EXPECT_NEAR(after.list.left, px(d.margin().width, before * 1.5f), 1);
    EXPECT_NEAR(after.grip.right - after.grip.left, (first.grip.right - first.grip.left) * 3 / 2, 1);
    EXPECT_NEAR(after.add.right - after.add.left, (first.add.right - first.add.left) * 3 / 2, 2);
    MINMAXINFO info{};
    SendMessageW(w, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, suggested.right - suggested.left);
    // The same DPI again changes nothing.
    SendMessageW(w, WM_DPICHANGED, MAKEWPARAM(new_dpi, new_dpi), reinterpret_cast<LPARAM>(&suggested));
    EXPECT_EQ(read_main(w).list.right, after.list.right);
    save_window_png(w, L"main-dpi-changed.png");

    // A child's DPI change after its parent's reads the window's DPI again; the rows follow it.
    SendMessageW(w, WM_DPICHANGED_AFTERPARENT, 0, 0);
    EXPECT_NEAR(d.scale(), before, 0.001f);
    expect_main_layout(d, "after WM_DPICHANGED_AFTERPARENT");
    EXPECT_NEAR(read_main(w).list.left, px(d.margin().width, before), 1);
    DestroyWindow(w);
}

TEST_F(Dialogs, FlexibleHeightFollowsTheContent)
{
    flex_dlg d;
    HWND w = d.create_modeless(nullptr);
    ASSERT_NE(w, nullptr);
    ShowWindow(w, SW_SHOWNOACTIVATE);
    pump_idle();
    const float s = d.scale();
    const float m = d.margin().height, r = d.related().height;
    const int expected = static_cast<int>(std::lround((m + 14 + r + 16 + m + 23 + m) * s));
    EXPECT_NEAR(client_of(w).bottom, expected, 1);
    EXPECT_NEAR(child_rect(w, IDCANCEL).bottom, client_of(w).bottom - px(m, s), 1);
    save_window_png(w, L"flexible.png");
    // A taller window goes back to its content's height; a wider one keeps its width.
    RECT window{};
    GetWindowRect(w, &window);
    SetWindowPos(w, nullptr, 0, 0, window.right - window.left + 80, window.bottom - window.top + 120,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    pump_idle();
    EXPECT_NEAR(client_of(w).bottom, expected, 1);
    EXPECT_NEAR(child_rect(w, IDC_PROGRESS).right, client_of(w).right - px(d.margin().width, s), 1);
    DestroyWindow(w);
}

// A button whose BCM_GETTEXTMARGIN fails without writing, as without Common Controls 6.
LRESULT CALLBACK no_margin_button(HWND w, UINT message, WPARAM wparam, LPARAM lparam)
{
    auto previous = reinterpret_cast<WNDPROC>(GetPropW(w, L"ostrel-test-proc"));
    if (message == BCM_GETTEXTMARGIN)
        return FALSE;
    return CallWindowProcW(previous, w, message, wparam, lparam);
}

TEST_F(Dialogs, MeasureControlByClass)
{
    main_dlg d;
    HWND w = d.create_modeless(nullptr);
    ASSERT_NE(w, nullptr);
    HDC dc = GetDC(w);
    const int unit = d.icon_unit();
    auto text_width = [&](HWND control, const wchar_t* text) {
        HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0)));
        RECT r{};
        GetClientRect(control, &r);
        DrawTextW(dc, text, -1, &r, DT_CALCRECT);
        SelectObject(dc, old);
        return static_cast<int>(r.right - r.left);
    };
    auto borders = [](HWND control) {
        RECT c{}, win{};
        GetClientRect(control, &c);
        GetWindowRect(control, &win);
        return static_cast<int>((win.right - win.left) - (c.right - c.left));
    };
    // A button whose margins cannot be read counts none.
    HWND add = GetDlgItem(w, IDC_ADD);
    SetPropW(add, L"ostrel-test-proc",
             reinterpret_cast<HANDLE>(SetWindowLongPtrW(add, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&no_margin_button))));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(d.measure_control(dc, IDC_ADD, unit), borders(add) + unit + text_width(add, L"&Add..."));
    // The ideal size of a button that answers, plus the unit; of one that does not, the unit alone.
    SIZE ideal{};
    ASSERT_TRUE(SendMessageW(GetDlgItem(w, IDC_OPTIMIZE), BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal)));
    EXPECT_GT(ideal.cx, 0);
    EXPECT_EQ(ideal_button_width(w, IDC_OPTIMIZE, unit), ideal.cx + unit);
    EXPECT_EQ(ideal_button_width(w, IDC_FIELD_LABEL, unit), unit);
    // A static: half a unit.
    HWND label = GetDlgItem(w, IDC_FIELD_LABEL);
    EXPECT_EQ(d.measure_control(dc, IDC_FIELD_LABEL, unit), borders(label) + unit / 2 + text_width(label, L"Field 1:"));
    // A combo box: its widest item, not its text.
    HWND combo = GetDlgItem(w, IDC_COMBO);
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"short"));
    SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"a much longer item"));
    EXPECT_EQ(combo_item_text(combo, 1), L"a much longer item");
    EXPECT_EQ(combo_item_text(combo, 7), L"");
    RECT none{};
    HGDIOBJ old = SelectObject(dc, reinterpret_cast<HGDIOBJ>(SendMessageW(combo, WM_GETFONT, 0, 0)));
    DrawTextW(dc, L"a much longer item", -1, &none, DT_CALCRECT);
    SelectObject(dc, old);
    EXPECT_EQ(d.measure_control(dc, IDC_COMBO, unit), (none.right - none.left) + unit * 3 / 2 + borders(combo));
    // The unit: one and a half small icons at the dialog's DPI, from the system metric without the
    // per-monitor function.
    const dpi_api none_api{};
    d.use_dpi_api(&none_api);
    EXPECT_EQ(d.icon_unit(), GetSystemMetrics(SM_CXSMICON) * 3 / 2);
    ReleaseDC(w, dc);
    DestroyWindow(w);
}

class Drawing : public Dialogs {
protected:
    void SetUp() override
    {
        Dialogs::SetUp();
        ASSERT_EQ(D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr,
                                    reinterpret_cast<void**>(&d2d_)),
                  S_OK);
        ASSERT_EQ(DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                                      reinterpret_cast<IUnknown**>(&dwrite_)),
                  S_OK);
    }
    void TearDown() override
    {
        Ostrel::d2d::com_release(dwrite_);
        Ostrel::d2d::com_release(d2d_);
        Dialogs::TearDown();
    }
    ID2D1Factory* d2d_ = nullptr;
    IDWriteFactory* dwrite_ = nullptr;
};

TEST_F(Drawing, RenderTargetFollowsResizeAndDpiChange)
{
    markup_dlg d(d2d_, dwrite_);
    HWND w = d.create_modeless(nullptr);
    ASSERT_NE(w, nullptr);
    ShowWindow(w, SW_SHOWNOACTIVATE);
    UpdateWindow(w);
    pump_until([&] { return d.paints > 0; }, 5);
    ASSERT_NE(d.render_target, nullptr);
    EXPECT_EQ(d.resources_made, 1);
    EXPECT_EQ(d.last_end_draw, S_OK);
    ASSERT_NE(d.text.layout, nullptr);
    auto size_matches = [&] {
        const RECT c = client_of(w);
        const D2D1_SIZE_U size = d.render_target->GetPixelSize();
        return size.width == static_cast<UINT32>(c.right) && size.height == static_cast<UINT32>(c.bottom);
    };
    EXPECT_TRUE(size_matches());
    float dpi_x = 0, dpi_y = 0;
    d.render_target->GetDpi(&dpi_x, &dpi_y);
    EXPECT_NEAR(dpi_x, d.scale() * 96.0f, 0.5f);

    // Resized after the target exists (as the progress dialog's layout does): the target follows.
    RECT window{};
    GetWindowRect(w, &window);
    SetWindowPos(w, nullptr, 0, 0, window.right - window.left + 120, window.bottom - window.top + 40,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    ASSERT_NE(d.render_target, nullptr);
    EXPECT_TRUE(size_matches());

    // A click on the link (positions in 96-DPI pixels, the text drawn at 10, 10).
    UINT32 count = 0;
    d.text.layout->GetClusterMetrics(nullptr, 0, &count);
    std::vector<DWRITE_CLUSTER_METRICS> clusters(count);
    d.text.layout->GetClusterMetrics(clusters.data(), count, &count);
    float x = 0;
    for (UINT32 i = 0; i < d.text.links[0].startPosition && i < count; ++i)
        x += clusters[i].width;
    const float s = d.scale();
    auto at = [s](float x96, float y96) {
        return MAKELPARAM(static_cast<int>(std::lround(x96 * s)), static_cast<int>(std::lround(y96 * s)));
    };
    SendMessageW(w, WM_LBUTTONDOWN, 0, at(10 + x + 2, 10 + 6));
    EXPECT_EQ(d.link_clicks, 1);
    SendMessageW(w, WM_LBUTTONDOWN, 0, at(10 + 2, 10 + 6));
    EXPECT_EQ(d.link_clicks, 1);

    // A new DPI: the resources are dropped and remade at the new scale by the next paint.
    const UINT new_dpi = static_cast<UINT>(std::lround(s * 96.0f * 1.5f));
    GetWindowRect(w, &window);
    RECT suggested{window.left, window.top, window.left + (window.right - window.left) * 3 / 2,
                   window.top + (window.bottom - window.top) * 3 / 2};
    SendMessageW(w, WM_DPICHANGED, MAKEWPARAM(new_dpi, new_dpi), reinterpret_cast<LPARAM>(&suggested));
    EXPECT_EQ(d.resources_dropped, 1);
    RedrawWindow(w, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
    pump_until([&] { return d.render_target != nullptr; }, 5);
    ASSERT_NE(d.render_target, nullptr);
    EXPECT_EQ(d.resources_made, 2);
    d.render_target->GetDpi(&dpi_x, &dpi_y);
    EXPECT_NEAR(dpi_x, static_cast<float>(new_dpi), 0.5f);
    EXPECT_TRUE(size_matches());
    save_window_png(w, L"markup.png");

    // The text rendering follows the scale: natural symmetric from 1.5 on.
    IDWriteRenderingParams* params = nullptr;
    d.render_target->GetTextRenderingParams(&params);
    if (params) {
        EXPECT_EQ(params->GetRenderingMode(), d.scale() >= 1.5f ? DWRITE_RENDERING_MODE_NATURAL_SYMMETRIC
                                                                 : DWRITE_RENDERING_MODE_NATURAL);
        EXPECT_FLOAT_EQ(params->GetClearTypeLevel(), 1.0f);
        params->Release();
    }

    // A failed EndDraw drops everything and asks for a new paint. The failure: an opacity brush that
    // is not a bitmap brush, which the target records and EndDraw reports.
    ValidateRect(w, nullptr);
    const int dropped = d.resources_dropped;
    ID2D1RectangleGeometry* geometry = nullptr;
    const D2D1_RECT_F area{0, 0, 10, 10};
    ASSERT_EQ(d2d_->CreateRectangleGeometry(&area, &geometry), S_OK);
    d.render_target->BeginDraw();
    d.render_target->FillGeometry(geometry, d.text_brush, d.text_brush);
    const HRESULT failed = d.end_draw(w, d);
    geometry->Release();
    EXPECT_TRUE(FAILED(failed)) << std::hex << failed;
    EXPECT_EQ(d.render_target, nullptr);
    EXPECT_EQ(d.text_brush, nullptr);
    EXPECT_EQ(d.link.brush, nullptr);
    EXPECT_EQ(d.resources_dropped, dropped + 1);
    RECT update{};
    EXPECT_TRUE(GetUpdateRect(w, &update, FALSE));
    pump_until([&] { return d.render_target != nullptr; }, 5);
    EXPECT_NE(d.render_target, nullptr);
    DestroyWindow(w);
}

TEST_F(Drawing, TextFormatFromTheMessageFontAtTheWindowsDpi)
{
    markup_dlg d(d2d_, dwrite_);
    HWND w = d.create_modeless(nullptr);
    ASSERT_NE(w, nullptr);
    IDWriteTextFormat* format = nullptr;
    LOGFONTW font{};
    ASSERT_EQ(Ostrel::d2d::d2dsupport_base::create_text_format(w, dwrite_, offsetof(NONCLIENTMETRICSW, lfMessageFont),
                                                               1.5f, &format, &font),
              S_OK);
    ASSERT_NE(format, nullptr);
    wchar_t family[LF_FACESIZE] = {};
    format->GetFontFamilyName(family, LF_FACESIZE);
    EXPECT_STREQ(family, font.lfFaceName);
    const float dpi = static_cast<float>(Ostrel::d2d::text_dpi(w));
    const float height = font.lfHeight < 0 ? -font.lfHeight * 96.0f / dpi : static_cast<float>(font.lfHeight);
    EXPECT_NEAR(format->GetFontSize(), 1.5f * height, 0.01f);
    // A second call replaces (and releases) the first format; a bad offset leaves none.
    IDWriteTextFormat* first = format;
    first->AddRef();
    ASSERT_EQ(Ostrel::d2d::d2dsupport_base::create_text_format(w, dwrite_, offsetof(NONCLIENTMETRICSW, lfStatusFont),
                                                               1.0f, &format),
              S_OK);
    EXPECT_NE(format, first);
    EXPECT_EQ(first->Release(), 0u);
    EXPECT_EQ(Ostrel::d2d::d2dsupport_base::create_text_format(w, dwrite_, sizeof(NONCLIENTMETRICSW), 1.0f, &format),
              E_INVALIDARG);
    EXPECT_EQ(format, nullptr);
    DestroyWindow(w);
}

TEST_F(Drawing, MarkupPixelsThroughAWicBitmap)
{
    IWICImagingFactory* wic = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&wic)), S_OK);
    const UINT width = 360, height = 48;
    IWICBitmap* bitmap = nullptr;
    ASSERT_EQ(wic->CreateBitmap(width, height, GUID_WICPixelFormat32bppPBGRA, WICBitmapCacheOnLoad, &bitmap), S_OK);
    D2D1_RENDER_TARGET_PROPERTIES props{};
    props.pixelFormat = {DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_PREMULTIPLIED};
    props.dpiX = props.dpiY = 96.0f;
    ID2D1RenderTarget* target = nullptr;
    ASSERT_EQ(d2d_->CreateWicBitmapRenderTarget(bitmap, &props, &target), S_OK);
    IDWriteTextFormat* format = nullptr;
    ASSERT_EQ(dwrite_->CreateTextFormat(L"Tahoma", nullptr, DWRITE_FONT_WEIGHT_NORMAL, DWRITE_FONT_STYLE_NORMAL,
                                        DWRITE_FONT_STRETCH_NORMAL, 20.0f, L"en-us", &format),
              S_OK);
    Ostrel::d2d::markup_text text;
    // "[[[" with no letter at the end stays text; the link in the link colour, the rest black.
    Ostrel::d2d::parse_markup(text, dwrite_, L"[[[bBOLD]]] plain [[[hLINK]]] [[[", format, 340);
    ASSERT_NE(text.layout, nullptr);
    Ostrel::d2d::link_color_cache link{target, nullptr};
    ID2D1SolidColorBrush* link_brush = Ostrel::d2d::get_link_color(link);
    ASSERT_NE(link_brush, nullptr);
    const auto rgb = Ostrel::d2d::read_link_color();
    Ostrel::d2d::set_link_effects(text, link_brush);
    ID2D1SolidColorBrush* black = nullptr;
    const D2D1_COLOR_F black_color{0, 0, 0, 1}, white{1, 1, 1, 1};
    ASSERT_EQ(target->CreateSolidColorBrush(&black_color, nullptr, &black), S_OK);
    target->BeginDraw();
    target->Clear(&white);
    target->DrawTextLayout(D2D1_POINT_2F{4, 4}, text.layout, black, D2D1_DRAW_TEXT_OPTIONS_NONE);
    ASSERT_EQ(target->EndDraw(), S_OK);

    WICRect all{0, 0, static_cast<INT>(width), static_cast<INT>(height)};
    std::vector<BYTE> pixels(width * height * 4);
    ASSERT_EQ(bitmap->CopyPixels(&all, width * 4, static_cast<UINT>(pixels.size()), pixels.data()), S_OK);
    save_png(artifacts() / L"markup-wic.png", width, height, pixels.data(), width * 4);
    // Where the link is drawn, the link colour dominates; elsewhere dark pixels are grey.
    UINT32 count = 0;
    text.layout->GetClusterMetrics(nullptr, 0, &count);
    std::vector<DWRITE_CLUSTER_METRICS> clusters(count);
    text.layout->GetClusterMetrics(clusters.data(), count, &count);
    std::vector<float> starts{0};
    for (const auto& c : clusters)
        starts.push_back(starts.back() + c.width);
    const UINT link_start = text.links[0].startPosition, link_end = link_start + text.links[0].length;
    int link_pixels = 0, black_pixels = 0, stray = 0;
    for (UINT y = 0; y < height; ++y)
        for (UINT x = 0; x < width; ++x) {
            const BYTE* p = &pixels[(y * width + x) * 4];
            const int b = p[0], g = p[1], r = p[2];
            const bool inked = r + g + b < 600;
            if (!inked)
                continue;
            const float fx = static_cast<float>(x) - 4;
            const bool in_link = fx >= starts[link_start] && fx < starts[link_end];
            const bool bluish = rgb == std::array<std::uint32_t, 3>{0, 0, 255} ? (b > r + 60 && b > g + 60) : true;
            if (in_link && bluish)
                ++link_pixels;
            else if (!in_link && std::abs(r - b) < 40 && std::abs(g - b) < 40)
                ++black_pixels;
            else if (!in_link)
                ++stray;
        }
    EXPECT_GT(link_pixels, 20);
    EXPECT_GT(black_pixels, 50);
    EXPECT_LT(stray, black_pixels / 4 + 10);
    black->Release();
    Ostrel::d2d::com_release(link.brush);
    format->Release();
    target->Release();
    bitmap->Release();
    wic->Release();
}

} // namespace
