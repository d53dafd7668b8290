#pragma once
// The return of coroutines to the UI thread.
//
// A dialog object derives from async_context, which remembers the thread that made it (the UI
// thread). `co_await ctx.await(std::move(f))` continues on that thread once `f` has its result:
// at once when it is ready and the coroutine already runs there, otherwise the registered thread
// message "QuvanWM_UIRETURN" carries the coroutine handle to the UI thread, where a WH_GETMESSAGE
// hook resumes it. The hook sees what any message loop of the thread removes, so the return also
// happens inside DialogBoxParamW, MessageBoxW and any other modal loop; a coroutine resumed there
// may open another modal loop (hooks nest).
//
// Only handles this process posted are resumed, each once: another program can post
// "QuvanWM_UIRETURN" to the thread too, and its wParam is ignored. A handle posted after the hook
// is gone stays suspended.
//
// Contract of an await: one coroutine awaits the awaiter once; it resumes on the UI thread; when
// the owner's cancellation source is cancelled by then, operation_cancelled is raised there;
// otherwise the future's value is taken or its exception rethrown. The awaiting coroutine must not
// be destroyed while it waits.

#include <ostrel/scope_guards.h>
#include <ostrel/windows/messages.h>
#include <tavik/cancellation.h>
#include <tavik/error.h>
#include <tavik/future.h>

#include <windows.h>

#include <coroutine>
#include <cstdint>
#include <utility>

namespace Ostrel::windows::impl {

namespace details {
// Records the handle and posts it; false (and nothing recorded) when the post failed.
bool post_ui_return(DWORD thread, std::coroutine_handle<> handle) noexcept;
// The hook's work for one message: resumes a recorded handle once. Whether it resumed.
bool resume_posted(WPARAM handle) noexcept;
// How many posted handles are waiting for the hook.
std::size_t pending_ui_returns() noexcept;
} // namespace details

// Installs the hook of the return to the UI thread on the calling thread.
unhook_windows_hook install_ui_return_hook() noexcept;

class async_context_base {
protected:
    async_context_base() noexcept : ui_thread_(GetCurrentThreadId()) {}

    std::uint32_t ui_thread_;
    std::uint32_t closed_ = 0;
    const tavik::details::cancellation_source* cancellation_ = nullptr;
};

class async_context : public async_context_base {
public:
    template <class T>
    class ui_awaiter {
    public:
        ui_awaiter(tavik::details::future<T> f, const tavik::details::cancellation_source* cancellation,
                   std::uint32_t ui_thread, std::uint32_t closed) noexcept
            : future_(std::move(f)), cancellation_(cancellation), ui_thread_(ui_thread), closed_(closed)
        {
        }

        bool await_ready() const noexcept
        {
            if (closed_)
                return false;
            return future_.is_ready() && GetCurrentThreadId() == ui_thread_;
        }

        void await_suspend(std::coroutine_handle<> awaiting) noexcept
        {
            post_resume_when_ready(&future_.promise(), ui_thread_, awaiting);
        }

        T await_resume()
        {
            if (cancellation_ && cancellation_->is_cancelled())
                tavik::details::throw_operation_cancelled();
            return future_.promise().take_result();
        }

    private:
        // Waits for the future's result without taking it, then posts the awaiting coroutine to the
        // UI thread. Everything it needs is copied into its own frame first: once it has posted, the
        // awaiting coroutine may already run and destroy the awaiter and the future.
        static tavik::details::fire_and_forget post_resume_when_ready(tavik::details::promise_core* promise,
                                                                       std::uint32_t ui_thread,
                                                                       std::coroutine_handle<> awaiting) noexcept
        {
            co_await tavik::details::publication_awaiter{promise, {}};
            if (awaiting)
                details::post_ui_return(ui_thread, awaiting);
        }

        tavik::details::future<T> future_;
        const tavik::details::cancellation_source* cancellation_;
        std::uint32_t ui_thread_;
        std::uint32_t closed_;
    };

    template <class T>
    ui_awaiter<T> await(tavik::details::future<T> f) const noexcept
    {
        return ui_awaiter<T>(std::move(f), cancellation_, ui_thread_, closed_);
    }

    // Hands a coroutine to the UI thread; a null handle posts nothing.
    void post_resume(std::coroutine_handle<> handle) const noexcept
    {
        if (handle)
            details::post_ui_return(ui_thread_, handle);
    }

    bool is_ui_thread() const noexcept { return !closed_ && GetCurrentThreadId() == ui_thread_; }

    // A closed context never counts as the UI thread: every await posts.
    void close() noexcept { closed_ = 1; }
    void set_cancellation(const tavik::details::cancellation_source* source) noexcept { cancellation_ = source; }
    std::uint32_t ui_thread() const noexcept { return ui_thread_; }
};

} // namespace Ostrel::windows::impl
