#pragma once
// The layout manager bound to a Win32 dialog: the client rectangle, control measurement, the size
// grip, the minimum window size and the passes run by the framework's messages.
//
//     class progress_dlg : public dialog<progress_dlg, 109>,
//                          public dialog_layout_manager_winapi<progress_dlg, true> { ... };
//
// The dialog installs framework_entries() ahead of its own map: WM_INITDIALOG sets the scale, the
// spacings and the grip (and leaves the message to the dialog, which adds its rows and runs the
// first, forced pass), WM_WINDOWPOSCHANGED lays out again, WM_DPICHANGED and
// WM_DPICHANGED_AFTERPARENT rebuild at the new scale, WM_GETMINMAXINFO keeps the window from
// shrinking below its first size. Sizes are kept in 96-DPI pixels and multiplied by the scale.

#include <ostrel/layout/layout_manager.h>
#include <ostrel/scope_guards.h>
#include <ostrel/windows/dpi.h>
#include <ostrel/windows/messages.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <string>

namespace Ostrel::layout::details {

inline constexpr int size_grip_id = 0xE801;
inline constexpr float dpi_to_scale = 0.010416667f;

// The text of a combo box item; empty when the box does not answer.
std::wstring combo_item_text(HWND combo, int index);

// The preferred width of a control in pixels: its text measured in its own font, plus its borders
// and, by class, button text margins and a unit (BUTTON), half a unit (STATIC), or for a combo box
// the widest item plus one and a half units.
int measure_control(HWND dialog, HDC dc, int id, int unit);

// The width of a button as the installer's dialogs measure it: its ideal size (BCM_GETIDEALSIZE,
// 0 when the button cannot tell) plus the unit.
int ideal_button_width(HWND dialog, int id, int unit) noexcept;

// Creates the size grip in the bottom-right corner when the dialog has none.
void ensure_size_grip(HWND dialog) noexcept;

template <class D, bool FlexibleHeight = false>
class dialog_layout_manager_winapi {
public:
    dialog_layout_manager_winapi() : layout_(FlexibleHeight) {}

    layout_manager& layout_rows() noexcept { return layout_; }
    float scale() const noexcept { return layout_.scale; }
    const float* scale_pointer() const noexcept { return &layout_.scale; }
    const spacing& margin() const noexcept { return spacing7_; }   // 7 x 7 dialog units
    const spacing& related() const noexcept { return spacing3_; }  // 3 x 3
    const spacing& tight() const noexcept { return spacing2_; }    // 2 x 2
    bool initialised() const noexcept { return initialised_; }
    POINT minimum_size() const noexcept { return {min_width_, min_height_}; }

    void set_maximum_size(std::int32_t width, std::int32_t height) noexcept
    {
        max_width_ = width;
        max_height_ = height;
    }

    // The framework block of a laid-out dialog; handled only for WM_GETMINMAXINFO.
    windows::impl::handler framework_entries()
    {
        return [this](windows::impl::message_record& m) -> bool {
            switch (m.message) {
            case WM_INITDIALOG: init_metrics(); return false;
            case WM_WINDOWPOSCHANGED:
                if (initialised_)
                    layout(false);
                return false;
            case WM_DPICHANGED: on_dpi_changed(m); return false;
            case WM_DPICHANGED_AFTERPARENT: {
                const float s = static_cast<float>(windows::impl::window_dpi(hwnd(), dpi_api())) * dpi_to_scale;
                if (s != layout_.scale) {
                    // The rows took the scale when they were written: written again at the new one.
                    layout_.scale = s;
                    reset_layout();
                    layout(true);
                }
                return false;
            }
            case WM_GETMINMAXINFO: return on_get_min_max_info(m);
            default: return false;
            }
        };
    }

    // Scale from the window's DPI, spacings from the dialog's font, and the size grip.
    bool init_metrics() noexcept
    {
        const float s = static_cast<float>(windows::impl::window_dpi(hwnd(), dpi_api())) * dpi_to_scale;
        if (s != layout_.scale)
            layout_.scale = s;
        spacing7_ = map_spacing(7);
        spacing3_ = map_spacing(3);
        spacing2_ = map_spacing(2);
        ensure_size_grip(hwnd());
        return false;
    }

    // WM_DPICHANGED: a new scale rebuilds the system and moves the window to the suggested rectangle.
    bool on_dpi_changed(windows::impl::message_record& m) noexcept
    {
        UINT dpi = LOWORD(m.wparam);
        if (dpi == 0)
            dpi = windows::impl::window_dpi(hwnd(), dpi_api());
        const float s = static_cast<float>(dpi) * dpi_to_scale;
        if (s == layout_.scale)
            return false;
        layout_.scale = s;
        reset_layout();
        if (const RECT* suggested = reinterpret_cast<const RECT*>(m.lparam))
            SetWindowPos(hwnd(), nullptr, suggested->left, suggested->top, suggested->right - suggested->left,
                         suggested->bottom - suggested->top, SWP_NOACTIVATE | SWP_NOZORDER);
        layout(true);
        return false;
    }

    bool on_get_min_max_info(windows::impl::message_record& m) noexcept
    {
        auto* info = reinterpret_cast<MINMAXINFO*>(m.lparam);
        if (!info)
            return false;
        bool written = false;
        if (min_width_ != -1 && min_height_ != -1) {
            info->ptMinTrackSize = {min_width_, min_height_};
            written = true;
        }
        if (max_width_ != -1) {
            info->ptMaxTrackSize.x = max_width_;
            written = true;
        }
        if (max_height_ != -1) {
            info->ptMaxTrackSize.y = max_height_;
            written = true;
        }
        if (written)
            m.result = 0;
        return written;
    }

    // One layout pass; `force` after a DPI change or when the rows changed.
    void layout(bool force) noexcept
    {
        HWND dialog = hwnd();
        RECT client{};
        if (!GetClientRect(dialog, &client) || client.right <= client.left || client.bottom <= client.top)
            return;
        const bool first = !initialised_;
        if (first) {
            RECT window{};
            GetWindowRect(dialog, &window);
            POINT corners[2] = {{window.left, window.top}, {window.right, window.bottom}};
            ScreenToClient(dialog, &corners[0]);
            ScreenToClient(dialog, &corners[1]);
            margins_ = {corners[0].x - client.left, corners[0].y - client.top, corners[1].x - client.right,
                        corners[1].y - client.bottom};
            // The grip's rows are kept in 96-DPI pixels, so a reset for a new DPI keeps them.
            HWND grip = grip_rows_added_ ? nullptr : GetDlgItem(dialog, size_grip_id);
            if (grip) {
                grip_rows_added_ = true;
                RECT g{};
                GetWindowRect(grip, &g);
                const float s = layout_.scale > 0 ? layout_.scale : 1.0f;
                const term grip_right = edge_of(size_grip_id, right), grip_left = edge_of(size_grip_id, left);
                const term grip_bottom = edge_of(size_grip_id, bottom), grip_top = edge_of(size_grip_id, top);
                layout_.add({constant_difference(grip_right, edge_of(0, right), 0),
                             constant_difference(grip_bottom, edge_of(0, bottom), 0),
                             scaled_difference(grip_right, grip_left, &layout_.scale,
                                               static_cast<float>(g.right - g.left) / s),
                             scaled_difference(grip_bottom, grip_top, &layout_.scale,
                                               static_cast<float>(g.bottom - g.top) / s)});
            }
            initialised_ = true;
        }
        const rect now{client.left, client.top, client.right, client.bottom};
        struct record_minimum {
            dialog_layout_manager_winapi* self;
            bool first;
            rect client;
            ~record_minimum()
            {
                if (first) {
                    self->min_width_ = self->margins_.right + client.right - self->margins_.left - client.left;
                    self->min_height_ = self->margins_.bottom + client.bottom - self->margins_.top - client.top;
                }
            }
        } minimum{this, first, now};
        if (!force && has_last_ && now == last_client_) {
            skip_ = 0;
            return;
        }
        last_client_ = now;
        has_last_ = true;
        if (!force && skip_ > 0) {
            --skip_;
            return;
        }
        if (force)
            skip_ = 0;
        rect solved_client = now;
        {
            HDWP handle = BeginDeferWindowPos(static_cast<int>(layout_.item_count() > 0 ? layout_.item_count() - 1 : 0));
            windows::end_defer_window_pos end(handle);
            placement_context context{&handle, &solved_client, dialog, {}};
            try {
                layout_.solve_and_place(now, context);
            } catch (...) {
                // Allocation failures of the solver leave the controls where they are.
            }
        }
        if constexpr (FlexibleHeight) {
            if (!(solved_client == last_client_) && solved_client.bottom != INT_MIN) {
                last_client_ = solved_client;
                POINT corners[2] = {{solved_client.left + margins_.left, solved_client.top + margins_.top},
                                    {solved_client.right + margins_.right, solved_client.bottom + margins_.bottom}};
                ClientToScreen(dialog, &corners[0]);
                ClientToScreen(dialog, &corners[1]);
                if (GetWindowLongW(dialog, GWL_STYLE) & WS_CHILD) {
                    HWND parent = GetParent(dialog);
                    ScreenToClient(parent, &corners[0]);
                    ScreenToClient(parent, &corners[1]);
                }
                ++skip_;
                SetWindowPos(dialog, nullptr, corners[0].x, corners[0].y, corners[1].x - corners[0].x,
                             corners[1].y - corners[0].y, SWP_NOACTIVATE | SWP_NOZORDER);
                if (first)
                    minimum.client = solved_client;
            }
        }
    }

    // The unit of measure_control: one and a half small-icon widths at the dialog's DPI.
    int icon_unit() const noexcept
    {
        const UINT dpi = static_cast<UINT>(layout_.scale * 96.0f + 0.5f);
        return windows::impl::system_metric(SM_CXSMICON, dpi ? dpi : 96, dpi_api()) * 3 / 2;
    }

    int measure_control(HDC dc, int id, int unit) const { return details::measure_control(hwnd(), dc, id, unit); }

    // The per-monitor DPI functions used (tests swap in a table without them).
    const windows::impl::dpi_api& dpi_api() const noexcept
    {
        return dpi_api_ ? *dpi_api_ : windows::impl::dpi_api::system();
    }
    void use_dpi_api(const windows::impl::dpi_api* api) noexcept { dpi_api_ = api; }

    // After a DPI change: everything back to the start, the rows written again by the next pass.
    void reset_layout() noexcept
    {
        has_last_ = false;
        last_client_ = {};
        min_width_ = min_height_ = max_width_ = max_height_ = -1;
        initialised_ = false;
        skip_ = 0;
        try {
            layout_.reset();
        } catch (...) {
        }
    }

private:
    HWND hwnd() const noexcept { return static_cast<const D*>(this)->window(); }

    spacing map_spacing(int units) noexcept
    {
        RECT r{0, 0, units, units};
        MapDialogRect(hwnd(), &r);
        const float s = layout_.scale > 0 ? layout_.scale : 1.0f;
        return spacing{static_cast<float>(r.right) / s, static_cast<float>(r.bottom) / s, &layout_.scale};
    }

    layout_manager layout_;
    rect margins_{};
    rect last_client_{};
    bool has_last_ = false;
    std::int32_t min_width_ = -1;
    std::int32_t min_height_ = -1;
    std::int32_t max_width_ = -1;
    std::int32_t max_height_ = -1;
    bool initialised_ = false;
    bool grip_rows_added_ = false;
    std::int32_t skip_ = 0;
    spacing spacing7_{};
    spacing spacing3_{};
    spacing spacing2_{};
    const windows::impl::dpi_api* dpi_api_ = nullptr;
};

} // namespace Ostrel::layout::details
