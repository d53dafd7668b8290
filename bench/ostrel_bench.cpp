// Ostrel windows framework: the layout of a 30-control dialog (solver first pass, resize pass, full
// pass with DeferWindowPos, open to first paint) and the markup of a 16-line optimize result (parse,
// layout with metrics against the plain text, drawing to a WIC bitmap). Needs a display.

#include "harness.h"
#include "test_dialogs.h"

#include <wincodec.h>

#include <string>

namespace {

using namespace dialog_tests;

void pump()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

std::wstring optimize_result(bool with_markup)
{
    std::wstring text;
    for (int i = 0; i < 16; ++i) {
        const std::wstring name = L"Line " + std::to_wstring(i + 1);
        const std::wstring value = std::to_wstring(1234567 * (i + 1)) + L" bytes";
        if (with_markup)
            text += L"[[[b" + name + L"]]]: [[[s:110:" + value + L"]]]" + (i == 15 ? L" [[[hdetails]]]" : L"");
        else
            text += name + L": " + value + (i == 15 ? L" details" : L"");
        text += L"\n";
    }
    return text;
}

} // namespace

int main()
{
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    INITCOMMONCONTROLSEX icc{sizeof(icc), 0x4237};
    InitCommonControlsEx(&icc);

    // Layout of the 30-control main dialog.
    {
        main_dlg d;
        HWND w = d.create_modeless(nullptr);
        if (!w) {
            std::printf("no dialog: error %lu\n", GetLastError());
            return 1;
        }
        ShowWindow(w, SW_SHOWNOACTIVATE);
        pump();
        layout_manager& lm = d.layout_rows();
        placement_context nowhere;
        nowhere.place = [](std::uint32_t, const rect&) {};
        rect client_out{};
        nowhere.client = &client_out;
        const RECT c = [&] { RECT r{}; GetClientRect(w, &r); return r; }();
        bench::report("ostrel layout solver first pass (30 controls)",
                      bench::median_seconds(51, [&] {
                          lm.reset();
                          lm.solve_and_place({0, 0, c.right, c.bottom}, nowhere);
                      }) * 1e3,
                      "ms");
        int width = c.right;
        bench::report("ostrel layout solver resize pass (30 controls)",
                      bench::median_seconds(1001, [&] {
                          width = width == c.right ? c.right + 40 : c.right;
                          lm.solve_and_place({0, 0, width, c.bottom}, nowhere);
                      }) * 1e3,
                      "ms");
        lm.reset();
        d.layout(true);
        RECT window{};
        GetWindowRect(w, &window);
        int grow = 0;
        bench::report("ostrel layout full pass with DeferWindowPos (resize by SetWindowPos)",
                      bench::median_seconds(101, [&] {
                          grow = grow ? 0 : 40;
                          SetWindowPos(w, nullptr, 0, 0, window.right - window.left + grow, window.bottom - window.top,
                                       SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
                      }) * 1e3,
                      "ms");
        DestroyWindow(w);
        pump();
        // Creation (WM_INITDIALOG with its first layout), show and the first WM_PAINT; the window's
        // destruction is left out of the figure.
        std::vector<double> opens;
        for (int i = 0; i < 11; ++i) {
            main_dlg fresh;
            const auto t0 = std::chrono::steady_clock::now();
            HWND f = fresh.create_modeless(nullptr);
            ShowWindow(f, SW_SHOWNOACTIVATE);
            UpdateWindow(f);
            opens.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
            DestroyWindow(f);
            pump();
        }
        std::sort(opens.begin(), opens.end());
        bench::report("ostrel main dialog open to first paint", opens[opens.size() / 2],
                      "ms");
    }

    // Markup of a 16-line optimize result.
    {
        ID2D1Factory* d2d = nullptr;
        IDWriteFactory* dwrite = nullptr;
        D2D1CreateFactory(D2D1_FACTORY_TYPE_SINGLE_THREADED, __uuidof(ID2D1Factory), nullptr, reinterpret_cast<void**>(&d2d));
        DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory), reinterpret_cast<IUnknown**>(&dwrite));
        IDWriteTextFormat* format = nullptr;
        dwrite->CreateTextFormat(L"Tahoma", nullptr, DWRITE_FONT_WEIGHT_NORMAL, DWRITE_FONT_STYLE_NORMAL,
                                 DWRITE_FONT_STRETCH_NORMAL, 12.0f, L"en-us", &format);
        const std::wstring markup = optimize_result(true);
        const std::wstring plain = optimize_result(false);
        bench::report("ostrel markup parse (16-line optimize result)",
                      bench::median_seconds(2001, [&] { (void)Ostrel::d2d::parse_markup_ranges(markup); }) * 1e6, "us");
        const double with_markup = bench::median_seconds(201, [&] {
            Ostrel::d2d::markup_text text;
            Ostrel::d2d::parse_markup(text, dwrite, markup, format, 400);
            DWRITE_TEXT_METRICS m{};
            text.layout->GetMetrics(&m);
        });
        const double plain_layout = bench::median_seconds(201, [&] {
            IDWriteTextLayout* layout = nullptr;
            dwrite->CreateTextLayout(plain.c_str(), static_cast<UINT32>(plain.size()), format, 400, 1000, &layout);
            DWRITE_TEXT_METRICS m{};
            layout->GetMetrics(&m);
            layout->Release();
        });
        bench::report("ostrel markup layout with metrics (16 lines)", with_markup * 1e6, "us");
        bench::report("ostrel plain text layout with metrics (16 lines)", plain_layout * 1e6, "us");
        bench::report("ostrel markup layout / plain layout", with_markup / plain_layout, "x");

        IWICImagingFactory* wic = nullptr;
        CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&wic));
        IWICBitmap* bitmap = nullptr;
        wic->CreateBitmap(420, 320, GUID_WICPixelFormat32bppPBGRA, WICBitmapCacheOnLoad, &bitmap);
        D2D1_RENDER_TARGET_PROPERTIES props{};
        props.pixelFormat = {DXGI_FORMAT_B8G8R8A8_UNORM, D2D1_ALPHA_MODE_PREMULTIPLIED};
        ID2D1RenderTarget* target = nullptr;
        d2d->CreateWicBitmapRenderTarget(bitmap, &props, &target);
        ID2D1SolidColorBrush* black = nullptr;
        const D2D1_COLOR_F black_color{0, 0, 0, 1}, white{1, 1, 1, 1};
        target->CreateSolidColorBrush(&black_color, nullptr, &black);
        Ostrel::d2d::markup_text text;
        Ostrel::d2d::parse_markup(text, dwrite, markup, format, 400);
        bench::report("ostrel markup draw to a WIC target (16 lines)",
                      bench::median_seconds(51, [&] {
                          target->BeginDraw();
                          target->Clear(&white);
                          target->DrawTextLayout(D2D1_POINT_2F{4, 4}, text.layout, black, D2D1_DRAW_TEXT_OPTIONS_NONE);
                          target->EndDraw();
                      }) * 1e3,
                      "ms");
        text.release();
        black->Release();
        target->Release();
        bitmap->Release();
        wic->Release();
        format->Release();
        dwrite->Release();
        d2d->Release();
    }
    CoUninitialize();
    return 0;
}
