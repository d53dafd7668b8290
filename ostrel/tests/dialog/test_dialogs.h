#pragma once
// The test program's dialogs: shaped like the window programs' own (a main window with a list, a
// command column and a form; a flexible-height progress dialog; a drawn markup box; a modal one).

#include "dialog_ids.h"

#include <ostrel/d2d/d2dsupport.h>
#include <ostrel/d2d/markup.h>
#include <ostrel/layout/dialog_layout.h>
#include <ostrel/windows/async_context.h>
#include <ostrel/windows/dialog.h>
#include <ostrel/windows/main_dialog.h>

#include <functional>
#include <vector>

namespace dialog_tests {

using namespace Ostrel::windows::impl;
using namespace Ostrel::layout::details;

// Adds the rows of the main dialog: combo and list on the left, the command column on the right,
// a form of five rows of two label/edit pairs below, all at the dialog's spacings.
template <class D>
void add_main_rows(D& d)
{
    HWND w = d.window();
    layout_manager& lm = d.layout_rows();
    const float* s = d.scale_pointer();
    const spacing m = d.margin();
    const spacing r = d.related();
    const float scale = d.scale();
    HDC dc = GetDC(w);
    const int unit = d.icon_unit();
    float button_width = 0;
    for (int id : {IDC_ADD, IDC_OPTIMIZE, IDC_RECOVER, IDC_DELETE, IDC_REFRESH, IDC_ABOUT, IDCANCEL})
        button_width = std::max(button_width, static_cast<float>(d.measure_control(dc, id, unit)) / scale);
    float label_width = 0;
    for (int i = 0; i < 10; ++i)
        label_width = std::max(label_width, static_cast<float>(d.measure_control(dc, IDC_FIELD_LABEL + i, unit)) / scale);
    ReleaseDC(w, dc);
    RECT unit_rect{0, 0, 4, 14};
    MapDialogRect(w, &unit_rect);
    const float button_height = static_cast<float>(unit_rect.bottom) / scale;
    const float combo_height = 24;
    const float label_height = 14;

    std::vector<row> rows;
    // Command column.
    std::uint32_t previous = 0;
    for (int id : {IDC_ADD, IDC_OPTIMIZE, IDC_RECOVER, IDC_DELETE, IDC_REFRESH, IDC_ABOUT, IDCANCEL}) {
        const auto b = static_cast<std::uint32_t>(id);
        rows.push_back(scaled_difference(edge_of(0, right), edge_of(b, right), s, m.width));
        rows.push_back(scaled_difference(edge_of(b, right), edge_of(b, left), s, button_width));
        rows.push_back(scaled_difference(edge_of(b, bottom), edge_of(b, top), s, button_height));
        if (previous == 0)
            rows.push_back(scaled_difference(edge_of(b, top), edge_of(0, top), s, m.height));
        else
            rows.push_back(scaled_difference(edge_of(b, top), edge_of(previous, bottom), s, r.height));
        previous = b;
    }
    // Combo and list.
    rows.push_back(scaled_difference(edge_of(IDC_COMBO, left), edge_of(0, left), s, m.width));
    rows.push_back(scaled_difference(edge_of(IDC_COMBO, top), edge_of(0, top), s, m.height));
    rows.push_back(scaled_difference(edge_of(IDC_COMBO, bottom), edge_of(IDC_COMBO, top), s, 120));
    rows.push_back(constant_difference(edge_of(IDC_COMBO, right), edge_of(IDC_LIST, right), 0));
    rows.push_back(scaled_difference(edge_of(IDC_LIST, left), edge_of(0, left), s, m.width));
    rows.push_back(scaled_difference(edge_of(IDC_LIST, top), edge_of(0, top), s, m.height + combo_height + r.height));
    rows.push_back(scaled_difference(edge_of(IDC_ADD, left), edge_of(IDC_LIST, right), s, m.width));
    rows.push_back(scaled_difference(edge_of(IDC_FIELD_EDIT, top), edge_of(IDC_LIST, bottom), s, m.height));
    lm.add(std::move(rows));
    // The form: five rows of two label/edit pairs with equal edit widths; the last row m above the bottom.
    std::vector<row> form;
    for (int i = 0; i < 10; i += 2) {
        const auto la = static_cast<std::uint32_t>(IDC_FIELD_LABEL + i), ea = static_cast<std::uint32_t>(IDC_FIELD_EDIT + i);
        const auto lb = la + 1, eb = ea + 1;
        form.push_back(scaled_difference(edge_of(la, left), edge_of(0, left), s, m.width));
        form.push_back(scaled_difference(edge_of(la, right), edge_of(la, left), s, label_width));
        form.push_back(scaled_difference(edge_of(ea, left), edge_of(la, right), s, r.width));
        form.push_back(scaled_difference(edge_of(lb, left), edge_of(ea, right), s, m.width));
        form.push_back(scaled_difference(edge_of(lb, right), edge_of(lb, left), s, label_width));
        form.push_back(scaled_difference(edge_of(eb, left), edge_of(lb, right), s, r.width));
        form.push_back(scaled_difference(edge_of(0, right), edge_of(eb, right), s, m.width));
        row equal;
        equal.terms = {edge_of(ea, right), edge_of(ea, left), edge_of(eb, right), edge_of(eb, left)};
        equal.coefficients = {1, -1, -1, 1};
        equal.count = 4;
        form.push_back(equal);
        for (std::uint32_t id : {ea, eb})
            form.push_back(scaled_difference(edge_of(id, bottom), edge_of(id, top), s, button_height));
        for (std::uint32_t id : {la, lb}) {
            form.push_back(scaled_difference(edge_of(id, top), edge_of(ea, top), s, 2));
            form.push_back(scaled_difference(edge_of(id, bottom), edge_of(id, top), s, label_height));
        }
        form.push_back(constant_difference(edge_of(eb, top), edge_of(ea, top), 0));
        if (i + 2 < 10)
            form.push_back(scaled_difference(edge_of(ea + 2, top), edge_of(ea, bottom), s, r.height));
        else
            form.push_back(scaled_difference(edge_of(0, bottom), edge_of(ea, bottom), s, m.height));
    }
    lm.add(std::move(form));
}

class main_dlg : public dialog<main_dlg, IDD_MAIN>,
                 public dialog_layout_manager_winapi<main_dlg>,
                 public async_context,
                 public exit_code_holder {
public:
    main_dlg()
    {
        install([this](message_record& m) {
            if (first_message == 0)
                first_message = m.message;
            if (m.message == WM_NCDESTROY)
                window_at_ncdestroy = window();
            return false;
        });
        install(framework_entries());
        install(message_map(on_message(WM_INITDIALOG,
                                       [this](message_record& m) {
                                           add_main_rows(*this);
                                           layout(true);
                                           if (on_init)
                                               on_init(*this);
                                           m.result = 0;
                                           return true;
                                       }),
                            on_command(IDC_ADD, [this] { ++adds; }),
                            on_notification(IDC_LIST, LBN_DBLCLK, [this] { ++double_clicks; }),
                            on_command(IDCANCEL, [this] { DestroyWindow(window()); }),
                            on_message(WM_APP, [](message_record&) -> bool { throw std::runtime_error("handler"); })));
    }

    std::uint32_t first_message = 0;
    HWND window_at_ncdestroy = reinterpret_cast<HWND>(1);
    int adds = 0;
    int double_clicks = 0;
    std::function<void(main_dlg&)> on_init;
};

class flex_dlg : public dialog<flex_dlg, IDD_FLEX>, public dialog_layout_manager_winapi<flex_dlg, true> {
public:
    flex_dlg()
    {
        install(framework_entries());
        install(message_map(on_message(WM_INITDIALOG, [this](message_record&) {
                                add_rows();
                                layout(true);
                                return false;
                            }),
                            end_dialog_on(IDCANCEL)));
    }

    float text_height = 14;

    void add_rows()
    {
        const float* s = scale_pointer();
        const spacing m = margin();
        const spacing r = related();
        layout_rows().add({
            scaled_difference(edge_of(IDC_STAGE, left), edge_of(0, left), s, m.width),
            scaled_difference(edge_of(IDC_STAGE, top), edge_of(0, top), s, m.height),
            scaled_difference(edge_of(0, right), edge_of(IDC_STAGE, right), s, m.width),
            scaled_difference(edge_of(IDC_STAGE, bottom), edge_of(IDC_STAGE, top), s, text_height),
            scaled_difference(edge_of(IDC_PROGRESS, top), edge_of(IDC_STAGE, bottom), s, r.height),
            scaled_difference(edge_of(IDC_PROGRESS, bottom), edge_of(IDC_PROGRESS, top), s, 16),
            constant_difference(edge_of(IDC_PROGRESS, left), edge_of(IDC_STAGE, left), 0),
            constant_difference(edge_of(IDC_PROGRESS, right), edge_of(IDC_STAGE, right), 0),
            scaled_difference(edge_of(IDCANCEL, top), edge_of(IDC_PROGRESS, bottom), s, m.height),
            scaled_difference(edge_of(IDCANCEL, bottom), edge_of(IDCANCEL, top), s, 23),
            scaled_difference(edge_of(IDCANCEL, right), edge_of(IDCANCEL, left), s, 75),
            constant_difference(edge_of(IDCANCEL, right), edge_of(IDC_STAGE, right), 0),
            scaled_difference(edge_of(0, bottom), edge_of(IDCANCEL, bottom), s, m.height),
        });
    }
};

// Drawn like the about box: no child controls (Direct2D window targets under Wine draw only on
// windows without children, and moving a child of a window with a target hangs there), no layout.
class markup_dlg : public dialog<markup_dlg, IDD_MARKUP>, public Ostrel::d2d::d2dsupport<markup_dlg> {
public:
    markup_dlg(ID2D1Factory* d2d, IDWriteFactory* dwrite) : d2d_(d2d), dwrite_(dwrite)
    {
        install(message_map(
            on_message(WM_INITDIALOG,
                       [this](message_record&) {
                           horizontal_scale = vertical_scale = static_cast<float>(window_dpi(window())) * dpi_to_scale;
                           return false;
                       }),
            on_message(WM_DPICHANGED,
                       [this](message_record& m) {
                           rescale(static_cast<float>(LOWORD(m.wparam)) * dpi_to_scale, *this);
                           if (const RECT* r = reinterpret_cast<const RECT*>(m.lparam))
                               SetWindowPos(window(), nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                                            SWP_NOZORDER | SWP_NOACTIVATE);
                           return true;
                       }),
            on_message(WM_SIZE,
                       [this](message_record&) {
                           on_size(window(), *this);
                           return false;
                       }),
            on_message(WM_ERASEBKGND,
                       [](message_record& m) {
                           m.result = 1;
                           return true;
                       }),
            on_message(WM_PAINT,
                       [this](message_record&) {
                           paint();
                           return true;
                       }),
            on_message(WM_LBUTTONDOWN,
                       [this](message_record& m) {
                           const float x = static_cast<float>(static_cast<short>(LOWORD(m.lparam))) / scale();
                           const float y = static_cast<float>(static_cast<short>(HIWORD(m.lparam))) / scale();
                           if (text.link_at(x - 10, y - 10) >= 0)
                               ++link_clicks;
                           return true;
                       }),
            end_dialog_on(IDCANCEL)));
    }

    void create_device_dependent_resources(ID2D1RenderTarget* target)
    {
        ++resources_made;
        Ostrel::d2d::d2dsupport_base::create_text_format(window(), dwrite_, offsetof(NONCLIENTMETRICSW, lfMessageFont),
                                                         1.0f, &format);
        Ostrel::d2d::parse_markup(text, dwrite_, markup, format, 300);
        link.target = target;
        Ostrel::d2d::set_link_effects(text, Ostrel::d2d::get_link_color(link));
    }
    void release_device_dependent_resources()
    {
        ++resources_dropped;
        text.release();
        Ostrel::d2d::com_release(format);
    }

    void paint()
    {
        PAINTSTRUCT ps;
        BeginPaint(window(), &ps);
        if (ID2D1RenderTarget* target = create_device_resources(d2d_, dwrite_, window(), *this)) {
            target->BeginDraw();
            const D2D1_COLOR_F white{1, 1, 1, 1};
            target->Clear(&white);
            if (text.layout)
                target->DrawTextLayout(D2D1_POINT_2F{10, 10}, text.layout, text_brush, D2D1_DRAW_TEXT_OPTIONS_NONE);
            last_end_draw = end_draw(window(), *this);
            target->Release();
            ++paints;
        }
        EndPaint(window(), &ps);
    }

    ~markup_dlg() { drop(*this); }
    float scale() const noexcept { return horizontal_scale; }

    const wchar_t* markup = L"[[[b[[[s:150:Ostrel]]]]]] markup: [[[hexample.com]]] and [[[iitalic]]]";
    Ostrel::d2d::markup_text text;
    IDWriteTextFormat* format = nullptr;
    int resources_made = 0;
    int resources_dropped = 0;
    int paints = 0;
    int link_clicks = 0;
    HRESULT last_end_draw = S_OK;

private:
    ID2D1Factory* d2d_;
    IDWriteFactory* dwrite_;
};

class modal_dlg : public dialog<modal_dlg, IDD_MODAL>, public async_context {
public:
    modal_dlg()
    {
        install(message_map(on_message(WM_INITDIALOG,
                                       [this](message_record&) {
                                           if (on_init)
                                               on_init(*this);
                                           return false;
                                       }),
                            on_command(IDOK, [this] { EndDialog(window(), 1); }), end_dialog_on(IDCANCEL)));
    }
    std::function<void(modal_dlg&)> on_init;
};

} // namespace dialog_tests
