#include <plendor/commands/about.h>

#include <ostrel/com/ptr.h>
#include <ostrel/memstream.h>
#include <ostrel/windows/dpi.h>
#include <quillo/render.h>

#include <objbase.h>
#include <shellapi.h>

#include <thread>

using namespace Ostrel::windows::impl;

namespace {

D2D1_COLOR_F system_colour(int index) noexcept
{
    const COLORREF c = GetSysColor(index);
    return {GetRValue(c) / 255.0f, GetGValue(c) / 255.0f, GetBValue(c) / 255.0f, 1.0f};
}

using html_help_function = HWND(WINAPI*)(HWND, LPCWSTR, UINT, DWORD_PTR);
constexpr UINT hh_display_topic = 0;

} // namespace

std::wstring about_main_text(std::wstring_view title, const version_t& v)
{
    return quillo::format(L"[[[b[[[s:120:{0}]]]]]]\nVersion {1}.{2w2arf0}.{3w2arf0}.{4w4arf0}\n\nCopyright \u00A9 "
                          L"2019-2026 Quvan Software.\nAll rights reserved.\n[[[h{5}]]]",
                          title, v.major, v.minor, v.build, v.revision, site_address);
}

void open_address(const std::wstring& address)
{
    std::thread shell([&address] {
        const HRESULT init = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
        ShellExecuteW(nullptr, L"open", address.c_str(), nullptr, nullptr, SW_SHOWNORMAL); // not reported
        if (SUCCEEDED(init))
            CoUninitialize();
    });
    shell.join();
}

void open_web_site()
{
    open_address(std::wstring(site_address));
}

std::wstring help_file_path()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    const std::size_t cut = path.find_last_of(L"\\/");
    path.resize(cut == std::wstring::npos ? 0 : cut + 1);
    return path + L"dedup.chm";
}

void show_help(HWND owner, const std::wstring& help_file, const std::wstring& topic)
{
    HWND shown = nullptr;
    if (HMODULE hh = LoadLibraryW(L"hhctrl.ocx")) {
        if (auto html_help = reinterpret_cast<html_help_function>(
                reinterpret_cast<void*>(GetProcAddress(hh, "HtmlHelpW")))) {
            const std::wstring address = quillo::format(L"{}::/redirect.html#{}", help_file, topic);
            shown = html_help(GetDesktopWindow(), address.c_str(), hh_display_topic, 0);
        }
        // hhctrl stays loaded: its window, when there is one, lives on after this call.
    }
    if (shown)
        return;
    const std::wstring online = quillo::format(L"{}online-doc/dedup/{}", site_address, percent_encode(topic));
    ShellExecuteW(owner, L"open", online.c_str(), nullptr, nullptr, SW_SHOWNORMAL); // not reported
}

about_dialog::about_dialog(std::wstring title, std::wstring product, std::wstring second, version_t version,
                           std::function<void()> open_link)
    : title_(std::move(title)), product_(std::move(product)), second_(std::move(second)), version_(version),
      open_link_(std::move(open_link))
{
    D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr,
                      reinterpret_cast<void**>(&d2d_));
    DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory), reinterpret_cast<IUnknown**>(&dwrite_));
    CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&wic_));
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
                        on_message(WM_SETCURSOR,
                                   [this](message_record& m) {
                                       if (LOWORD(m.lparam) != HTCLIENT ||
                                           reinterpret_cast<HWND>(m.wparam) != window())
                                           return false;
                                       POINT p{};
                                       GetCursorPos(&p);
                                       ScreenToClient(window(), &p);
                                       // The arrow elsewhere: the dialog class need not have a
                                       // cursor of its own, and the hand must not linger.
                                       SetCursor(LoadCursorW(nullptr, over_link(p) ? IDC_HAND : IDC_ARROW));
                                       m.result = TRUE;
                                       return true;
                                   }),
                        on_message(WM_LBUTTONDOWN,
                                   [this](message_record& m) {
                                       const POINT p{static_cast<short>(LOWORD(m.lparam)),
                                                     static_cast<short>(HIWORD(m.lparam))};
                                       if (over_link(p) && open_link_)
                                           open_link_();
                                       return true;
                                   }),
                        end_dialog_on(IDCANCEL)));
}

about_dialog::~about_dialog()
{
    drop(*this);
    main_.release();
    second_text_.release();
    Ostrel::d2d::com_release(format_);
    Ostrel::d2d::com_release(logo_source_);
    Ostrel::d2d::com_release(wic_);
    Ostrel::d2d::com_release(dwrite_);
    Ostrel::d2d::com_release(d2d_);
}

D2D1_RECT_F about_dialog::place_of(int id) const noexcept
{
    RECT r{};
    GetWindowRect(GetDlgItem(window(), id), &r);
    MapWindowPoints(nullptr, window(), reinterpret_cast<POINT*>(&r), 2);
    const float s = horizontal_scale > 0 ? horizontal_scale : 1.0f;
    return {static_cast<float>(r.left) / s, static_cast<float>(r.top) / s, static_cast<float>(r.right) / s,
            static_cast<float>(r.bottom) / s};
}

void about_dialog::on_init_dialog()
{
    HWND w = window();
    float dpi = static_cast<float>(window_dpi(w));
    if (!dpi_api::system().get_dpi_for_window && d2d_) {
        FLOAT x = 96, y = 96;
        d2d_->GetDesktopDpi(&x, &y);
        dpi = x;
    }
    horizontal_scale = vertical_scale = dpi / 96.0f;
    logo_place_ = place_of(IDC_LOGO_PLACE);
    text_place_ = place_of(IDC_TEXT_PLACE);
    second_place_ = place_of(IDC_SECOND_TEXT_PLACE);

    // The logo, decoded once; the bitmap for the render target is made with the target.
    if (wic_) {
        HMODULE self = GetModuleHandleW(nullptr);
        HRSRC found = FindResourceW(self, MAKEINTRESOURCEW(IDR_LOGO_PNG), L"PNG");
        const DWORD size = found ? SizeofResource(self, found) : 0;
        HGLOBAL loaded = found ? LoadResource(self, found) : nullptr;
        const void* bytes = loaded ? LockResource(loaded) : nullptr;
        if (bytes && size) {
            auto stream =
                Ostrel::com::make<Ostrel::details::memstream<Ostrel::details::external_storage>>(bytes, std::uint64_t{size});
            IWICBitmapDecoder* decoder = nullptr;
            IWICBitmapFrameDecode* frame = nullptr;
            if (SUCCEEDED(wic_->CreateDecoder(GUID_ContainerFormatPng, nullptr, &decoder)) &&
                SUCCEEDED(decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnLoad)) &&
                SUCCEEDED(decoder->GetFrame(0, &frame)) && SUCCEEDED(wic_->CreateFormatConverter(&logo_source_)) &&
                FAILED(logo_source_->Initialize(frame, GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr,
                                                0.0, WICBitmapPaletteTypeMedianCut)))
                Ostrel::d2d::com_release(logo_source_);
            Ostrel::d2d::com_release(frame);
            Ostrel::d2d::com_release(decoder);
        }
    }

    // The texts are laid out with DirectWrite alone, so the link answers the mouse before any paint.
    if (dwrite_ &&
        SUCCEEDED(create_text_format(w, dwrite_, offsetof(NONCLIENTMETRICSW, lfMessageFont), 1.0f, &format_))) {
        try {
            Ostrel::d2d::parse_markup(main_, dwrite_, about_main_text(product_, version_), format_,
                                      text_place_.right - text_place_.left, text_place_.bottom - text_place_.top);
            if (!second_.empty())
                Ostrel::d2d::parse_markup(second_text_, dwrite_, second_, format_,
                                          second_place_.right - second_place_.left,
                                          second_place_.bottom - second_place_.top);
        } catch (...) {
            // A title the formatter refuses leaves the box without text.
        }
    }
    SetWindowTextW(w, title_.c_str());
}

bool about_dialog::over_link(POINT client) const noexcept
{
    const float s = horizontal_scale > 0 ? horizontal_scale : 1.0f;
    const float x = static_cast<float>(client.x) / s - text_place_.left;
    const float y = static_cast<float>(client.y) / s - text_place_.top;
    return main_.link_at(x, y) >= 0;
}

void about_dialog::create_device_dependent_resources(ID2D1RenderTarget* target)
{
    const D2D1_COLOR_F colour = system_colour(COLOR_WINDOWTEXT);
    target->CreateSolidColorBrush(&colour, nullptr, &brush_);
    if (logo_source_)
        target->CreateBitmapFromWicBitmap(logo_source_, nullptr, &logo_);
    link.target = target;
    Ostrel::d2d::set_link_effects(main_, Ostrel::d2d::get_link_color(link));
}

void about_dialog::release_device_dependent_resources()
{
    Ostrel::d2d::com_release(logo_);
    Ostrel::d2d::com_release(brush_);
}

void about_dialog::paint()
{
    PAINTSTRUCT ps;
    BeginPaint(window(), &ps);
    ID2D1RenderTarget* target = d2d_ ? create_device_resources(d2d_, dwrite_, window(), *this) : nullptr;
    if (target) {
        target->BeginDraw();
        const D2D1_COLOR_F background = system_colour(COLOR_BTNFACE);
        target->Clear(&background);
        if (logo_)
            target->DrawBitmap(logo_, &logo_place_, 1.0f, D2D1_BITMAP_INTERPOLATION_MODE_LINEAR, nullptr);
        if (brush_) {
            if (main_.layout)
                target->DrawTextLayout(D2D1_POINT_2F{text_place_.left, text_place_.top}, main_.layout, brush_,
                                       D2D1_DRAW_TEXT_OPTIONS_NONE);
            if (second_text_.layout)
                target->DrawTextLayout(D2D1_POINT_2F{second_place_.left, second_place_.top}, second_text_.layout,
                                       brush_, D2D1_DRAW_TEXT_OPTIONS_NONE);
        }
        end_draw(window(), *this);
        target->Release();
    }
    EndPaint(window(), &ps);
}

void show_about_box(HWND main_window)
{
    about_dialog box(L"About " + std::wstring(product_title), std::wstring(product_title));
    box.show_modal(main_window);
}
