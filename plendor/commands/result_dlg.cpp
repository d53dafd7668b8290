#include <plendor/commands/result_dlg.h>

#include <ostrel/windows/dpi.h>

#include <algorithm>
#include <cmath>
#include <cstddef>

using namespace Ostrel::windows::impl;
using namespace Ostrel::layout::details;

void center_window(HWND window) noexcept
{
    RECT r{};
    if (!GetWindowRect(window, &r))
        return;
    const LONG width = r.right - r.left, height = r.bottom - r.top;
    const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
    if (style & WS_CHILD) {
        HWND parent = GetParent(window);
        RECT area{};
        GetClientRect(parent, &area);
        SetWindowPos(window, nullptr, (area.right - width) / 2, (area.bottom - height) / 2, 0, 0,
                     SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
        return;
    }
    HWND owner = GetWindow(window, GW_OWNER);
    HMONITOR monitor = MonitorFromWindow(owner && IsWindowVisible(owner) && !IsIconic(owner) ? owner : window,
                                         MONITOR_DEFAULTTONEAREST);
    MONITORINFO info{};
    info.cbSize = sizeof(info);
    if (!GetMonitorInfoW(monitor, &info))
        return;
    const RECT work = info.rcWork;
    RECT centre_on = work;
    if (owner && IsWindowVisible(owner) && !IsIconic(owner))
        GetWindowRect(owner, &centre_on);
    LONG left = centre_on.left + ((centre_on.right - centre_on.left) - width) / 2;
    LONG top = centre_on.top + ((centre_on.bottom - centre_on.top) - height) / 2;
    if (left + width > work.right)
        left = work.right - width;
    if (top + height > work.bottom)
        top = work.bottom - height;
    if (left < work.left)
        left = work.left;
    if (top < work.top)
        top = work.top;
    SetWindowPos(window, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

result_dlg::result_dlg(std::wstring title, std::wstring text, bool make_d2d)
    : title_(std::move(title)), text_(std::move(text))
{
    if (make_d2d)
        D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr,
                          reinterpret_cast<void**>(&d2d_));
    DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory), reinterpret_cast<IUnknown**>(&dwrite_));
    install(framework_entries());
    install(message_map(on_message(WM_INITDIALOG,
                                   [this](message_record& m) {
                                       on_init_dialog();
                                       m.result = TRUE;
                                       return true;
                                   }),
                        on_message(WM_PAINT,
                                   [this](message_record&) {
                                       paint();
                                       return true;
                                   }),
                        on_command(IDOK, [this] { EndDialog(window(), 1); }),
                        on_command(IDCANCEL, [this] { EndDialog(window(), 1); })));
}

result_dlg::~result_dlg()
{
    drop(*this);
    layout_.release();
    Ostrel::d2d::com_release(format_);
    Ostrel::d2d::com_release(dwrite_);
    Ostrel::d2d::com_release(d2d_);
}

void result_dlg::on_init_dialog()
{
    HWND w = window();
    SetWindowTextW(w, title_.c_str());
    float dpi = static_cast<float>(window_dpi(w));
    if (!dpi_api::system().get_dpi_for_window && d2d_) {
        FLOAT x = 96, y = 96;
        d2d_->GetDesktopDpi(&x, &y);
        dpi = x;
    }
    horizontal_scale = vertical_scale = dpi / 96.0f;

    if (dwrite_ &&
        SUCCEEDED(create_text_format(w, dwrite_, offsetof(NONCLIENTMETRICSW, lfMessageFont), 1.0f, &format_))) {
        Ostrel::d2d::parse_markup(layout_, dwrite_, text_, format_, 10000.0f, 10000.0f);
        DWRITE_TEXT_METRICS metrics{};
        if (layout_.layout && SUCCEEDED(layout_.layout->GetMetrics(&metrics))) {
            text_width_ = metrics.widthIncludingTrailingWhitespace;
            text_height_ = metrics.height;
        }
    }

    // Rows in 96-DPI pixels; the text's DIPs are the same unit.
    const float* s = scale_pointer();
    const spacing m = margin();
    const spacing r = related();
    const float scale = this->scale() > 0 ? this->scale() : 1.0f;
    RECT template_button{};
    GetWindowRect(GetDlgItem(w, IDOK), &template_button);
    const float button_height = static_cast<float>(template_button.bottom - template_button.top) / scale;
    const float ideal = static_cast<float>(ideal_button_width(w, IDOK, icon_unit())) / scale;
    // Without common controls 6 the button cannot tell its ideal width: its template width then.
    const float button_width = ideal > static_cast<float>(icon_unit()) / scale
                                   ? ideal
                                   : static_cast<float>(template_button.right - template_button.left) / scale;
    const float text_w = std::ceil(text_width_);
    const float text_h = std::ceil(text_height_);
    layout_rows().add({
        scaled_difference(edge_of(IDC_TEXT_PLACE, left), edge_of(0, left), s, m.width),
        scaled_difference(edge_of(IDC_TEXT_PLACE, top), edge_of(0, top), s, m.height),
        scaled_difference(edge_of(IDC_TEXT_PLACE, right), edge_of(IDC_TEXT_PLACE, left), s, text_w),
        scaled_difference(edge_of(IDC_TEXT_PLACE, bottom), edge_of(IDC_TEXT_PLACE, top), s, text_h),
        scaled_difference(edge_of(IDOK, top), edge_of(IDC_TEXT_PLACE, bottom), s, r.height),
        scaled_difference(edge_of(IDOK, bottom), edge_of(IDOK, top), s, button_height),
        scaled_difference(edge_of(IDOK, right), edge_of(IDOK, left), s, button_width),
        centring(edge_of(IDOK, left), edge_of(IDOK, right), edge_of(0, left), edge_of(0, right), 0.5f),
        scaled_difference(edge_of(0, bottom), edge_of(IDOK, bottom), s, m.height),
    });

    // The width encloses the text or the button; the rows give the height.
    const float client_width = 2 * m.width + std::max(text_w, button_width);
    RECT client{0, 0, static_cast<LONG>(std::lround(client_width * scale)), 100};
    RECT window_now{}, client_now{};
    GetWindowRect(w, &window_now);
    GetClientRect(w, &client_now);
    const LONG frame_w = (window_now.right - window_now.left) - client_now.right;
    const LONG frame_h = (window_now.bottom - window_now.top) - client_now.bottom;
    SetWindowPos(w, nullptr, 0, 0, client.right + frame_w, client.bottom + frame_h,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    layout(true);
    center_window(w);
}

void result_dlg::create_device_dependent_resources(ID2D1RenderTarget* target)
{
    const COLORREF c = GetSysColor(COLOR_WINDOWTEXT);
    const D2D1_COLOR_F colour{GetRValue(c) / 255.0f, GetGValue(c) / 255.0f, GetBValue(c) / 255.0f, 1.0f};
    target->CreateSolidColorBrush(&colour, nullptr, &brush_);
}

void result_dlg::release_device_dependent_resources()
{
    Ostrel::d2d::com_release(brush_);
}

void result_dlg::paint()
{
    PAINTSTRUCT ps;
    BeginPaint(window(), &ps);
    ID2D1RenderTarget* target = d2d_ ? create_device_resources(d2d_, dwrite_, window(), *this) : nullptr;
    if (target) {
        target->BeginDraw();
        const COLORREF c = GetSysColor(COLOR_BTNFACE);
        const D2D1_COLOR_F background{GetRValue(c) / 255.0f, GetGValue(c) / 255.0f, GetBValue(c) / 255.0f, 1.0f};
        target->Clear(&background);
        if (layout_.layout && brush_) {
            RECT place{};
            GetWindowRect(GetDlgItem(window(), IDC_TEXT_PLACE), &place);
            MapWindowPoints(nullptr, window(), reinterpret_cast<POINT*>(&place), 2);
            const float s = horizontal_scale > 0 ? horizontal_scale : 1.0f;
            target->DrawTextLayout(D2D1_POINT_2F{static_cast<float>(place.left) / s, static_cast<float>(place.top) / s},
                                   layout_.layout, brush_, D2D1_DRAW_TEXT_OPTIONS_NONE);
        }
        end_draw(window(), *this);
        target->Release();
    }
    EndPaint(window(), &ps);
}

void show_result_dialog(HWND owner, const std::wstring& title, const std::wstring& text)
{
    result_dlg dialog(title, text);
    dialog.show_modal(owner);
}
