#pragma once
// The about box and the help.

#include <plendor/commands/commands_resources.h>
#include <plendor/commands/texts.h>

#include <ostrel/d2d/d2dsupport.h>
#include <ostrel/d2d/markup.h>
#include <ostrel/windows/dialog.h>

#include <windows.h>
#include <d2d1.h>
#include <dwrite.h>
#include <wincodec.h>

#include <functional>
#include <string>

inline constexpr std::wstring_view product_title = L"Quvan Software Tovalind Beta";

// The about box's main text (markup): the title, the version, the copyright and the site link.
std::wstring about_main_text(std::wstring_view title, const version_t& version);

// Opens the maker's web site with the shell on a short-lived thread (the shell wants a COM
// apartment of its own), and returns when the shell has been asked. Failures are not reported.
void open_web_site();
void open_address(const std::wstring& address);

// The full path of "dedup.chm" beside the program.
std::wstring help_file_path();

// Opens the topic in HTML Help ("<file>::/redirect.html#<topic>"); when HTML Help shows no window
// (no file, no HTML Help), the same topic of the online documentation in the browser.
void show_help(HWND owner, const std::wstring& help_file, const std::wstring& topic);

class about_dialog : public Ostrel::windows::impl::dialog<about_dialog, IDD_ABOUT>,
                     public Ostrel::d2d::d2dsupport<about_dialog> {
public:
    about_dialog(std::wstring title, std::wstring product, std::wstring second = {}, version_t version = read_own_version(),
                 std::function<void()> open_link = &open_web_site);
    ~about_dialog();

    // The main text's layout and where it is drawn, in device-independent pixels.
    const Ostrel::d2d::markup_text& main_text() const noexcept { return main_; }
    D2D1_RECT_F text_place() const noexcept { return text_place_; }
    bool has_logo() const noexcept { return logo_source_ != nullptr; }
    // Whether a client point (pixels) lies over the link.
    bool over_link(POINT client) const noexcept;

    void create_device_dependent_resources(ID2D1RenderTarget* target);
    void release_device_dependent_resources();

private:
    void on_init_dialog();
    void paint();
    D2D1_RECT_F place_of(int id) const noexcept;

    std::wstring title_;
    std::wstring product_;
    std::wstring second_;
    version_t version_;
    std::function<void()> open_link_;
    ID2D1Factory* d2d_ = nullptr;
    IDWriteFactory* dwrite_ = nullptr;
    IWICImagingFactory* wic_ = nullptr;
    IWICFormatConverter* logo_source_ = nullptr;
    ID2D1Bitmap* logo_ = nullptr;
    IDWriteTextFormat* format_ = nullptr;
    Ostrel::d2d::markup_text main_;
    Ostrel::d2d::markup_text second_text_;
    ID2D1SolidColorBrush* brush_ = nullptr;
    D2D1_RECT_F logo_place_{}, text_place_{}, second_place_{};
};

// The About button: the box over the main window, modal.
void show_about_box(HWND main_window);
