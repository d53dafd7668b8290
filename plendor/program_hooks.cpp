#include <plendor/program_hooks.h>

#include <plendor/connections.h>

#include <plendor/commands/about.h>
#include <plendor/commands/folder_commands.h>
#include <plendor/commands/main_window_host.h>
#include <plendor/commands/result_dlg.h>
#include <plendor/commands/update.h>

#include <ostrel/windows/async_context.h>
#include <tavik/future.h>
#include <tavik/thread_pool.h>

#include <coroutine>
#include <memory>
#include <utility>

using namespace tavik::details;

namespace {

// Hands its last reference to the thread given, whose message loop resumes the UI return. When
// that thread no longer takes one, the reference is kept for good rather than released elsewhere.
fire_and_forget release_on_thread(DWORD thread, std::shared_ptr<progress> target)
{
    struct to_thread {
        DWORD thread;
        bool await_ready() const noexcept { return GetCurrentThreadId() == thread; }
        void await_suspend(std::coroutine_handle<> h) const noexcept
        {
            (void)Ostrel::windows::impl::details::post_ui_return(thread, h);
        }
        void await_resume() const noexcept {}
    };
    co_await to_thread{thread};
    target.reset();
}

// The folder-server connection's view of the progress dialog. The connection may go away on any
// of its threads, and the dialog's window belongs to the UI thread: whichever thread drops this
// relay, the dialog's reference is released on the UI thread.
class ui_released_progress final : public progress {
public:
    explicit ui_released_progress(std::shared_ptr<progress> target)
        : target_(std::move(target)), ui_thread_(GetCurrentThreadId())
    {
    }
    ~ui_released_progress() override { release_on_thread(ui_thread_, std::move(target_)); }
    void set_stage(std::wstring_view stage) override { target_->set_stage(stage); }
    void set_progress(std::uint64_t done, std::uint64_t total) override { target_->set_progress(done, total); }

private:
    std::shared_ptr<progress> target_;
    DWORD ui_thread_;
};

// Each call opens its own connection on a thread-pool thread (a busy pipe is waited for there),
// and the connection is dropped on a thread-pool thread after the reply, never on its own reader.
future<long> service_convert(std::wstring path)
{
    co_await resume_on_thread_pool{};
    std::shared_ptr<service_connection> connection = service_connection::open();
    const long hr = co_await connection->convert(std::move(path));
    co_await resume_on_thread_pool{};
    co_return hr;
}

future<long> service_delete(std::wstring path, bool force)
{
    co_await resume_on_thread_pool{};
    std::shared_ptr<service_connection> connection = service_connection::open();
    const long hr = co_await connection->delete_folder(std::move(path), force);
    co_await resume_on_thread_pool{};
    co_return hr;
}

// Started on the UI thread, which the relay of the target remembers.
future<std::expected<dedup::resync_stats, long>> folder_resync(std::wstring path, std::shared_ptr<progress> target)
{
    std::shared_ptr<progress> relay;
    if (target)
        relay = std::make_shared<ui_released_progress>(std::move(target));
    co_await resume_on_thread_pool{};
    std::shared_ptr<repo_connection> connection = repo_connection::open(path, std::move(relay));
    std::expected<dedup::resync_stats, long> reply = co_await connection->resync();
    co_await resume_on_thread_pool{};
    co_return reply;
}

future<std::expected<dedup::recover_stats, long>> folder_recover(std::wstring path)
{
    co_await resume_on_thread_pool{};
    std::shared_ptr<repo_connection> connection = repo_connection::open(path, nullptr);
    std::expected<dedup::recover_stats, long> reply = co_await connection->recover();
    co_await resume_on_thread_pool{};
    co_return reply;
}

class program_services final : public folder_services {
public:
    future<long> convert(std::wstring path) override { return service_convert(std::move(path)); }
    future<long> delete_folder(std::wstring path, bool force) override { return service_delete(std::move(path), force); }
    future<std::expected<dedup::resync_stats, long>> resync(std::wstring path, std::shared_ptr<progress> target) override
    {
        return folder_resync(std::move(path), std::move(target));
    }
    future<std::expected<dedup::recover_stats, long>> recover(std::wstring path) override
    {
        return folder_recover(std::move(path));
    }
};

// What the hooks share: the services and the commands' view of the one main window.
struct program_state {
    program_settings settings;
    program_services services;
    std::unique_ptr<main_window_host<main_dlg>> host;

    main_window_host<main_dlg>& host_of(main_dlg& dialog)
    {
        if (!host)
            host = std::make_unique<main_window_host<main_dlg>>(dialog, services);
        return *host;
    }
};

} // namespace

main_dlg_hooks make_program_hooks(program_settings settings)
{
    auto state = std::make_shared<program_state>();
    state->settings = std::move(settings);
    main_dlg_hooks hooks;
    // Every command runs on its own; the window releases its future at once.
    hooks.run_convert_command = [state](main_dlg& d, const std::wstring& folder) {
        (void)run_convert_command(state->host_of(d), folder);
    };
    hooks.create_in_folder = [state](main_dlg& d, const std::wstring& folder) {
        (void)create_in_folder(state->host_of(d), folder);
    };
    hooks.optimize_folder = [state](main_dlg& d, const std::wstring& folder) {
        (void)optimize_folder(state->host_of(d), folder);
    };
    hooks.recover_folder = [state](main_dlg& d, const std::wstring& folder) {
        (void)recover_folder(state->host_of(d), folder);
    };
    hooks.delete_folder = [state](main_dlg& d, std::size_t index) { (void)delete_folder(state->host_of(d), index); };
    hooks.delete_selected_folder = [state](main_dlg& d) { (void)delete_selected_folder(state->host_of(d)); };
    hooks.optimize_selected_folder = [state](main_dlg& d) { (void)optimize_selected_folder(state->host_of(d)); };
    hooks.recover_selected_folder = [state](main_dlg& d) { (void)recover_selected_folder(state->host_of(d)); };
    hooks.show_about_box = [](main_dlg& d) { show_about_box(d.window()); };
    hooks.show_help = [](main_dlg& d) { show_help(d.window(), help_file_path(), L"introduction"); };
    hooks.show_notice = [](main_dlg& d) {
        show_result_dialog(d.window(), pre_release_notice_title, pre_release_notice_text);
    };
    hooks.start_update_flow = [state](main_dlg& d, cancellation_source source) {
        update_flow_host host{d.window(), &d, state->settings.update_site, read_own_version()};
        return run_update_flow(std::move(host), std::move(source));
    };
    hooks.closing = [state](main_dlg& d) { state->host_of(d).mark_closing(); };
    return hooks;
}
