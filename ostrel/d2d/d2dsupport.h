#pragma once
// Direct2D support of a dialog that draws its own content: a render target for the dialog window
// made on demand, text formats from the system's message font at the window's DPI, the link colour,
// and recovery from a lost device.
//
// The dialog class derives from d2dsupport<D> and may give two hooks:
//   void create_device_dependent_resources(ID2D1RenderTarget*)   after the target is made
//   void release_device_dependent_resources()                    when it is dropped
// The target keeps the pixel size and DPI it was made with; on_size follows a new client size and
// rescale (WM_DPICHANGED) drops everything, so that the next paint remakes it at the new scale.

#include <ostrel/d2d/markup.h>

#include <windows.h>
#include <d2d1.h>
#include <dwrite.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace Ostrel::d2d {

template <class I>
void com_release(I*& p) noexcept
{
    if (p) {
        p->Release();
        p = nullptr;
    }
}

// The link brush, made once for its render target.
struct link_color_cache {
    ID2D1RenderTarget* target = nullptr; // not owned
    ID2D1SolidColorBrush* brush = nullptr;
};

// "r,g,b" as the browser stores its link colour: up to three unsigned decimal numbers, a missing
// part 0, a number above 4294967295 or any other character ending the parse; empty: 0,0,255.
std::array<std::uint32_t, 3> parse_link_color(std::wstring_view text) noexcept;
// Reads "Anchor Color" (creating its key as the browser would) and parses it.
std::array<std::uint32_t, 3> read_link_color() noexcept;
ID2D1SolidColorBrush* get_link_color(link_color_cache& cache) noexcept;

// Gives every link range of a markup layout the brush as its drawing effect.
inline void set_link_effects(markup_text& text, IUnknown* brush) noexcept
{
    if (!text.layout || !brush)
        return;
    for (const DWRITE_TEXT_RANGE& range : text.links)
        text.layout->SetDrawingEffect(brush, range);
}

// The DPI of a window: GetDpiForWindow when user32 has it, else the DPI of the screen's DC.
UINT text_dpi(HWND window) noexcept;

class d2dsupport_base {
public:
    d2dsupport_base() = default;
    d2dsupport_base(const d2dsupport_base&) = delete;
    d2dsupport_base& operator=(const d2dsupport_base&) = delete;
    ~d2dsupport_base() { release_resources(); }

    // Makes a text format from the LOGFONTW at `logfont_offset` in NONCLIENTMETRICSW (the message
    // font for the window programs), scaled by `factor`, in DIPs. Replaces *format (the old one is
    // released); null on failure.
    static HRESULT create_text_format(HWND window, IDWriteFactory* factory, std::size_t logfont_offset, float factor,
                                      IDWriteTextFormat** format, LOGFONTW* logfont = nullptr) noexcept;

    float horizontal_scale = 1.0f;
    float vertical_scale = 1.0f;
    ID2D1HwndRenderTarget* render_target = nullptr;
    ID2D1SolidColorBrush* text_brush = nullptr;
    link_color_cache link;

protected:
    void release_resources() noexcept
    {
        com_release(link.brush);
        link.target = nullptr;
        com_release(text_brush);
        com_release(render_target);
    }
    ID2D1HwndRenderTarget* make_target(ID2D1Factory* d2d, IDWriteFactory* dwrite, HWND window) noexcept;
};

template <class D>
class d2dsupport : public d2dsupport_base {
public:
    // The render target (with a reference for the caller), made when missing; null when it cannot
    // be made.
    ID2D1RenderTarget* create_device_resources(ID2D1Factory* d2d, IDWriteFactory* dwrite, HWND window, D& dialog) noexcept
    {
        if (!render_target) {
            if (!make_target(d2d, dwrite, window))
                return nullptr;
            if constexpr (requires { dialog.create_device_dependent_resources(static_cast<ID2D1RenderTarget*>(nullptr)); })
                dialog.create_device_dependent_resources(render_target);
        }
        ID2D1RenderTarget* result = nullptr;
        render_target->QueryInterface(__uuidof(ID2D1RenderTarget), reinterpret_cast<void**>(&result));
        return result;
    }

    // Ends drawing; any failure drops the target and the dialog's resources and invalidates the
    // window, so that the next paint makes them again.
    HRESULT end_draw(HWND window, D& dialog) noexcept
    {
        if (!render_target)
            return D2DERR_WRONG_STATE;
        const HRESULT hr = render_target->EndDraw();
        if (FAILED(hr)) {
            drop(dialog);
            InvalidateRect(window, nullptr, FALSE);
        }
        return hr;
    }

    // WM_SIZE: the target follows the new client size (or is dropped when it cannot).
    void on_size(HWND window, D& dialog) noexcept
    {
        if (!render_target)
            return;
        RECT client{};
        GetClientRect(window, &client);
        const D2D1_SIZE_U size{static_cast<UINT32>(std::max<LONG>(0, client.right - client.left)),
                               static_cast<UINT32>(std::max<LONG>(0, client.bottom - client.top))};
        if (FAILED(render_target->Resize(&size)))
            drop(dialog);
    }

    // WM_DPICHANGED: new scales; the target and what was made for it are made again at the next paint
    // (text formats and layouts depend on the DPI too).
    void rescale(float scale, D& dialog) noexcept
    {
        horizontal_scale = scale;
        vertical_scale = scale;
        drop(dialog);
    }

    void drop(D& dialog) noexcept
    {
        if constexpr (requires { dialog.release_device_dependent_resources(); })
            dialog.release_device_dependent_resources();
        release_resources();
    }
};

} // namespace Ostrel::d2d
