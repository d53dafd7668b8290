#include <ostrel/d2d/d2dsupport.h>

#include <ostrel/registry_ex.h>

#include <algorithm>
#include <cstring>

namespace Ostrel::d2d {
namespace {

template <class F>
F user32_function(HMODULE user32, const char* name) noexcept
{
    return user32 ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(user32, name))) : nullptr;
}

class user32_module {
public:
    user32_module() noexcept : module_(LoadLibraryW(L"user32")) {}
    ~user32_module()
    {
        if (module_)
            FreeLibrary(module_);
    }
    HMODULE get() const noexcept { return module_; }

private:
    HMODULE module_;
};

} // namespace

std::array<std::uint32_t, 3> parse_link_color(std::wstring_view text) noexcept
{
    if (text.empty())
        return {0, 0, 255};
    std::array<std::uint32_t, 3> rgb{0, 0, 0};
    std::size_t p = 0;
    for (std::size_t part = 0; part < 3; ++part) {
        if (p >= text.size() || text[p] < L'0' || text[p] > L'9')
            break;
        std::uint64_t number = 0;
        bool overflow = false;
        while (p < text.size() && text[p] >= L'0' && text[p] <= L'9') {
            number = number * 10 + static_cast<unsigned>(text[p] - L'0');
            if (number > 0xFFFFFFFFu) {
                overflow = true;
                break;
            }
            ++p;
        }
        if (overflow)
            break;
        rgb[part] = static_cast<std::uint32_t>(number);
        if (p >= text.size() || text[p] != L',')
            break;
        ++p;
    }
    return rgb;
}

std::array<std::uint32_t, 3> read_link_color() noexcept
{
    registry_ex::value anchor(HKEY_CURRENT_USER, L"Software\\Microsoft\\Internet Explorer\\Settings", L"Anchor Color",
                              false);
    const std::wstring text = anchor.get_string(L"0,0,255");
    return parse_link_color(text);
}

ID2D1SolidColorBrush* get_link_color(link_color_cache& cache) noexcept
{
    if (cache.brush || !cache.target)
        return cache.brush;
    const auto rgb = read_link_color();
    const D2D1_COLOR_F color{static_cast<float>(rgb[0]) / 255.0f, static_cast<float>(rgb[1]) / 255.0f,
                             static_cast<float>(rgb[2]) / 255.0f, 1.0f};
    if (FAILED(cache.target->CreateSolidColorBrush(&color, nullptr, &cache.brush)))
        cache.brush = nullptr;
    return cache.brush;
}

UINT text_dpi(HWND window) noexcept
{
    user32_module user32;
    if (auto get_dpi = user32_function<UINT(WINAPI*)(HWND)>(user32.get(), "GetDpiForWindow")) {
        if (const UINT dpi = get_dpi(window))
            return dpi;
    }
    UINT dpi = 96;
    if (HDC dc = GetDC(nullptr)) {
        dpi = static_cast<UINT>(GetDeviceCaps(dc, LOGPIXELSY));
        ReleaseDC(nullptr, dc);
    }
    return dpi ? dpi : 96;
}

HRESULT d2dsupport_base::create_text_format(HWND window, IDWriteFactory* factory, std::size_t logfont_offset,
                                            float factor, IDWriteTextFormat** format, LOGFONTW* logfont) noexcept
{
    if (!format)
        return E_POINTER;
    com_release(*format);
    if (!factory || logfont_offset + sizeof(LOGFONTW) > sizeof(NONCLIENTMETRICSW))
        return E_INVALIDARG;
    const UINT dpi = text_dpi(window);
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    user32_module user32;
    using for_dpi_fn = BOOL(WINAPI*)(UINT, UINT, PVOID, UINT, UINT);
    auto for_dpi = user32_function<for_dpi_fn>(user32.get(), "SystemParametersInfoForDpi");
    if (!for_dpi || !for_dpi(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0, dpi)) {
        metrics = NONCLIENTMETRICSW{};
        metrics.cbSize = sizeof(metrics);
        if (!SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0))
            return HRESULT_FROM_WIN32(GetLastError());
    }
    LOGFONTW font;
    std::memcpy(&font, reinterpret_cast<const std::byte*>(&metrics) + logfont_offset, sizeof(font));
    if (logfont)
        *logfont = font;
    const float height = font.lfHeight < 0 ? static_cast<float>(-font.lfHeight) * 96.0f / static_cast<float>(dpi)
                                           : static_cast<float>(font.lfHeight);
    const float size = factor * (height > 0 ? height : 12.0f);
    const auto weight = static_cast<DWRITE_FONT_WEIGHT>(std::clamp<LONG>(font.lfWeight ? font.lfWeight : 400, 1, 999));
    return factory->CreateTextFormat(font.lfFaceName, nullptr, weight,
                                     font.lfItalic ? DWRITE_FONT_STYLE_ITALIC : DWRITE_FONT_STYLE_NORMAL,
                                     DWRITE_FONT_STRETCH_NORMAL, size, L"en-us", format);
}

ID2D1HwndRenderTarget* d2dsupport_base::make_target(ID2D1Factory* d2d, IDWriteFactory* dwrite, HWND window) noexcept
{
    if (!d2d)
        return nullptr;
    RECT client{};
    GetClientRect(window, &client);
    D2D1_RENDER_TARGET_PROPERTIES props{};
    props.type = D2D1_RENDER_TARGET_TYPE_DEFAULT;
    props.pixelFormat = {DXGI_FORMAT_UNKNOWN, D2D1_ALPHA_MODE_UNKNOWN};
    props.dpiX = horizontal_scale * 96.0f;
    props.dpiY = vertical_scale * 96.0f;
    props.usage = D2D1_RENDER_TARGET_USAGE_NONE;
    props.minLevel = D2D1_FEATURE_LEVEL_DEFAULT;
    D2D1_HWND_RENDER_TARGET_PROPERTIES hwnd_props{};
    hwnd_props.hwnd = window;
    hwnd_props.pixelSize = {static_cast<UINT32>(std::max<LONG>(0, client.right - client.left)),
                            static_cast<UINT32>(std::max<LONG>(0, client.bottom - client.top))};
    hwnd_props.presentOptions = D2D1_PRESENT_OPTIONS_IMMEDIATELY;
    if (FAILED(d2d->CreateHwndRenderTarget(&props, &hwnd_props, &render_target))) {
        render_target = nullptr;
        return nullptr;
    }
    if (dwrite) {
        HMONITOR monitor = MonitorFromWindow(window, MONITOR_DEFAULTTOPRIMARY);
        IDWriteRenderingParams* monitor_params = nullptr;
        if (SUCCEEDED(dwrite->CreateMonitorRenderingParams(monitor, &monitor_params)) && monitor_params) {
            IDWriteRenderingParams* params = nullptr;
            const DWRITE_RENDERING_MODE mode = horizontal_scale >= 1.5f ? DWRITE_RENDERING_MODE_NATURAL_SYMMETRIC
                                                                        : DWRITE_RENDERING_MODE_NATURAL;
            if (SUCCEEDED(dwrite->CreateCustomRenderingParams(monitor_params->GetGamma(),
                                                              monitor_params->GetEnhancedContrast(), 1.0f,
                                                              monitor_params->GetPixelGeometry(), mode, &params)) &&
                params) {
                render_target->SetTextRenderingParams(params);
                params->Release();
            }
            monitor_params->Release();
        }
    }
    const D2D1_COLOR_F black{0, 0, 0, 1.0f};
    if (FAILED(render_target->CreateSolidColorBrush(&black, nullptr, &text_brush)))
        text_brush = nullptr;
    link.target = render_target;
    return render_target;
}

} // namespace Ostrel::d2d
