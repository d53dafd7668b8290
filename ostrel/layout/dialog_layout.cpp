#include <ostrel/layout/dialog_layout.h>

#include <algorithm>

namespace Ostrel::layout::details {

std::wstring combo_item_text(HWND combo, int index)
{
    const LRESULT length = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(index), 0);
    if (length == CB_ERR || length < 0)
        return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT copied = SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(index), reinterpret_cast<LPARAM>(text.data()));
    if (copied == CB_ERR || copied < 0)
        return {};
    text.resize(std::min<std::size_t>(static_cast<std::size_t>(copied), static_cast<std::size_t>(length)));
    return text;
}

namespace {

int text_width(HDC dc, const std::wstring& text, RECT bounds)
{
    if (text.empty())
        return 0;
    DrawTextW(dc, text.c_str(), static_cast<int>(text.size()), &bounds, DT_CALCRECT);
    return bounds.right - bounds.left;
}

std::wstring window_text(HWND window)
{
    const int length = GetWindowTextLengthW(window);
    if (length <= 0)
        return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    text.resize(static_cast<std::size_t>(std::max(0, GetWindowTextW(window, text.data(), length + 1))));
    return text;
}

} // namespace

int measure_control(HWND dialog, HDC dc, int id, int unit)
{
    HWND control = GetDlgItem(dialog, id);
    if (!control || !dc)
        return 0;
    HGDIOBJ font = reinterpret_cast<HGDIOBJ>(SendMessageW(control, WM_GETFONT, 0, 0));
    windows::restore_selected_object restore(dc, font ? SelectObject(dc, font) : nullptr);
    RECT client{}, window{};
    GetClientRect(control, &client);
    GetWindowRect(control, &window);
    int extra = (window.right - window.left) - (client.right - client.left);
    wchar_t class_name[260] = {};
    GetClassNameW(control, class_name, 260);
    if (lstrcmpiW(class_name, L"BUTTON") == 0) {
        // Without Common Controls 6 the message fails and writes nothing: the margins stay 0.
        RECT margin{0, 0, 0, 0};
        if (!SendMessageW(control, BCM_GETTEXTMARGIN, 0, reinterpret_cast<LPARAM>(&margin)))
            margin = RECT{0, 0, 0, 0};
        extra += margin.left + margin.right + unit;
    } else if (lstrcmpiW(class_name, L"COMBOBOX") == 0) {
        int widest = 0;
        const LRESULT count = SendMessageW(control, CB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count && count != CB_ERR; ++i)
            widest = std::max(widest, text_width(dc, combo_item_text(control, static_cast<int>(i)), RECT{}));
        return widest + unit * 3 / 2 + extra;
    } else if (lstrcmpiW(class_name, L"STATIC") == 0) {
        extra += unit / 2;
    }
    return extra + text_width(dc, window_text(control), client);
}

int ideal_button_width(HWND dialog, int id, int unit) noexcept
{
    SIZE ideal{0, 0};
    HWND button = GetDlgItem(dialog, id);
    if (!button || !SendMessageW(button, BCM_GETIDEALSIZE, 0, reinterpret_cast<LPARAM>(&ideal)))
        ideal = SIZE{0, 0};
    return static_cast<int>(ideal.cx) + unit;
}

void ensure_size_grip(HWND dialog) noexcept
{
    if (!dialog || GetDlgItem(dialog, size_grip_id))
        return;
    RECT client{};
    GetClientRect(dialog, &client);
    CreateWindowExW(0, L"SCROLLBAR", L"",
                    WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS | SBS_SIZEBOX | SBS_SIZEGRIP | SBS_SIZEBOXBOTTOMRIGHTALIGN,
                    client.left, client.top, client.right - client.left, client.bottom - client.top, dialog,
                    reinterpret_cast<HMENU>(static_cast<INT_PTR>(size_grip_id)), GetModuleHandleW(nullptr), nullptr);
}

} // namespace Ostrel::layout::details
