#pragma once
// The main window on a UI thread of its own, over a test package, driven the way a user would:
// posted commands and messages, state read back on the window's own thread.

#include <tolvane/ui/main_dialog.h>

#include <ostrel/windows/async_context.h>
#include <tavik/future.h>

#include <windows.h>
#include <objbase.h>
#include <wincodec.h>

#include <filesystem>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

namespace ui_tests {

inline bool wait_until(const std::function<bool()>& done, int ms = 10000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (done())
            return true;
        Sleep(10);
    }
    return done();
}

inline std::wstring window_text(HWND w)
{
    wchar_t buffer[512] = {};
    GetWindowTextW(w, buffer, 512);
    return buffer;
}

// A visible top-level window of the process whose caption ends so; null when there is none.
inline HWND process_window_ending(DWORD pid, std::wstring_view caption_end)
{
    struct search {
        DWORD pid;
        std::wstring_view end;
        HWND found;
    } s{pid, caption_end, nullptr};
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<search*>(p);
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            if (owner == s->pid && IsWindowVisible(w) && window_text(w).ends_with(s->end)) {
                s->found = w;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
}

// A screenshot of a window from the screen into the build's artifacts folder (a record of the run;
// nothing is compared).
inline void save_screenshot(HWND window, const std::wstring& name)
{
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    const auto dir = std::filesystem::path(exe).parent_path() / L"artifacts" / L"tolvane-ui";
    std::error_code ignored;
    std::filesystem::create_directories(dir, ignored);
    Sleep(150); // let the window paint
    RECT r{};
    GetWindowRect(window, &r);
    const int w = r.right - r.left, h = r.bottom - r.top;
    if (w <= 0 || h <= 0)
        return;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    IWICImagingFactory* wic = nullptr;
    const HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (bitmap && bits &&
        SUCCEEDED(CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_INPROC_SERVER, IID_PPV_ARGS(&wic)))) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        BitBlt(memory, 0, 0, w, h, screen, r.left, r.top, SRCCOPY);
        SelectObject(memory, old);
        // The screen has no alpha: opaque pixels.
        auto* pixel = static_cast<BYTE*>(bits);
        for (int i = 0; i < w * h; ++i)
            pixel[i * 4 + 3] = 0xFF;
        IWICStream* stream = nullptr;
        IWICBitmapEncoder* encoder = nullptr;
        IWICBitmapFrameEncode* frame = nullptr;
        const std::wstring path = (dir / (name + L".png")).wstring();
        if (SUCCEEDED(wic->CreateStream(&stream)) && SUCCEEDED(stream->InitializeFromFilename(path.c_str(), GENERIC_WRITE)) &&
            SUCCEEDED(wic->CreateEncoder(GUID_ContainerFormatPng, nullptr, &encoder)) &&
            SUCCEEDED(encoder->Initialize(stream, WICBitmapEncoderNoCache)) &&
            SUCCEEDED(encoder->CreateNewFrame(&frame, nullptr)) && SUCCEEDED(frame->Initialize(nullptr)) &&
            SUCCEEDED(frame->SetSize(static_cast<UINT>(w), static_cast<UINT>(h)))) {
            WICPixelFormatGUID format = GUID_WICPixelFormat32bppBGRA;
            const UINT stride = static_cast<UINT>(w) * 4;
            if (SUCCEEDED(frame->SetPixelFormat(&format)) &&
                SUCCEEDED(frame->WritePixels(static_cast<UINT>(h), stride, stride * static_cast<UINT>(h), static_cast<BYTE*>(bits))))
                frame->Commit(), encoder->Commit();
        }
        if (frame)
            frame->Release();
        if (encoder)
            encoder->Release();
        if (stream)
            stream->Release();
        wic->Release();
    }
    if (SUCCEEDED(init))
        CoUninitialize();
    if (bitmap)
        DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}

// A dialog of that title once it is shown (its controls exist by then).
// A shown dialog of the given process (this one by default) with that title. Test programs run
// beside each other on one desktop: a dialog of the same title may belong to another of them.
inline HWND find_shown_dialog(const wchar_t* title, DWORD process = GetCurrentProcessId())
{
    struct search {
        const wchar_t* title;
        DWORD process;
        HWND found;
    } s{title, process, nullptr};
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
            auto& s = *reinterpret_cast<search*>(p);
            DWORD owner = 0;
            GetWindowThreadProcessId(w, &owner);
            wchar_t class_name[8]{};
            if (owner != s.process || !IsWindowVisible(w) || !GetClassNameW(w, class_name, 8)
                || std::wstring_view(class_name) != L"#32770" || window_text(w) != s.title)
                return TRUE;
            s.found = w;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
}

// The engine's side of a run: the test decides when and how it ends.
struct test_run {
    std::shared_ptr<tavik::details::promise_type_<void>> done = std::make_shared<tavik::details::promise_type_<void>>();
    std::atomic<tolvane::SetupUiInterface*> ui{nullptr};
    std::atomic<int> starts{0};

    tavik::details::future<void> start(tolvane::SetupUiInterface& with)
    {
        ui.store(&with);
        ++starts;
        return wait(done);
    }
    static tavik::details::future<void> wait(std::shared_ptr<tavik::details::promise_type_<void>> p) { co_await *p; }
    void succeed() { done->set_value(); }
    template <class E>
    void fail(E error)
    {
        done->set_exception(std::make_exception_ptr(error));
    }
};

class window_host {
public:
    tolvane::package pkg;
    tolvane::main_dialog_hooks hooks;
    test_run run;
    std::atomic<HWND> window{nullptr};
    std::atomic<int> exit_code{-1};
    DWORD thread_id = 0;

    window_host()
    {
        auto& p = pkg.properties();
        p.set(L"ShortCompany", L"Quvan");
        p.set(L"ProductName", L"Folder Dedup");
        p.set(L"Major", L"2");
        p.set(L"Minor", L"5");
        p.set(L"Version", L"2.5.1");
        p.set(L"PreviousVersion", L"2.4.0");
        hooks.run = [this](tolvane::SetupUiInterface& ui) { return run.start(ui); };
        hooks.is_user_admin = [] { return false; };
    }

    ~window_host()
    {
        if (ui_.joinable()) {
            if (HWND w = window.load())
                PostMessageW(w, WM_COMMAND, 0xFFFF, 0); // wake
            if (!wait_until([this] { return exit_code.load() != -1; }, 100)) {
                run.succeed();
                if (HWND w = window.load())
                    PostMessageW(w, WM_COMMAND, 1035, 0);
                PostThreadMessageW(thread_id, WM_QUIT, 0, 0);
            }
            ui_.join();
        }
    }

    // Starts the window and waits until it shows its page.
    void start(std::int32_t type)
    {
        pkg.options().type = type;
        std::promise<void> shown;
        auto shown_future = shown.get_future();
        ui_ = std::thread([this, &shown] {
            CoInitialize(nullptr);
            thread_id = GetCurrentThreadId();
            {
                tolvane::main_dialog dialog(pkg, hooks);
                dialog_ = &dialog;
                auto notify = [&] { shown.set_value(); };
                dialog.install([this, notify](Ostrel::windows::impl::message_record& m) mutable {
                    if (m.message == WM_SHOWWINDOW && !window.load()) {
                        window.store(m.window);
                        notify();
                    }
                    return false;
                });
                const int code = dialog.run(SW_SHOW);
                if (!window.load())
                    notify();
                dialog_ = nullptr;
                exit_code.store(code);
            }
            CoUninitialize();
        });
        shown_future.wait();
    }

    bool ended(int ms = 10000)
    {
        return wait_until([this] { return exit_code.load() != -1; }, ms);
    }

    // Runs f on the window's thread and returns its result.
    template <class F>
    auto on_ui(F f) -> decltype(f(std::declval<tolvane::main_dialog&>()))
    {
        using R = decltype(f(std::declval<tolvane::main_dialog&>()));
        std::promise<R> result;
        auto got = result.get_future();
        struct hop {
            DWORD thread;
            bool await_ready() const noexcept { return false; }
            void await_suspend(std::coroutine_handle<> h) const noexcept
            {
                Ostrel::windows::impl::details::post_ui_return(thread, h);
            }
            void await_resume() const noexcept {}
        };
        [](DWORD thread, F f, std::promise<R>& out, tolvane::main_dialog** dialog) -> tavik::details::fire_and_forget {
            co_await hop{thread};
            if constexpr (std::is_void_v<R>) {
                f(**dialog);
                out.set_value();
            } else {
                out.set_value(f(**dialog));
            }
        }(thread_id, std::move(f), result, &dialog_);
        return got.get();
    }

    tolvane::SetupUiInterface& ui() { return *run.ui.load(); }

private:
    std::thread ui_;
    tolvane::main_dialog* dialog_ = nullptr;
};

} // namespace ui_tests
