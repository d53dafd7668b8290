#include "ui_driver.h"

#include <plendor/commands/result_dlg.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

namespace {

using namespace ui_test;

struct seen {
    bool found = false;
    std::wstring title;
    RECT client{}, text{}, button{}, window{};
    bool button_visible = false;
};

// Shows the dialog modally on this thread while a driver reads it and presses Escape.
seen show_and_read(HWND owner, const std::wstring& title, const std::wstring& text, bool d2d = true)
{
    seen s;
    std::thread driver([&] {
        HWND d = wait_for_dialog(title.c_str());
        if (!d)
            return;

        s.found = true;
        s.title = window_text(d);
        GetClientRect(d, &s.client);
        GetWindowRect(d, &s.window);
        s.text = control_rect(d, IDC_TEXT_PLACE);
        s.button = control_rect(d, IDOK);
        s.button_visible = IsWindowVisible(GetDlgItem(d, IDOK));
        press_escape(d);
    });
    result_dlg dialog(title, text, d2d);
    const INT_PTR r = dialog.show_modal(owner);
    driver.join();
    EXPECT_EQ(r, 1);
    return s;
}

std::wstring lines(int n)
{
    std::wstring t;
    for (int i = 0; i < n; ++i) {
        if (i)
            t += L"\n";
        t += L"Line [[[b" + std::to_wstring(i + 1) + L"]]] of the text";
    }
    return t;
}

TEST(ResultDialog, OneAndSixteenLinesFitWithCloseCentredBelow)
{
    owner_window owner(100, 100, 700, 500);
    const seen one = show_and_read(owner.get(), L"Result one", lines(1));
    const seen sixteen = show_and_read(owner.get(), L"Result sixteen", lines(16));
    for (const seen* s : {&one, &sixteen}) {
        ASSERT_TRUE(s->found);
        EXPECT_TRUE(s->button_visible);
        // Close is centred in the client area and below the text, the client ends a margin below it.
        const LONG button_centre = (s->button.left + s->button.right) / 2;
        EXPECT_LE(std::abs(button_centre - s->client.right / 2), 1);
        EXPECT_GT(s->button.top, s->text.bottom);
        EXPECT_LT(s->button.bottom, s->client.bottom);
        EXPECT_LT(s->client.bottom - s->button.bottom, 30);
        EXPECT_GT(s->text.left, 0);
        EXPECT_LT(s->text.right, s->client.right);
    }
    const LONG one_height = one.text.bottom - one.text.top;
    const LONG sixteen_height = sixteen.text.bottom - sixteen.text.top;
    EXPECT_GT(one_height, 5);
    EXPECT_GE(sixteen_height, 15 * one_height);
    EXPECT_GT(sixteen.client.bottom, sixteen_height);
    EXPECT_EQ(one.title, L"Result one");
}

TEST(ResultDialog, CentredOverTheOwnerOrTheWorkAreaWhenItIsMinimised)
{
    owner_window owner(60, 80, 900, 700);
    const seen over_owner = show_and_read(owner.get(), L"Result centred", lines(3));
    RECT o{};
    GetWindowRect(owner.get(), &o);
    const POINT oc = centre_of(o), dc = centre_of(over_owner.window);
    EXPECT_LE(std::abs(oc.x - dc.x), 1);
    EXPECT_LE(std::abs(oc.y - dc.y), 1);

    ShowWindow(owner.get(), SW_MINIMIZE);
    const seen over_work = show_and_read(owner.get(), L"Result minimised", lines(3));
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    GetMonitorInfoW(MonitorFromWindow(owner.get(), MONITOR_DEFAULTTONEAREST), &info);
    const POINT wc = centre_of(info.rcWork), mc = centre_of(over_work.window);
    EXPECT_LE(std::abs(wc.x - mc.x), 1);
    EXPECT_LE(std::abs(wc.y - mc.y), 1);
}

TEST(ResultDialog, StaysInsideTheWorkArea)
{
    owner_window owner(-300, -200, 400, 300); // mostly off the screen
    const seen s = show_and_read(owner.get(), L"Result clamped", lines(2));
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    GetMonitorInfoW(MonitorFromWindow(owner.get(), MONITOR_DEFAULTTONEAREST), &info);
    EXPECT_GE(s.window.left, info.rcWork.left);
    EXPECT_GE(s.window.top, info.rcWork.top);
}

TEST(ResultDialog, WithoutDirect2DItStillSizesAndCloses)
{
    owner_window owner(100, 100, 700, 500);
    const seen with = show_and_read(owner.get(), L"Result drawn", lines(4));
    const seen without = show_and_read(owner.get(), L"Result undrawn", lines(4), false);
    ASSERT_TRUE(without.found);
    EXPECT_EQ(without.text.bottom - without.text.top, with.text.bottom - with.text.top);
    EXPECT_EQ(without.client.right, with.client.right);
}

// A DPI change while the dialog is open lays it out again at the new scale: the text's place grows
// with the scale, and Close stays centred below it inside the client area.
TEST(ResultDialog, ADpiChangeWhileOpenLaysItOutAgain)
{
    owner_window owner(100, 100, 700, 500);
    RECT text_before{}, text_after{}, button_after{}, client_after{};
    bool found = false;
    std::thread driver([&] {
        HWND d = wait_for_dialog(L"Result rescaled");
        if (!d)
            return;
        found = true;
        text_before = control_rect(d, IDC_TEXT_PLACE);
        RECT window{};
        GetWindowRect(d, &window);
        const UINT dpi = GetDpiForWindow(d) * 3 / 2;
        RECT suggested{window.left, window.top, window.left + (window.right - window.left) * 3 / 2,
                       window.top + (window.bottom - window.top) * 3 / 2};
        SendMessageW(d, WM_DPICHANGED, MAKEWPARAM(dpi, dpi), reinterpret_cast<LPARAM>(&suggested));
        text_after = control_rect(d, IDC_TEXT_PLACE);
        button_after = control_rect(d, IDOK);
        GetClientRect(d, &client_after);
        press_escape(d);
    });
    result_dlg dialog(L"Result rescaled", lines(3));
    EXPECT_EQ(dialog.show_modal(owner.get()), 1);
    driver.join();
    ASSERT_TRUE(found);
    const LONG before_width = text_before.right - text_before.left, after_width = text_after.right - text_after.left;
    const LONG before_height = text_before.bottom - text_before.top, after_height = text_after.bottom - text_after.top;
    EXPECT_NEAR(after_width, before_width * 3 / 2, 2);
    EXPECT_NEAR(after_height, before_height * 3 / 2, 2);
    EXPECT_LE(std::abs((button_after.left + button_after.right) / 2 - client_after.right / 2), 1);
    EXPECT_GT(button_after.top, text_after.bottom);
    EXPECT_LT(button_after.bottom, client_after.bottom);
    EXPECT_LT(text_after.right, client_after.right);
}

} // namespace
