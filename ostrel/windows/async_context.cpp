#include <ostrel/windows/async_context.h>

#include <mutex>
#include <unordered_set>

namespace Ostrel::windows::impl {
namespace details {
namespace {

// The handles posted and not yet resumed. A handle is recorded before its message is posted, so
// the hook always finds it, and erased by the one resumption.
struct posted_handles {
    std::mutex lock;
    std::unordered_set<void*> handles;
};

posted_handles& posted() noexcept
{
    static posted_handles* instance = new posted_handles; // lives to the end: hooks may run at exit
    return *instance;
}

LRESULT CALLBACK ui_return_hook(int code, WPARAM wparam, LPARAM lparam)
{
    if (code == HC_ACTION && wparam == PM_REMOVE) {
        const MSG* msg = reinterpret_cast<const MSG*>(lparam);
        if (msg && msg->hwnd == nullptr && msg->message == ui_return_message() && msg->message != 0)
            resume_posted(msg->wParam);
    }
    return CallNextHookEx(nullptr, code, wparam, lparam);
}

} // namespace

bool post_ui_return(DWORD thread, std::coroutine_handle<> handle) noexcept
{
    void* address = handle.address();
    posted_handles& p = posted();
    try {
        std::lock_guard guard(p.lock);
        p.handles.insert(address);
    } catch (...) {
        return false;
    }
    if (PostThreadMessageW(thread, ui_return_message(), reinterpret_cast<WPARAM>(address), 0))
        return true;
    std::lock_guard guard(p.lock);
    p.handles.erase(address);
    return false;
}

bool resume_posted(WPARAM handle) noexcept
{
    void* address = reinterpret_cast<void*>(handle);
    posted_handles& p = posted();
    {
        std::lock_guard guard(p.lock);
        if (!address || p.handles.erase(address) == 0)
            return false;
    }
    std::coroutine_handle<>::from_address(address).resume();
    return true;
}

std::size_t pending_ui_returns() noexcept
{
    posted_handles& p = posted();
    std::lock_guard guard(p.lock);
    return p.handles.size();
}

} // namespace details

UINT ui_return_message() noexcept
{
    static const UINT id = RegisterWindowMessageW(L"QuvanWM_UIRETURN");
    return id;
}

UINT process_command_message() noexcept
{
    static const UINT id = RegisterWindowMessageW(L"Quvan_WM_PROCESSCOMMAND");
    return id;
}

unhook_windows_hook install_ui_return_hook() noexcept
{
    ui_return_message();
    return unhook_windows_hook(SetWindowsHookExW(WH_GETMESSAGE, &details::ui_return_hook, nullptr, GetCurrentThreadId()));
}

} // namespace Ostrel::windows::impl
