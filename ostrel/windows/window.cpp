#include <ostrel/windows/dpi.h>
#include <ostrel/windows/main_dialog.h>

namespace Ostrel::windows::impl {

const dpi_api& dpi_api::system() noexcept
{
    static const dpi_api api = [] {
        dpi_api a;
        if (HMODULE user32 = GetModuleHandleW(L"user32")) {
            a.get_dpi_for_window = reinterpret_cast<UINT(WINAPI*)(HWND)>(
                reinterpret_cast<void*>(GetProcAddress(user32, "GetDpiForWindow")));
            a.get_system_metrics_for_dpi = reinterpret_cast<int(WINAPI*)(int, UINT)>(
                reinterpret_cast<void*>(GetProcAddress(user32, "GetSystemMetricsForDpi")));
        }
        return a;
    }();
    return api;
}

UINT window_dpi(HWND window, const dpi_api& api) noexcept
{
    if (api.get_dpi_for_window) {
        if (const UINT dpi = api.get_dpi_for_window(window))
            return dpi;
    }
    UINT dpi = 0;
    if (HDC dc = GetDC(window)) {
        dpi = static_cast<UINT>(GetDeviceCaps(dc, LOGPIXELSX));
        ReleaseDC(window, dc);
    }
    return dpi ? dpi : 96;
}

int system_metric(int index, UINT dpi, const dpi_api& api) noexcept
{
    if (api.get_system_metrics_for_dpi)
        return api.get_system_metrics_for_dpi(index, dpi);
    return GetSystemMetrics(index);
}

namespace details {

void init_common_controls(DWORD classes) noexcept
{
    INITCOMMONCONTROLSEX icc{sizeof(INITCOMMONCONTROLSEX), classes};
    InitCommonControlsEx(&icc);
}

std::uint32_t run_message_loop(const HWND& main_window)
{
    MSG msg;
    for (;;) {
        const BOOL got = GetMessageW(&msg, nullptr, 0, 0);
        if (got == 0)
            break;
        if (got == -1)
            throw std::system_error(static_cast<int>(GetLastError()), std::system_category(), "GetMessage failed");
        if (main_window && IsDialogMessageW(main_window, &msg))
            continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return static_cast<std::uint32_t>(msg.wParam);
}

} // namespace details
} // namespace Ostrel::windows::impl
