#include <tolvane/ui/main_dialog.h>

#include <ostrel/windows/main_dialog.h>
#include <quillo/render.h>
#include <tavik/error.h>
#include <tolvane/command_line.h>
#include <tolvane/ui/dialog_ids.h>
#include <tolvane/ui/files_in_use.h>

#include <commctrl.h>
#include <objbase.h>
#include <richedit.h>
#include <shellapi.h>
#include <shlobj.h>

#include <boost/algorithm/string/replace.hpp>

#include <cmath>
#include <new>
#include <thread>
#include <utility>

namespace tolvane {

namespace {

using Ostrel::windows::impl::message_record;
using namespace tavik::details;

constexpr int id_customize = 1031;
constexpr int id_uninstall = 1032;
constexpr int id_configure = 1033;
constexpr int id_more_info = 1034;
constexpr int id_close_setup = 1035;
constexpr int id_reboot_now = 1036;
constexpr int id_launch = 1026;
constexpr int id_release_notes = 1027;
constexpr HRESULT sharing_violation = static_cast<HRESULT>(0x80070020);

D2D1_COLOR_F system_colour(int index)
{
    const COLORREF c = GetSysColor(index);
    return D2D1::ColorF(GetRValue(c) / 255.0f, GetGValue(c) / 255.0f, GetBValue(c) / 255.0f, 1.0f);
}

// Renders a text as a format without arguments; a text that is no valid format stays as it is.
std::wstring render_literal(const std::wstring& text)
{
    try {
        return quillo::format(std::wstring_view(text));
    } catch (...) {
        return text;
    }
}

std::wstring system_message(HRESULT code)
{
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0,
                                   nullptr);
    std::wstring text;
    if (n && buffer)
        text.assign(buffer, n);
    if (buffer)
        LocalFree(buffer);
    const auto first = text.find_first_not_of(L" \t\r\n");
    if (first == std::wstring::npos)
        return {};
    const auto last = text.find_last_not_of(L" \t\r\n");
    return text.substr(first, last - first + 1);
}

} // namespace

HRESULT outcome_code(const std::exception_ptr& error) noexcept
{
    if (!error)
        return S_OK;
    try {
        std::rethrow_exception(error);
    } catch (const hresult_error& e) {
        return e.code();
    } catch (const hresult_error_impl& e) {
        return e.code();
    } catch (const installation_exception& e) {
        if (e.code() == installation_reboot_required)
            return 1;
        if (e.code() == installation_cancelled)
            return E_ABORT;
        return E_FAIL;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

std::pair<std::string, UINT> license_document(std::string bytes)
{
    UINT code_page = CP_ACP;
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE)
        code_page = 1200;
    else if (bytes.starts_with("{\\rtf"))
        code_page = 1200; // the control reads the RTF bytes by their own header
    // The control reads up to a terminator of the code page's width: two zero bytes end either.
    bytes.push_back('\0');
    bytes.push_back('\0');
    return {std::move(bytes), code_page};
}

void open_document(const std::wstring& file, const std::wstring* folder)
{
    std::wstring target = file;
    std::wstring directory = folder ? *folder : std::wstring();
    const bool with_folder = folder != nullptr;
    std::thread worker([&] {
        const HRESULT init = CoInitialize(nullptr);
        if (with_folder) {
            SHELLEXECUTEINFOW info{};
            info.cbSize = sizeof(info);
            info.fMask = SEE_MASK_UNICODE | SEE_MASK_FLAG_NO_UI;
            info.lpFile = target.c_str();
            info.lpDirectory = directory.c_str();
            info.nShow = SW_SHOWDEFAULT;
            ShellExecuteExW(&info); // not reported: an unknown target simply opens nothing
        } else {
            ShellExecuteW(nullptr, L"open", target.c_str(), nullptr, nullptr, SW_SHOWDEFAULT);
        }
        if (SUCCEEDED(init))
            CoUninitialize();
    });
    worker.join();
}

// --- warning dialog 138 ---------------------------------------------------------------------------

namespace {

class warning_dlg : public Ostrel::windows::impl::dialog<warning_dlg, IDD_TOLVANE_WARNING> {
public:
    warning_dlg(const std::wstring& header, const std::wstring& text, const std::wstring& option)
    {
        using namespace Ostrel::windows::impl;
        install(message_map(
            on_message(WM_INITDIALOG,
                       [this, header, text, option](message_record& m) {
                           SetWindowTextW(m.window, header.c_str());
                           SetDlgItemTextW(m.window, IDC_TOLVANE_WARNING_TEXT, text.c_str());
                           if (!option.empty())
                               SetDlgItemTextW(m.window, IDC_TOLVANE_WARNING_OPTION, option.c_str());
                           m.result = TRUE;
                           return true;
                       }),
            [](message_record& m) {
                if (!is_command(m))
                    return false;
                const int id = LOWORD(m.wparam);
                if (id == IDOK || id == IDCANCEL) {
                    EndDialog(m.window, id);
                } else if (id == IDC_TOLVANE_WARNING_OPTION) {
                    EnableWindow(GetDlgItem(m.window, IDOK),
                                 IsDlgButtonChecked(m.window, IDC_TOLVANE_WARNING_OPTION) == BST_CHECKED);
                } else {
                    return false;
                }
                set_command_result(m);
                return true;
            }));
    }
};

class license_dlg : public Ostrel::windows::impl::dialog<license_dlg, IDD_TOLVANE_LICENSE> {
public:
    explicit license_dlg(std::string license) : document_(license_document(std::move(license)))
    {
        using namespace Ostrel::windows::impl;
        install(message_map(
            on_message(WM_INITDIALOG,
                       [this](message_record& m) {
                           SETTEXTEX set{ST_DEFAULT, document_.second};
                           SendDlgItemMessageW(m.window, IDC_TOLVANE_LICENSE_TEXT, EM_SETTEXTEX,
                                               reinterpret_cast<WPARAM>(&set),
                                               reinterpret_cast<LPARAM>(document_.first.data()));
                           SendDlgItemMessageW(m.window, IDC_TOLVANE_LICENSE_TEXT, EM_SETSEL, 0, 0);
                           m.result = TRUE;
                           return true;
                       }),
            [](message_record& m) {
                // Only Close itself (the whole wParam): a notification of the control does not close.
                if (!is_command(m) || m.wparam != IDCANCEL)
                    return false;
                EndDialog(m.window, IDCANCEL);
                set_command_result(m);
                return true;
            }));
    }

private:
    std::pair<std::string, UINT> document_;
};

} // namespace

bool show_warning_dialog(HWND owner, const std::wstring& header, const std::wstring& text, const std::wstring& option)
{
    warning_dlg dialog(header, text, option);
    return dialog.show_modal(owner) == IDOK;
}

void show_license(const std::string& license, HWND owner)
{
    license_dlg dialog(license);
    static_cast<void>(dialog.show_modal(owner));
}

// --- the window -------------------------------------------------------------------------------------

// A post that must arrive on its own: the pending display update is closed, so that later changes
// travel behind this post.
struct main_dialog::to_ui_thread {
    main_dialog* self;
    bool await_ready() const noexcept { return self->is_ui_thread(); }
    void await_suspend(std::coroutine_handle<> h) const noexcept
    {
        std::lock_guard lock(self->display_mutex_);
        self->pending_display_.reset();
        self->post_resume(h);
    }
    void await_resume() const noexcept {}
};

// The post of a pending display update; the caller holds the display lock.
struct main_dialog::to_ui_thread_posted {
    main_dialog* self;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) const noexcept { self->post_resume(h); }
    void await_resume() const noexcept {}
};

main_dialog::main_dialog(package& pkg, main_dialog_hooks hooks)
    : package_(pkg), options_(pkg.options()), hooks_(std::move(hooks))
{
    HRESULT hr = D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr,
                                   reinterpret_cast<void**>(&d2d_));
    if (FAILED(hr))
        throw_hresult(hr);
    hr = DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory), reinterpret_cast<IUnknown**>(&dwrite_));
    if (FAILED(hr))
        throw_hresult(hr);
    hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_ALL, IID_IWICImagingFactory,
                          reinterpret_cast<void**>(&wic_));
    if (FAILED(hr))
        throw_hresult(hr);

    using namespace Ostrel::windows::impl;
    install(message_map(
        on_message(WM_PAINT,
                   [this](message_record&) {
                       on_paint();
                       return true;
                   }),
        on_message(WM_LBUTTONDOWN, [this](message_record& m) { return on_left_button_down(m); }),
        on_message(WM_SETCURSOR, [this](message_record& m) { return on_set_cursor(m); }),
        on_message(WM_TIMER,
                   [this](message_record&) {
                       on_timer();
                       return true;
                   }),
        on_message(WM_CLOSE,
                   [this](message_record&) {
                       on_cancel();
                       return true;
                   }),
        on_message(WM_INITDIALOG, [this](message_record& m) { return on_init_dialog(m); }),
        [this](message_record& m) { return on_command(m); },
        on_message(WM_NCDESTROY, [this](message_record&) {
            window_handle_.store(nullptr);
            return false;
        })));
}

main_dialog::~main_dialog()
{
    // An installation still running uses this object as its user interface.
    if (run_result_)
        wait_blocking(shared_future_impl<void>::as_future(run_result_));
    if (message_font_)
        DeleteObject(message_font_);
    session_.reset();
    page_layout_.release();
    release_resources();
    Ostrel::d2d::com_release(icon_bitmap_);
    Ostrel::d2d::com_release(icon_source_);
    Ostrel::d2d::com_release(text_format_);
    Ostrel::d2d::com_release(wic_);
    Ostrel::d2d::com_release(dwrite_);
    Ostrel::d2d::com_release(d2d_);
}

int main_dialog::run(int show)
{
    return static_cast<int>(Ostrel::windows::impl::run_main_dialog(*this, show, 0xC233));
}

std::wstring main_dialog::title_text() const
{
    const std::wstring company = package_.get_property(L"ShortCompany", false);
    const std::wstring product = package_.get_property(L"ProductName", false);
    const std::wstring major = package_.get_property(L"Major", false);
    const std::wstring minor = package_.get_property(L"Minor", false);
    return quillo::format(L"{0} [[[b{1}\u00A0{2}.{3w2arf0}]]]", company, product, major, minor);
}

bool main_dialog::needs_shield() const
{
    const bool admin = hooks_.is_user_admin ? hooks_.is_user_admin() : IsUserAnAdmin() != FALSE;
    return options_.mode == 1 && !admin;
}

// --- WM_INITDIALOG ----------------------------------------------------------------------------------

bool main_dialog::on_init_dialog(message_record& m)
{
    window_handle_.store(m.window);
    // 1. Scale.
    UINT dpi = 0;
    if (hooks_.dpi_for_window) {
        dpi = hooks_.dpi_for_window(m.window);
    } else if (HMODULE user32 = LoadLibraryW(L"user32")) {
        if (auto get = reinterpret_cast<UINT(WINAPI*)(HWND)>(GetProcAddress(user32, "GetDpiForWindow")))
            dpi = get(m.window);
        FreeLibrary(user32);
    }
    if (dpi) {
        horizontal_scale = vertical_scale = dpi / 96.0f;
    } else {
        FLOAT x = 96, y = 96;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        d2d_->GetDesktopDpi(&x, &y);
#pragma GCC diagnostic pop
        horizontal_scale = x / 96.0f;
        vertical_scale = y / 96.0f;
    }

    // 2. The start-up must be ready; a failed one is reported and ends the window.
    try {
        if (hooks_.wait_ready)
            hooks_.wait_ready();
    } catch (...) {
        const HRESULT code = outcome_code(std::current_exception());
        if (code != E_ABORT) {
            if (hooks_.show_start_failure)
                hooks_.show_start_failure(m.window, code);
            else
                MessageBoxW(m.window, system_message(code).c_str(), L"Setup Error", MB_OK | MB_ICONERROR);
        }
        exit_code = installation_failed;
        DestroyWindow(m.window);
        m.result = FALSE;
        return true;
    }

    // 3. Icon, scaled and converted once.
    if (hooks_.take_icon) {
        if (IWICBitmapSource* icon = hooks_.take_icon()) {
            IWICBitmapScaler* scaler = nullptr;
            IWICFormatConverter* converter = nullptr;
            if (SUCCEEDED(wic_->CreateBitmapScaler(&scaler)) &&
                SUCCEEDED(scaler->Initialize(icon, static_cast<UINT>(80 * horizontal_scale),
                                             static_cast<UINT>(80 * vertical_scale),
                                             get_windows_version().at_least_10
                                                 ? static_cast<WICBitmapInterpolationMode>(4) // high-quality cubic
                                                 : WICBitmapInterpolationModeFant)) &&
                SUCCEEDED(wic_->CreateFormatConverter(&converter)) &&
                SUCCEEDED(converter->Initialize(scaler, GUID_WICPixelFormat32bppPBGRA, WICBitmapDitherTypeNone, nullptr,
                                                0.0, WICBitmapPaletteTypeCustom))) {
                icon_source_ = converter;
                converter = nullptr;
            }
            Ostrel::d2d::com_release(converter);
            Ostrel::d2d::com_release(scaler);
            icon->Release();
        }
    }

    // 4. Caption.
    const std::wstring caption = quillo::format(L"{0} {1} Setup Package", package_.get_property(L"ShortCompany", false),
                                                package_.get_property(L"ProductName", false));
    SetWindowTextW(m.window, caption.c_str());

    // 5. Fonts.
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = 504;
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, metrics.cbSize, &metrics, 0)) {
        if (HFONT font = CreateFontIndirectW(&metrics.lfMessageFont)) {
            if (message_font_) {
                const DWORD error = GetLastError();
                DeleteObject(message_font_);
                SetLastError(error);
            }
            message_font_ = font;
            SendMessageW(m.window, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
        }
        const LOGFONTW& lf = metrics.lfMessageFont;
        const float size = lf.lfHeight < 0 ? -lf.lfHeight / vertical_scale : static_cast<float>(lf.lfHeight);
        Ostrel::d2d::com_release(text_format_);
        dwrite_->CreateTextFormat(lf.lfFaceName, nullptr, static_cast<DWRITE_FONT_WEIGHT>(lf.lfWeight),
                                  lf.lfItalic ? DWRITE_FONT_STYLE_ITALIC : DWRITE_FONT_STYLE_NORMAL,
                                  DWRITE_FONT_STRETCH_NORMAL, size > 0 ? size : 12.0f, L"en-us", &text_format_);
    }

    // 6.-7. Page and layout.
    build_page();
    layout_page(can_proceed_ != 0);

    // 8. Default button.
    const LRESULT def = SendMessageW(m.window, DM_GETDEFID, 0, 0);
    if (HIWORD(def) == DC_HASDEFID) {
        if (HWND button = GetDlgItem(m.window, LOWORD(def))) {
            SetFocus(button);
            if (options_.yes && options_.type != install_type_update)
                PostMessageW(button, BM_CLICK, 0, 0);
        }
    }
    m.result = FALSE;
    return true;
}

void main_dialog::build_page()
{
    switch (options_.type) {
    case install_type_newer_installed:
        prepare_newer_version();
        break;
    case install_type_install:
        prepare_clean_install();
        break;
    case install_type_upgrade:
    case install_type_remove_previous:
        prepare_upgrade();
        break;
    case install_type_update:
        prepare_configure();
        break;
    case install_type_uninstall:
        prepare_uninstall();
        break;
    case install_type_windows_too_old:
        prepare_required_os();
        break;
    default:
        break;
    }
}

void main_dialog::prepare_clean_install()
{
    page_text_ = quillo::format(L"Install {0} on this computer? Continuing, you agree to the terms and conditions of "
                                L"our [[[hLicense Agreement]]].",
                                title_text());
    link_actions_.push_back([this] {
        show_license(hooks_.license_text ? hooks_.license_text() : std::string(), window());
    });
    add_button(L"&Customize\u2026", id_customize, false);
    add_button(L"&Install", IDOK, needs_shield());
    SendMessageW(window(), DM_SETDEFID, IDOK, 0);
}

void main_dialog::prepare_required_os()
{
    std::wstring text = quillo::format(L"{0}", package_.get_property(L"RequiredOSes", false));
    boost::algorithm::replace_all(text, L"\\n", L"\n");
    page_text_ = std::move(text);
    can_proceed_ = 0;
    add_button(L"More Info", id_more_info, false);
    add_button(L"Close", IDCANCEL, false);
    SendMessageW(window(), DM_SETDEFID, IDCANCEL, 0);
}

void main_dialog::prepare_newer_version()
{
    page_text_ = quillo::format(L"A newer version of {0} [[[b{1}]]] is already installed.\r\n\nThis is the installer for "
                                L"version {2}, however version {3} is currently installed.\r\n\nSetup will now quit.",
                                package_.get_property(L"ShortCompany", false),
                                package_.get_property(L"ProductName", false), package_.get_property(L"Version", false),
                                package_.get_property(L"PreviousVersion", false));
    can_proceed_ = 0;
    add_button(L"Close", IDCANCEL, false);
    SendMessageW(window(), DM_SETDEFID, IDCANCEL, 0);
}

void main_dialog::prepare_uninstall()
{
    page_text_ = quillo::format(L"Uninstall {0} from this computer?", title_text());
    add_button(L"Uninstall", id_uninstall, needs_shield());
    SendMessageW(window(), DM_SETDEFID, id_uninstall, 0);
}

void main_dialog::prepare_configure()
{
    page_text_ = quillo::format(L"Select what to do with {0} on this computer?", title_text());
    add_button(L"Configure\u2026", id_configure, false);
    add_button(L"Uninstall", id_uninstall, needs_shield());
    SendMessageW(window(), DM_SETDEFID, id_configure, 0);
}

void main_dialog::prepare_upgrade()
{
    page_text_ = quillo::format(L"[[[b{0}]]] version {1} is already installed. Setup will upgrade the product to version "
                                L"[[[b{2}]]]. If you need to add/remove any additional components, please re-run the "
                                L"Setup after upgrade is completed.",
                                package_.get_property(L"ProductName", false),
                                package_.get_property(L"PreviousVersion", false),
                                package_.get_property(L"Version", false));
    add_button(L"Upgrade", IDOK, needs_shield());
    SendMessageW(window(), DM_SETDEFID, IDOK, 0);
}

HWND main_dialog::add_button(const std::wstring& label, int id, bool shield)
{
    HWND button = CreateWindowExW(0, L"Button", label.c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP, 0, 0, 10, 10,
                                  window(), reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                  GetModuleHandleW(nullptr), nullptr);
    if (!button)
        throw_last_error();
    SendMessageW(button, WM_SETFONT, reinterpret_cast<WPARAM>(message_font_), FALSE);
    if (shield)
        SendMessageW(button, BCM_SETSHIELD, 0, TRUE);
    buttons_.push_back(button);
    return button;
}

HWND main_dialog::add_check_box(const std::wstring& label, int id)
{
    HWND box = CreateWindowExW(0, L"Button", label.c_str(), WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX, 0, 0,
                               10, 10, window(), reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                               GetModuleHandleW(nullptr), nullptr);
    if (!box)
        throw_last_error();
    SendMessageW(box, WM_SETFONT, reinterpret_cast<WPARAM>(message_font_), FALSE);
    SendMessageW(box, BM_SETCHECK, BST_CHECKED, 0);
    check_boxes_.push_back(box);
    return box;
}

// --- layout and drawing -------------------------------------------------------------------------------

RECT main_dialog::to_pixels(const D2D1_RECT_F& r) const noexcept
{
    return RECT{static_cast<LONG>(r.left * horizontal_scale), static_cast<LONG>(r.top * vertical_scale),
                static_cast<LONG>(r.right * horizontal_scale), static_cast<LONG>(r.bottom * vertical_scale)};
}

void main_dialog::relayout_text(float width)
{
    Ostrel::d2d::parse_markup(page_layout_, dwrite_, page_text_, text_format_, width, 1000.0f);
}

void main_dialog::layout_page(bool can_proceed)
{
    HWND w = window();
    ID2D1RenderTarget* target = create_device_resources(d2d_, dwrite_, w, *this);
    const float width = target ? target->GetSize().width : 0.0f;
    Ostrel::d2d::com_release(target);

    icon_rect_ = D2D1::RectF(10, 10, 90, 90);
    text_rect_.left = icon_rect_.right + 10;
    text_rect_.top = icon_rect_.top;
    text_rect_.right = width - 10;
    relayout_text(text_rect_.right - text_rect_.left);
    DWRITE_TEXT_METRICS metrics{};
    if (page_layout_.layout)
        page_layout_.layout->GetMetrics(&metrics);
    text_rect_.bottom = text_rect_.top + metrics.height;

    float y = text_rect_.bottom + 20;
    line_height_ = 0;
    if (text_format_) {
        IDWriteTextLayout* w_layout = nullptr;
        if (SUCCEEDED(dwrite_->CreateTextLayout(L"W", 1, text_format_, 1000.0f, 1000.0f, &w_layout))) {
            DWRITE_TEXT_METRICS wm{};
            w_layout->GetMetrics(&wm);
            line_height_ = wm.height;
            w_layout->Release();
        }
    }
    const float h = line_height_;
    const float pitch = h + 10.0f / 3.0f;

    for (HWND box : check_boxes_) {
        const RECT r = to_pixels(D2D1::RectF(text_rect_.left + 10, y, width - 10, y + h));
        SetWindowPos(box, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOZORDER);
        y += pitch;
    }

    if (!can_proceed) {
        status_rect_ = D2D1::RectF(110, y, width - 10, y + h);
    } else {
        if (!progress_)
            progress_ = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD, 0, 0, 10, 10, w, nullptr,
                                        GetModuleHandleW(nullptr), nullptr);
        const RECT r = to_pixels(D2D1::RectF(text_rect_.left, y + 10, width - 10, y + 20));
        SetWindowPos(progress_, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOZORDER);
        ShowWindow(progress_, SW_HIDE);
        status_rect_ = D2D1::RectF(100, y + 25, width - 10, y + 25 + pitch);
    }

    const float top = status_rect_.bottom + 10;
    const float bottom = top + 1.6f * h;
    float right = width - 10;
    for (auto it = buttons_.rbegin(); it != buttons_.rend(); ++it) {
        const RECT r = to_pixels(D2D1::RectF(right - 110, top, right, bottom));
        SetWindowPos(*it, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top, SWP_NOZORDER);
        right -= 120;
    }

    RECT window_rect{}, client{};
    if (!GetWindowRect(w, &window_rect))
        window_rect = RECT{};
    if (!GetClientRect(w, &client))
        client.bottom = client.top = 0;
    const int height = (window_rect.bottom - window_rect.top) +
                       static_cast<int>((bottom + 10) * vertical_scale) - (client.bottom - client.top);
    SetWindowPos(w, nullptr, 0, 0, window_rect.right - window_rect.left, height, SWP_NOMOVE | SWP_NOZORDER);

    // The target was made for the old client size: made again, and the text laid out for it.
    drop(*this);
    target = create_device_resources(d2d_, dwrite_, w, *this);
    Ostrel::d2d::com_release(target);
    relayout_text(text_rect_.right - text_rect_.left);
    Ostrel::d2d::set_link_effects(page_layout_, link.brush);
    InvalidateRect(w, nullptr, FALSE);
}

void main_dialog::create_device_dependent_resources(ID2D1RenderTarget* target)
{
    if (!text_brush)
        target->CreateSolidColorBrush(D2D1::ColorF(0, 0, 0, 1), &text_brush);
    if (ID2D1SolidColorBrush* brush = Ostrel::d2d::get_link_color(link))
        Ostrel::d2d::set_link_effects(page_layout_, brush);
}

void main_dialog::release_device_dependent_resources() { Ostrel::d2d::com_release(icon_bitmap_); }

void main_dialog::on_paint()
{
    PAINTSTRUCT ps;
    HWND w = window();
    BeginPaint(w, &ps);
    ID2D1RenderTarget* target = create_device_resources(d2d_, dwrite_, w, *this);
    if (target && !icon_bitmap_ && icon_source_)
        target->CreateBitmapFromWicBitmap(icon_source_, nullptr, &icon_bitmap_);
    if (target) {
        target->BeginDraw();
        if (icon_bitmap_) {
            target->Clear(system_colour(COLOR_BTNFACE));
            target->DrawBitmap(icon_bitmap_, icon_rect_, 1.0f, D2D1_BITMAP_INTERPOLATION_MODE_LINEAR, nullptr);
            if (text_brush) {
                text_brush->SetColor(system_colour(COLOR_WINDOWTEXT));
                if (page_layout_.layout)
                    target->DrawTextLayout(D2D1::Point2F(text_rect_.left, text_rect_.top), page_layout_.layout,
                                           text_brush);
                if (!status_text_.empty() && text_format_)
                    target->DrawText(status_text_.c_str(), static_cast<UINT32>(status_text_.size()), text_format_,
                                     status_rect_, text_brush);
            }
        }
        end_draw(w, *this);
        target->Release();
    }
    EndPaint(w, &ps);
}

bool main_dialog::link_at(float x, float y, std::size_t& index) const
{
    if (x < text_rect_.left || x >= text_rect_.right || y < text_rect_.top || y >= text_rect_.bottom)
        return false;
    const int i = page_layout_.link_at(x - text_rect_.left, y - text_rect_.top);
    if (i < 0)
        return false;
    index = static_cast<std::size_t>(i);
    return true;
}

bool main_dialog::on_set_cursor(message_record& m)
{
    POINT p{};
    GetCursorPos(&p);
    ScreenToClient(m.window, &p);
    std::size_t index = 0;
    if (link_at(p.x / horizontal_scale, p.y / vertical_scale, index)) {
        SetCursor(LoadCursorW(nullptr, IDC_HAND));
        m.result = 1;
    } else {
        m.result = 0;
    }
    return true;
}

bool main_dialog::on_left_button_down(message_record& m)
{
    const float x = static_cast<short>(LOWORD(m.lparam)) / horizontal_scale;
    const float y = static_cast<short>(HIWORD(m.lparam)) / vertical_scale;
    std::size_t index = 0;
    if (!link_at(x, y, index) || busy_ || index >= link_actions_.size())
        return false;
    link_actions_[index]();
    m.result = 0;
    return true;
}

// --- commands -------------------------------------------------------------------------------------------

bool main_dialog::on_command(message_record& m)
{
    if (!Ostrel::windows::impl::is_command(m))
        return false;
    switch (LOWORD(m.wparam)) {
    case IDOK:
        start_install();
        break;
    case IDCANCEL:
        on_cancel();
        break;
    case id_customize:
        customize(1);
        break;
    case id_uninstall:
        options_.type = install_type_uninstall;
        start_install();
        break;
    case id_configure:
        customize(0);
        break;
    case id_more_info:
        show_more_info();
        break;
    case id_close_setup:
        complete_setup();
        break;
    case id_reboot_now:
        reboot_now();
        break;
    default:
        return false;
    }
    Ostrel::windows::impl::set_command_result(m);
    return true;
}

void main_dialog::on_cancel()
{
    if (!cancel_allowed_.load())
        return;
    if (!run_result_) {
        exit_code = installation_cancelled;
        DestroyWindow(window());
        return;
    }
    cancelled_.store(1);
    cancel_allowed_.store(0);
    close_after_run();
}

void main_dialog::open(const std::wstring& file, const std::wstring* folder)
{
    if (hooks_.open_document)
        hooks_.open_document(file, folder);
    else
        open_document(file, folder);
}

void main_dialog::show_more_info() { open(package_.get_property(L"PreviousOSDownloadUrl", false), nullptr); }

void main_dialog::customize(int form)
{
    try {
        if (hooks_.wait_loaded)
            hooks_.wait_loaded();
    } catch (...) {
        // No feature tree to customize: the page stays, and the run reports the failure.
        return;
    }
    customize_hooks hooks = hooks_.customize;
    if (!hooks.is_user_admin)
        hooks.is_user_admin = hooks_.is_user_admin;
    customize_dialog dialog(package_, form == 1, horizontal_scale, std::move(hooks));
    if (dialog.run(window()) == IDOK)
        start_install();
}

void main_dialog::start_install()
{
    if (busy_)
        return;
    const std::wstring header = package_.get_property(L"WarningTextHeader", false);
    if (!header.empty()) {
        const std::wstring option = package_.get_property(L"WarningOption", false);
        const std::wstring text = package_.get_property(L"WarningText", false);
        if (!show_warning_dialog(window(), header, text, option))
            return;
    }
    if (!hooks_.run)
        return;
    busy_ = 1;
    for (HWND box : check_boxes_)
        EnableWindow(box, FALSE);
    for (HWND button : buttons_)
        if (GetWindowLongW(button, GWL_ID) != IDCANCEL)
            EnableWindow(button, FALSE);
    if (progress_)
        ShowWindow(progress_, SW_SHOW);
    future<void> running;
    try {
        running = hooks_.run(*this);
    } catch (...) {
        running = [](std::exception_ptr e) -> future<void> {
            std::rethrow_exception(e);
            co_return;
        }(std::current_exception());
    }
    run_result_ = std::make_shared<shared_future_impl<void>>(std::move(running));
    show_completion_page();
}

// --- completion ------------------------------------------------------------------------------------------

fire_and_forget main_dialog::show_completion_page()
{
    auto result = run_result_;
    HRESULT outcome = S_OK;
    try {
        co_await result;
    } catch (...) {
        outcome = outcome_code(std::current_exception());
    }
    co_await to_ui_thread{this};
    if (!window())
        co_return;
    apply_completion(outcome);
}

void main_dialog::apply_completion(HRESULT outcome)
{
    HWND w = window();
    if (outcome == sharing_violation) {
        if (hooks_.prompt_continue_after_reboot)
            hooks_.prompt_continue_after_reboot(w);
        DestroyWindow(w);
        return;
    }
    for (HWND box : check_boxes_)
        DestroyWindow(box);
    for (HWND button : buttons_)
        DestroyWindow(button);
    check_boxes_.clear();
    buttons_.clear();
    status_text_.clear();
    if (progress_)
        ShowWindow(progress_, SW_HIDE);

    if (outcome < 0) {
        page_text_ = quillo::format(L"Setup has failed and the following error code was reported:\r\n\n[[[b{0} "
                                    L"({1ub016xp})]]].\r\n\nPlease try running setup again after restarting your "
                                    L"computer.",
                                    system_message(outcome), static_cast<std::uint32_t>(outcome));
        add_button(L"Close", id_close_setup, false);
    } else {
        const bool reboot = outcome == 1;
        switch (options_.type) {
        case install_type_install:
            page_text_ = quillo::format(L"{0} has been successfully installed.", title_text());
            break;
        case install_type_upgrade:
        case install_type_remove_previous:
            page_text_ = quillo::format(L"[[[b{0}]]] has been successfully upgraded to version {1}.",
                                        package_.get_property(L"ProductName", false),
                                        package_.get_property(L"Version", false));
            break;
        case install_type_update:
            page_text_ = quillo::format(L"{0} has been successfully updated.", title_text());
            break;
        case install_type_uninstall:
            page_text_ = quillo::format(L"{0} has been successfully removed from your system.", title_text());
            break;
        default:
            break;
        }
        const bool known = options_.type >= install_type_install && options_.type <= install_type_remove_previous;
        if (!reboot && known) {
            if (options_.type != install_type_uninstall) {
                add_check_box(quillo::format(L"Launch {0}", package_.get_property(L"ProductName", false)), id_launch);
                if (options_.type != install_type_update)
                    add_check_box(render_literal(package_.get_property(L"FinishURLLabel", false)), id_release_notes);
            }
            add_button(L"Close", id_close_setup, false);
        }
        if (reboot) {
            page_text_ += L"\n\nReboot is required to complete setup. Close all running applications and click the "
                          L"[[[bReboot Now]]] button or manually reboot later.";
            add_button(L"Reboot Now (30 s)", id_reboot_now, false);
            add_button(L"Close", id_close_setup, false);
            countdown_ = 30;
            SetTimer(w, 0, 1000, nullptr);
        }
    }
    layout_page(false);
    if (outcome == 1 && !options_.yes) {
        SendMessageW(w, DM_SETDEFID, id_reboot_now, 0);
        if (HWND button = GetDlgItem(w, id_reboot_now))
            SetFocus(button);
    } else if (HWND close = GetDlgItem(w, id_close_setup)) {
        SetFocus(close);
        InvalidateRect(w, nullptr, FALSE);
        if (options_.yes)
            PostMessageW(close, BM_CLICK, 0, 0);
    }
}

void main_dialog::on_timer()
{
    HWND w = window();
    const std::wstring label = quillo::format(L"Reboot Now ({} s)", countdown_);
    SetDlgItemTextW(w, id_reboot_now, label.c_str());
    const std::uint32_t before = countdown_--;
    if (before == 1) {
        KillTimer(w, 0);
        if (HWND button = GetDlgItem(w, id_reboot_now))
            PostMessageW(button, BM_CLICK, 0, 0);
    }
}

void main_dialog::reboot_now()
{
    if (hooks_.exit_windows)
        static_cast<void>(hooks_.exit_windows(EWX_REBOOT)); // a refused reboot is not reported
    DestroyWindow(window());
}

void main_dialog::complete_setup()
{
    const int type = options_.type;
    if (type == install_type_install || type == install_type_upgrade || type == install_type_update ||
        type == install_type_remove_previous) {
        SetEnvironmentVariableW(L"__COMPAT_LAYER", nullptr);
        if (!check_boxes_.empty() && SendMessageW(check_boxes_[0], BM_GETCHECK, 0, 0) == BST_CHECKED) {
            const std::wstring folder = package_.get_property(L"INSTALLDIR", false);
            const std::wstring targets = package_.get_property(L"RunOnFinish", false);
            std::size_t start = 0;
            for (;;) {
                const std::size_t comma = targets.find(L',', start);
                open(targets.substr(start, comma == std::wstring::npos ? std::wstring::npos : comma - start), &folder);
                if (comma == std::wstring::npos)
                    break;
                start = comma + 1;
            }
        }
        if (check_boxes_.size() >= 2 && SendMessageW(check_boxes_[1], BM_GETCHECK, 0, 0) == BST_CHECKED)
            open(package_.get_property(L"FinishReleaseNotes", false), nullptr);
    }
    DestroyWindow(window());
}

fire_and_forget main_dialog::close_after_run()
{
    auto result = run_result_;
    try {
        co_await result;
    } catch (...) {
        // Every outcome is an HRESULT by now (outcome_code): the run has ended either way.
    }
    co_await to_ui_thread{this};
    if (HWND w = window())
        DestroyWindow(w);
}

// --- interface operations ------------------------------------------------------------------------------

void main_dialog::set_marquee(bool on)
{
    const LONG style = GetWindowLongW(progress_, GWL_STYLE);
    if (!on) {
        if (marquee_) {
            SendMessageW(progress_, PBM_SETMARQUEE, FALSE, 0);
            if (style & PBS_MARQUEE)
                SetWindowLongW(progress_, GWL_STYLE, style & ~PBS_MARQUEE);
            marquee_ = 0;
        }
        return;
    }
    if (!(style & PBS_MARQUEE))
        SetWindowLongW(progress_, GWL_STYLE, style | PBS_MARQUEE);
    SendMessageW(progress_, PBM_SETMARQUEE, TRUE, 0);
    marquee_ = 1;
}

template <class Change>
void main_dialog::update_display(Change&& change)
{
    std::unique_lock lock(display_mutex_);
    const bool here = is_ui_thread();
    if (!pending_display_) {
        pending_display_ = std::make_shared<display_update>();
        if (!here)
            post_display(pending_display_);
    }
    change(*pending_display_);
    if (!here)
        return;
    // On the UI thread the change (with any still waiting for their post) applies at once; the
    // waiting post then finds nothing left.
    display_update now = std::exchange(*pending_display_, display_update{});
    pending_display_.reset();
    lock.unlock();
    apply_display(now);
}

fire_and_forget main_dialog::post_display(std::shared_ptr<display_update> update)
{
    co_await to_ui_thread_posted{this};
    std::unique_lock lock(display_mutex_);
    if (pending_display_ == update)
        pending_display_.reset();
    display_update now = std::exchange(*update, display_update{});
    lock.unlock();
    apply_display(now);
}

void main_dialog::apply_display(display_update& update)
{
    if (progress_) {
        // A bar in marquee mode ignores positions: the marquee ends before the range resets one.
        if (update.marquee == false)
            set_marquee(false);
        if (update.range) {
            SendMessageW(progress_, PBM_SETRANGE32, 0, *update.range);
            SendMessageW(progress_, PBM_SETPOS, 0, 0);
        }
        if (update.position)
            SendMessageW(progress_, PBM_SETPOS, *update.position, 0);
        if (update.marquee == true)
            set_marquee(true);
    }
    if (update.status) {
        status_text_ = std::move(*update.status);
        if (HWND w = window()) {
            const RECT r = to_pixels(status_rect_);
            InvalidateRect(w, &r, FALSE);
        }
    }
    if (update.cancel_allowed)
        cancel_allowed_.store(*update.cancel_allowed ? 1 : 0);
}

void main_dialog::set_progress_range(std::uint32_t steps)
{
    update_display([steps](display_update& u) {
        u.range = steps;
        u.position.reset();
    });
}

bool main_dialog::set_progress(std::uint32_t position)
{
    const bool go_on = cancelled_.load() == 0;
    update_display([position](display_update& u) {
        if (position == indeterminate_progress) {
            u.marquee = true;
        } else {
            u.position = position;
            u.marquee = false;
        }
    });
    return go_on;
}

void main_dialog::set_status(const std::wstring& text)
{
    update_display([&text](display_update& u) { u.status = text; });
}

void main_dialog::set_status(std::wstring&& text)
{
    update_display([&text](display_update& u) { u.status = std::move(text); });
}

void main_dialog::enable_cancel(bool allowed)
{
    update_display([allowed](display_update& u) { u.cancel_allowed = allowed; });
}

bool main_dialog::add_locked_file(const std::wstring& path)
{
    locked_files_.push_back(path);
    return true;
}

bool main_dialog::shutdown_on_ui_thread()
{
    session_.reset();
    session_ = restart_manager_session::create(hooks_.restart_manager ? *hooks_.restart_manager
                                                                      : platform::restart_manager::system_restart_manager());
    bool answer = false;
    if (session_) {
        answer = session_->shutdown(&package_, window(), locked_files_,
                                    [](HWND owner, const std::vector<RM_PROCESS_INFO>& processes) {
                                        return show_files_in_use(owner, processes);
                                    });
    }
    locked_files_.clear();
    return answer;
}

// The engine's thread waits for the UI thread's answer; the dialog it may show needs the UI
// thread's message loop to bring its waiters back.
struct shutdown_call {
    HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool answer = false;
    ~shutdown_call()
    {
        if (done)
            CloseHandle(done);
    }
};

fire_and_forget main_dialog::post_shutdown(main_dialog* self, std::shared_ptr<shutdown_call> call)
{
    co_await to_ui_thread{self};
    call->answer = self->window() ? self->shutdown_on_ui_thread() : false;
    SetEvent(call->done);
}

bool main_dialog::shutdown_applications()
{
    if (is_ui_thread())
        return window() ? shutdown_on_ui_thread() : false;
    if (!window_handle_.load()) {
        locked_files_.clear();
        return false;
    }
    auto call = std::make_shared<shutdown_call>();
    if (!call->done)
        return false;
    post_shutdown(this, call);
    // A window destroyed before its loop took the call never answers: no window, no shutdown.
    while (WaitForSingleObject(call->done, 100) == WAIT_TIMEOUT) {
        if (!window_handle_.load()) {
            locked_files_.clear();
            return false;
        }
    }
    return call->answer;
}

void main_dialog::restart_applications()
{
    if (!session_)
        return;
    session_->restart();
    session_.reset();
}

} // namespace tolvane
