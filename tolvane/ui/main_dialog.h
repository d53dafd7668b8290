#pragma once
// The installer's interactive window: one modeless dialog (resource 130) showing one page, the
// progress of the installation and the completion page; it is also the SetupUiInterface of the
// run. Engine calls arrive on other threads: display changes travel to the UI thread as posted
// coroutines, applied in the order they were made; the cancel answer and the window handle are
// read directly. Progress, status and cancel-allowed changes are gathered into one pending update
// that a single post carries to the UI thread with the latest values, so a flood of them never
// fills the thread's message queue; every other post closes the pending update first, which keeps
// the changes made before it ahead of it and those made after it behind it.

#include <ostrel/d2d/d2dsupport.h>
#include <ostrel/d2d/markup.h>
#include <ostrel/windows/async_context.h>
#include <ostrel/windows/dialog.h>
#include <platform/restart_manager/restart_manager.h>
#include <tavik/future.h>
#include <tavik/shared_future.h>
#include <tolvane/package.h>
#include <tolvane/restart_manager_session.h>
#include <tolvane/setup_ui.h>
#include <tolvane/ui/customize_dialog.h>

#include <windows.h>
#include <d2d1.h>
#include <dwrite.h>
#include <wincodec.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tolvane {

// What the window needs of the package beyond its properties and options, and the platform calls
// that tests replace. An empty entry takes the default named beside it.
struct main_dialog_hooks {
    // Blocks until the start-up is ready; raises its failure. Empty: ready.
    std::function<void()> wait_ready;
    // The decoded product icon (a reference for the caller), or null.
    std::function<IWICBitmapSource*()> take_icon;
    // Blocks until the feature data are loaded. Empty: loaded.
    std::function<void()> wait_loaded;
    // The license document's bytes; empty when there is none.
    std::function<std::string()> license_text;
    // Starts the installation with the window as its user interface. Required to install.
    std::function<tavik::details::future<void>(SetupUiInterface&)> run;
    // A start-up failure reported to the user (empty: a message box with the system's text).
    std::function<void(HWND owner, HRESULT error)> show_start_failure;
    // The locked-files end of setup (dialog 135). Empty: nothing.
    std::function<void(HWND owner)> prompt_continue_after_reboot;
    // ExitWindowsEx with the shutdown privilege. Empty: nothing (never reboot by default).
    std::function<bool(std::uint32_t flags)> exit_windows;
    // Opens a document or program with the shell. Empty: open_document below.
    std::function<void(const std::wstring& file, const std::wstring* folder)> open_document;
    // GetDpiForWindow as looked up in user32; null result: the function is missing.
    std::function<UINT(HWND)> dpi_for_window;
    // IsUserAnAdmin. Empty: the shell's.
    std::function<bool()> is_user_admin;
    // The customize dialog's platform calls.
    customize_hooks customize;
    // The Restart Manager; null: the system's.
    platform::restart_manager::restart_manager_calls* restart_manager = nullptr;
};

// Opens a document, address or program with the shell on a thread of its own (waited for).
void open_document(const std::wstring& file, const std::wstring* folder);

// The outcome code of a finished run: 0, the carried HRESULT, the installation code (3: 1 for a
// reboot, 9: E_ABORT, others E_FAIL), E_OUTOFMEMORY, else E_FAIL.
HRESULT outcome_code(const std::exception_ptr& error) noexcept;

// The license document as the RichEdit control takes it: (bytes ending with two zero bytes, code
// page). RTF stays as it is, a UTF-16 byte-order mark selects 1200, anything else CP_ACP.
std::pair<std::string, UINT> license_document(std::string bytes);

// The warning dialog 138; true when the user pressed Continue.
bool show_warning_dialog(HWND owner, const std::wstring& header, const std::wstring& text, const std::wstring& option);

// The license dialog 137.
void show_license(const std::string& license, HWND owner);

class main_dialog final : public SetupUiInterface,
                          public Ostrel::windows::impl::dialog<main_dialog, 130>,
                          public Ostrel::windows::impl::async_context,
                          public Ostrel::d2d::d2dsupport<main_dialog> {
public:
    main_dialog(package& pkg, main_dialog_hooks hooks);
    ~main_dialog() override;

    // Creates the window, shows it and runs the thread's message loop; the exit code.
    int run(int show);

    // SetupUiInterface
    void set_progress_range(std::uint32_t steps) override;
    bool set_progress(std::uint32_t position) override;
    void set_status(const std::wstring& text) override;
    void enable_cancel(bool allowed) override;
    void set_status(std::wstring&& text) override;
    std::uint64_t get_window() override { return reinterpret_cast<std::uint64_t>(window_handle_.load()); }
    std::vector<feature_selection> get_feature_selection() override { return {}; }
    bool add_locked_file(const std::wstring& path) override;
    bool shutdown_applications() override;
    void restart_applications() override;

    std::wstring title_text() const;

    std::uint32_t exit_code = 0;

    // State read by tests on the UI thread.
    const std::wstring& page_text() const noexcept { return page_text_; }
    const std::wstring& status_text() const noexcept { return status_text_; }
    const std::vector<HWND>& buttons() const noexcept { return buttons_; }
    const std::vector<HWND>& check_boxes() const noexcept { return check_boxes_; }
    HWND progress_bar() const noexcept { return progress_; }
    bool marquee() const noexcept { return marquee_ != 0; }
    bool busy() const noexcept { return busy_ != 0; }
    bool cancel_allowed() const noexcept { return cancel_allowed_.load() != 0; }
    bool cancelled() const noexcept { return cancelled_.load() != 0; }
    std::uint32_t countdown() const noexcept { return countdown_; }
    D2D1_RECT_F text_rect() const noexcept { return text_rect_; }
    D2D1_RECT_F status_rect() const noexcept { return status_rect_; }
    float line_height() const noexcept { return line_height_; }

    // Direct2D support hooks.
    void create_device_dependent_resources(ID2D1RenderTarget* target);
    void release_device_dependent_resources();

private:
    // Reaches the private steps where a benchmark times them alone.
    friend struct main_dialog_probe;

    struct to_ui_thread;
    friend struct to_ui_thread;

    bool on_init_dialog(Ostrel::windows::impl::message_record& m);
    bool on_command(Ostrel::windows::impl::message_record& m);
    void on_cancel();
    void on_paint();
    bool on_set_cursor(Ostrel::windows::impl::message_record& m);
    bool on_left_button_down(Ostrel::windows::impl::message_record& m);
    void on_timer();

    void build_page();
    void prepare_clean_install();
    void prepare_required_os();
    void prepare_newer_version();
    void prepare_uninstall();
    void prepare_configure();
    void prepare_upgrade();

    HWND add_button(const std::wstring& label, int id, bool shield);
    HWND add_check_box(const std::wstring& label, int id);
    void layout_page(bool can_proceed);
    void relayout_text(float width);
    bool link_at(float x, float y, std::size_t& index) const;
    bool needs_shield() const;

    void start_install();
    void customize(int form);
    void show_more_info();
    void complete_setup();
    void reboot_now();
    void open(const std::wstring& file, const std::wstring* folder);

    tavik::details::fire_and_forget show_completion_page();
    tavik::details::fire_and_forget close_after_run();
    void apply_completion(HRESULT outcome);

    bool shutdown_on_ui_thread();
    static tavik::details::fire_and_forget post_shutdown(main_dialog* self, std::shared_ptr<struct shutdown_call> call);

    // The display changes made since the last post to the UI thread, in the effect they have
    // together: the last range (which resets the position), the last ordinary position after it,
    // whether the last progress report switched the marquee on (0xFFFFFFFF) or off (a position);
    // the latest status; the latest cancel answer.
    struct display_update {
        std::optional<std::uint32_t> range;
        std::optional<std::uint32_t> position;
        std::optional<bool> marquee;
        std::optional<std::wstring> status;
        std::optional<bool> cancel_allowed;
    };
    struct to_ui_thread_posted;
    friend struct to_ui_thread_posted;

    template <class Change>
    void update_display(Change&& change);
    tavik::details::fire_and_forget post_display(std::shared_ptr<display_update> update);
    void apply_display(display_update& update);
    void set_marquee(bool on);
    RECT to_pixels(const D2D1_RECT_F& r) const noexcept;

    package& package_;
    setup_options& options_;
    main_dialog_hooks hooks_;

    std::wstring page_text_;
    std::wstring status_text_;
    std::vector<HWND> buttons_;
    std::vector<HWND> check_boxes_;
    HWND progress_ = nullptr;
    std::uint8_t marquee_ = 0;
    std::uint8_t busy_ = 0;
    std::shared_ptr<tavik::details::shared_future_impl<void>> run_result_;
    std::atomic<std::uint8_t> cancelled_{0};
    std::atomic<std::uint8_t> cancel_allowed_{1};
    std::uint8_t can_proceed_ = 1;
    std::atomic<HWND> window_handle_{nullptr};
    // Guards pending_display_ and the order of every post to the UI thread.
    std::mutex display_mutex_;
    std::shared_ptr<display_update> pending_display_;

    ID2D1Factory* d2d_ = nullptr;
    IDWriteFactory* dwrite_ = nullptr;
    IWICImagingFactory* wic_ = nullptr;
    IWICBitmapSource* icon_source_ = nullptr;
    ID2D1Bitmap* icon_bitmap_ = nullptr;
    IDWriteTextFormat* text_format_ = nullptr;
    Ostrel::d2d::markup_text page_layout_;
    std::vector<std::function<void()>> link_actions_;

    D2D1_RECT_F icon_rect_{10, 10, 90, 90};
    D2D1_RECT_F text_rect_{};
    D2D1_RECT_F status_rect_{};
    float line_height_ = 0;

    std::vector<std::wstring> locked_files_;
    std::unique_ptr<restart_manager_session> session_;
    HFONT message_font_ = nullptr;
    std::uint32_t countdown_ = 0;
};

} // namespace tolvane
