#include <plendor/commands/progress_dlg.h>

#include <plendor/commands/result_dlg.h>
#include <plendor/commands/texts.h>

#include <ostrel/windows/dpi.h>
#include <quillo/render.h>
#include <tavik/future.h>
#include <tavik/lock_guard.h>

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <coroutine>
#include <cstddef>

using namespace Ostrel::windows::impl;
using namespace Ostrel::layout::details;

namespace {

constexpr UINT_PTR show_timer = 0;
constexpr UINT_PTR estimate_timer = 1;

// Continues on the context's UI thread, directly when already there.
struct to_ui_thread {
    const async_context* ui;
    bool await_ready() const noexcept { return ui->is_ui_thread(); }
    void await_suspend(std::coroutine_handle<> h) const noexcept { ui->post_resume(h); }
    void await_resume() const noexcept {}
};

tavik::details::fire_and_forget apply_on_ui_thread(std::weak_ptr<progress_dlg> target, const async_context* ui)
{
    co_await to_ui_thread{ui};
    // A dialog already gone drops the reports.
    if (std::shared_ptr<progress_dlg> dialog = target.lock())
        dialog->apply_pending();
}

D2D1_COLOR_F system_colour(int index) noexcept
{
    const COLORREF c = GetSysColor(index);
    return {GetRValue(c) / 255.0f, GetGValue(c) / 255.0f, GetBValue(c) / 255.0f, 1.0f};
}

} // namespace

std::uint64_t system_time_now() noexcept
{
    FILETIME t{};
    GetSystemTimePreciseAsFileTime(&t);
    return (static_cast<std::uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}

progress_dlg::progress_dlg(std::wstring title, std::function<void()> cancel_action, progress_clock clock)
    : title_(std::move(title)), cancel_action_(std::move(cancel_action)),
      clock_(clock ? std::move(clock) : progress_clock(&system_time_now))
{
    ring_[0] = {0, clock_()};
    write_ = 1;
    count_ = 1;
    oldest_ = 0;
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
                        on_message(WM_DESTROY,
                                   [this](message_record&) {
                                       if (owner_)
                                           EnableWindow(owner_, TRUE);
                                       return false;
                                   }),
                        on_message(WM_PAINT,
                                   [this](message_record&) {
                                       paint();
                                       return true;
                                   }),
                        on_message(WM_TIMER,
                                   [this](message_record& m) {
                                       if (m.wparam == show_timer) {
                                           KillTimer(window(), show_timer);
                                           ShowWindow(window(), SW_SHOW);
                                       } else if (m.wparam == estimate_timer) {
                                           update_estimate();
                                       }
                                       return true;
                                   }),
                        on_command(IDCANCEL, [this] { on_cancel(); })));
}

progress_dlg::~progress_dlg()
{
    if (HWND w = window())
        DestroyWindow(w);
    drop(*this);
    status_.release();
    Ostrel::d2d::com_release(format_);
    Ostrel::d2d::com_release(dwrite_);
    Ostrel::d2d::com_release(d2d_);
}

void progress_dlg::on_init_dialog()
{
    HWND w = window();
    SetWindowTextW(w, title_.c_str());
    owner_ = GetWindow(w, GW_OWNER);
    if (owner_)
        EnableWindow(owner_, FALSE);
    float dpi = static_cast<float>(window_dpi(w));
    if (!dpi_api::system().get_dpi_for_window && d2d_) {
        FLOAT x = 96, y = 96;
        d2d_->GetDesktopDpi(&x, &y);
        dpi = x;
    }
    horizontal_scale = vertical_scale = dpi / 96.0f;

    HWND bar = GetDlgItem(w, IDC_PROGRESS_BAR);
    SendMessageW(bar, PBM_SETRANGE32, 0, progress_range);
    SendMessageW(bar, PBM_SETPOS, 0, 0);
    SetWindowLongPtrW(bar, GWL_STYLE, GetWindowLongPtrW(bar, GWL_STYLE) | PBS_MARQUEE);
    SendMessageW(bar, PBM_SETMARQUEE, TRUE, 0);
    marquee_ = true;
    if (!cancel_action_)
        EnableWindow(GetDlgItem(w, IDCANCEL), FALSE);

    float text_height = 0;
    if (dwrite_ &&
        SUCCEEDED(create_text_format(w, dwrite_, offsetof(NONCLIENTMETRICSW, lfMessageFont), 1.0f, &format_))) {
        rebuild_status_text();
        DWRITE_TEXT_METRICS metrics{};
        if (status_.layout && SUCCEEDED(status_.layout->GetMetrics(&metrics)))
            text_height = std::ceil(metrics.height);
    }

    const float* s = scale_pointer();
    const spacing m = margin();
    const spacing r = related();
    const float scale = this->scale() > 0 ? this->scale() : 1.0f;
    RECT button{}, bar_rect{};
    GetWindowRect(GetDlgItem(w, IDCANCEL), &button);
    GetWindowRect(bar, &bar_rect);
    const float button_height = static_cast<float>(button.bottom - button.top) / scale;
    const float ideal = static_cast<float>(ideal_button_width(w, IDCANCEL, icon_unit())) / scale;
    const float button_width =
        ideal > static_cast<float>(icon_unit()) / scale ? ideal : static_cast<float>(button.right - button.left) / scale;
    const float bar_height = static_cast<float>(bar_rect.bottom - bar_rect.top) / scale;
    layout_rows().add({
        scaled_difference(edge_of(IDC_TEXT_PLACE, left), edge_of(0, left), s, m.width),
        scaled_difference(edge_of(IDC_TEXT_PLACE, top), edge_of(0, top), s, m.height),
        scaled_difference(edge_of(0, right), edge_of(IDC_TEXT_PLACE, right), s, m.width),
        scaled_difference(edge_of(IDC_TEXT_PLACE, bottom), edge_of(IDC_TEXT_PLACE, top), s, text_height),
        scaled_difference(edge_of(IDC_PROGRESS_BAR, top), edge_of(IDC_TEXT_PLACE, bottom), s, m.height),
        scaled_difference(edge_of(IDC_PROGRESS_BAR, bottom), edge_of(IDC_PROGRESS_BAR, top), s, bar_height),
        scaled_difference(edge_of(IDC_PROGRESS_BAR, left), edge_of(IDC_TEXT_PLACE, left), s, m.width),
        scaled_difference(edge_of(IDC_TEXT_PLACE, right), edge_of(IDC_PROGRESS_BAR, right), s, m.width),
        scaled_difference(edge_of(IDCANCEL, top), edge_of(IDC_PROGRESS_BAR, bottom), s, m.height),
        scaled_difference(edge_of(IDCANCEL, bottom), edge_of(IDCANCEL, top), s, button_height),
        scaled_difference(edge_of(IDCANCEL, right), edge_of(IDCANCEL, left), s, button_width),
        centring(edge_of(IDCANCEL, left), edge_of(IDCANCEL, right), edge_of(0, left), edge_of(0, right), 0.5f),
        scaled_difference(edge_of(0, bottom), edge_of(IDCANCEL, bottom), s, r.height + m.height),
    });
    center_window(w);
    layout(true);
    center_window(w);
    SetTimer(w, show_timer, 300, nullptr);
    SetTimer(w, estimate_timer, 5000, nullptr);
}

void progress_dlg::rebuild_status_text()
{
    status_.release();
    if (!dwrite_ || !format_)
        return;
    try {
        const std::wstring text = quillo::format(L"[[[b[[[s:120:{0}]]]]]]\n\n{1}", stage_, time_left_);
        Ostrel::d2d::parse_markup(status_, dwrite_, text, format_, 10000.0f, 10000.0f);
    } catch (...) {
        // A text the formatter refuses leaves the area empty; the dialog goes on.
    }
}

void progress_dlg::invalidate_text()
{
    HWND w = window();
    if (!w)
        return;
    RECT place{};
    GetWindowRect(GetDlgItem(w, IDC_TEXT_PLACE), &place);
    MapWindowPoints(nullptr, w, reinterpret_cast<POINT*>(&place), 2);
    InvalidateRect(w, &place, FALSE);
}

void progress_dlg::set_stage(std::wstring_view stage)
{
    {
        tavik::details::exclusive_lock_guard guard(lock_);
        pending_.stage = std::wstring(stage);
    }
    post_pending();
}

void progress_dlg::set_progress(std::uint64_t done, std::uint64_t total)
{
    {
        tavik::details::exclusive_lock_guard guard(lock_);
        pending_.progress = std::pair{done, total};
    }
    post_pending();
}

void progress_dlg::post_pending()
{
    if (is_ui_thread()) {
        apply_pending();
        return;
    }
    {
        tavik::details::exclusive_lock_guard guard(lock_);
        if (pending_.posted)
            return;
        pending_.posted = true;
        ++posted_count_;
    }
    apply_on_ui_thread(weak_from_this(), this);
}

void progress_dlg::apply_pending()
{
    pending_reports taken;
    {
        tavik::details::exclusive_lock_guard guard(lock_);
        taken = std::move(pending_);
        pending_ = {};
    }
    if (taken.stage)
        apply_stage(std::move(*taken.stage));
    if (taken.progress)
        apply_progress(taken.progress->first, taken.progress->second);
}

void progress_dlg::apply_stage(std::wstring stage)
{
    stage_ = std::move(stage);
    rebuild_status_text();
    invalidate_text();
}

void progress_dlg::apply_progress(std::uint64_t done, std::uint64_t total)
{
    HWND bar = window() ? GetDlgItem(window(), IDC_PROGRESS_BAR) : nullptr;
    if (total != 0) {
        done_ = done;
        total_ = total;
        if (marquee_) {
            SendMessageW(bar, PBM_SETMARQUEE, FALSE, 0);
            SetWindowLongPtrW(bar, GWL_STYLE, GetWindowLongPtrW(bar, GWL_STYLE) & ~static_cast<LONG_PTR>(PBS_MARQUEE));
            SendMessageW(bar, PBM_SETRANGE32, 0, progress_range);
            marquee_ = false;
        }
        // done above total (or far above: a double that no int holds) stays at the end of the bar.
        const double position = std::clamp(static_cast<double>(done) / static_cast<double>(total) * progress_range, 0.0,
                                           static_cast<double>(progress_range));
        SendMessageW(bar, PBM_SETPOS, static_cast<WPARAM>(static_cast<int>(position)), 0);
    } else if (!marquee_) {
        SetWindowLongPtrW(bar, GWL_STYLE, GetWindowLongPtrW(bar, GWL_STYLE) | PBS_MARQUEE);
        SendMessageW(bar, PBM_SETMARQUEE, TRUE, 0);
        marquee_ = true;
    }
}

void progress_dlg::update_estimate()
{
    const std::uint64_t now = clock_();
    const sample oldest = ring_[oldest_];
    if (now > oldest.time && now - oldest.time > 100'000'000 && total_ != 0 && oldest.done < done_ && done_ < total_) {
        const double seconds = static_cast<double>(total_ - done_) /
                               (static_cast<double>(done_ - oldest.done) *
                                (10'000'000.0 / static_cast<double>(now - oldest.time)));
        if (seconds >= 0) {
            time_left_ = format_time_left(seconds);
            rebuild_status_text();
            invalidate_text();
        }
    }
    if (count_ < ring_.size()) {
        ring_[write_] = {done_, now};
        write_ = (write_ + 1) % ring_.size();
        ++count_;
    } else {
        ring_[write_] = {done_, now};
        write_ = (write_ + 1) % ring_.size();
        oldest_ = write_;
    }
}

void progress_dlg::on_cancel()
{
    if (!cancel_action_)
        return;
    HWND button = GetDlgItem(window(), IDCANCEL);
    SetWindowTextW(button, L"Canceling\u2026");
    EnableWindow(button, FALSE);
    cancel_action_();
}

void progress_dlg::create_device_dependent_resources(ID2D1RenderTarget* target)
{
    const D2D1_COLOR_F colour = system_colour(COLOR_WINDOWTEXT);
    target->CreateSolidColorBrush(&colour, nullptr, &brush_);
}

void progress_dlg::release_device_dependent_resources()
{
    Ostrel::d2d::com_release(brush_);
}

void progress_dlg::paint()
{
    PAINTSTRUCT ps;
    BeginPaint(window(), &ps);
    ID2D1RenderTarget* target = d2d_ ? create_device_resources(d2d_, dwrite_, window(), *this) : nullptr;
    if (target) {
        target->BeginDraw();
        const D2D1_COLOR_F background = system_colour(COLOR_BTNFACE);
        target->Clear(&background);
        if (status_.layout && brush_) {
            RECT place{};
            GetWindowRect(GetDlgItem(window(), IDC_TEXT_PLACE), &place);
            MapWindowPoints(nullptr, window(), reinterpret_cast<POINT*>(&place), 2);
            const float s = horizontal_scale > 0 ? horizontal_scale : 1.0f;
            target->DrawTextLayout(D2D1_POINT_2F{static_cast<float>(place.left) / s, static_cast<float>(place.top) / s},
                                   status_.layout, brush_, D2D1_DRAW_TEXT_OPTIONS_NONE);
        }
        end_draw(window(), *this);
        target->Release();
    }
    EndPaint(window(), &ps);
}

std::shared_ptr<progress_dlg> make_progress_dlg(HWND owner, std::wstring title, std::function<void()> cancel_action,
                                                progress_clock clock)
{
    auto dialog = std::make_shared<progress_dlg>(std::move(title), std::move(cancel_action), std::move(clock));
    if (!dialog->create_modeless(owner))
        return nullptr;
    return dialog;
}
