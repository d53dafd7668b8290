#pragma once
// The main window on a UI thread of its own, over a test package, driven the way a user would:
// posted commands and messages, state read back on the window's own thread.

#include <tolvane/ui/main_dialog.h>

#include <ostrel/windows/async_context.h>
#include <tavik/future.h>

#include <windows.h>
#include <objbase.h>

#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <string>
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

// A dialog of that title once it is shown (its controls exist by then).
inline HWND find_shown_dialog(const wchar_t* title)
{
    HWND w = FindWindowW(L"#32770", title);
    return w && IsWindowVisible(w) ? w : nullptr;
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
