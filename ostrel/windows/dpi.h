#pragma once
// The per-monitor DPI functions, looked up by name in user32: older systems lack them, and the
// callers fall back to the device context and the system-wide metrics. Tests pass a table with
// missing functions to reach the fallbacks.

#include <windows.h>

namespace Ostrel::windows::impl {

struct dpi_api {
    UINT(WINAPI* get_dpi_for_window)(HWND) = nullptr;
    int(WINAPI* get_system_metrics_for_dpi)(int, UINT) = nullptr;

    // The functions user32 has (user32 stays loaded by every window program).
    static const dpi_api& system() noexcept;
};

// The DPI of a window: GetDpiForWindow when present, else LOGPIXELSX of the window's DC; 96 when
// neither answers.
UINT window_dpi(HWND window, const dpi_api& api = dpi_api::system()) noexcept;

// A system metric at a DPI: GetSystemMetricsForDpi when present, else GetSystemMetrics.
int system_metric(int index, UINT dpi, const dpi_api& api = dpi_api::system()) noexcept;

} // namespace Ostrel::windows::impl
