#pragma once
// The result dialog: one markup text under a title, drawn with DirectWrite and Direct2D, and a
// Close button centred below it; the dialog fits itself to the text.
//
// The text is measured with DirectWrite when the dialog opens; the render target is made at the
// first paint. Without a Direct2D factory or render target the dialog still sizes itself, shows
// its button and closes; it only draws no text.

#include <plendor/commands/commands_resources.h>

#include <ostrel/d2d/d2dsupport.h>
#include <ostrel/d2d/markup.h>
#include <ostrel/layout/dialog_layout.h>
#include <ostrel/windows/dialog.h>

#include <windows.h>
#include <d2d1.h>
#include <dwrite.h>

#include <string>

// Centres a window: a child in its parent's client area; any other window over its owner when
// that is visible and not minimised, else over the work area of the nearest monitor; then moves it
// inside that monitor's work area (right and bottom edges first, then left and top). Size, z-order
// and activation stay.
void center_window(HWND window) noexcept;

class result_dlg : public Ostrel::windows::impl::dialog<result_dlg, IDD_RESULT>,
                   public Ostrel::layout::details::dialog_layout_manager_winapi<result_dlg, true>,
                   public Ostrel::d2d::d2dsupport<result_dlg> {
public:
    // `make_d2d` false: no Direct2D factory, as when the system has none.
    result_dlg(std::wstring title, std::wstring text, bool make_d2d = true);
    ~result_dlg();

    // The measured text in device-independent pixels (0 x 0 when it could not be measured).
    float text_width() const noexcept { return text_width_; }
    float text_height() const noexcept { return text_height_; }

    void create_device_dependent_resources(ID2D1RenderTarget* target);
    void release_device_dependent_resources();

private:
    void on_init_dialog();
    void paint();

    std::wstring title_;
    std::wstring text_;
    ID2D1Factory* d2d_ = nullptr;
    IDWriteFactory* dwrite_ = nullptr;
    IDWriteTextFormat* format_ = nullptr;
    Ostrel::d2d::markup_text layout_;
    ID2D1SolidColorBrush* brush_ = nullptr;
    float text_width_ = 0;
    float text_height_ = 0;
};

// Runs the result dialog modally over `owner` and returns when it is closed.
void show_result_dialog(HWND owner, const std::wstring& title, const std::wstring& text);
