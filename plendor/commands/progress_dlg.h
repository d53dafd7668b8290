#pragma once
// Progress of a long operation: the `progress` target, and its one implementation, the progress
// dialog, which stays hidden for its first 300 ms, then shows a bold stage line, an estimate of the
// time left, a progress bar and a Cancel button.
//
// Reports come from any thread and are applied on the UI thread. They are coalesced: the latest
// stage and the latest (done, total) wait under a lock, and at most one UI return is posted for
// them at a time. An operation reporting faster than the UI thread runs therefore never fills the
// thread's message queue (Windows caps it at 10,000 posted messages), and the window answers
// throughout; the last report always arrives.

#include <plendor/commands/commands_resources.h>
#include <plendor/commands/progress.h>

#include <ostrel/d2d/d2dsupport.h>
#include <ostrel/d2d/markup.h>
#include <ostrel/layout/dialog_layout.h>
#include <ostrel/windows/async_context.h>
#include <ostrel/windows/dialog.h>

#include <windows.h>
#include <d2d1.h>
#include <dwrite.h>

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

// The system time in 100-ns units; tests give their own clock.
using progress_clock = std::function<std::uint64_t()>;
std::uint64_t system_time_now() noexcept;

inline constexpr std::wstring_view initial_stage_text = L"Preparing\u2026";
inline constexpr std::wstring_view initial_time_left_text = L"Estimating the time to complete operation\u2026";
inline constexpr int progress_range = 100000;

class progress_dlg : public progress,
                     public Ostrel::windows::impl::dialog<progress_dlg, IDD_PROGRESS>,
                     public Ostrel::d2d::d2dsupport<progress_dlg>,
                     public Ostrel::layout::details::dialog_layout_manager_winapi<progress_dlg, true>,
                     public std::enable_shared_from_this<progress_dlg>,
                     public Ostrel::windows::impl::async_context {
public:
    // Made through make_progress_dlg only: the dialog hands out weak references to itself.
    progress_dlg(std::wstring title, std::function<void()> cancel_action, progress_clock clock);
    ~progress_dlg();

    void set_stage(std::wstring_view stage) override;
    void set_progress(std::uint64_t done, std::uint64_t total) override;

    // Timer 1's work, public for tests with their own clock.
    void update_estimate();

    // State as the UI thread sees it.
    const std::wstring& stage_text() const noexcept { return stage_; }
    const std::wstring& time_left_text() const noexcept { return time_left_; }
    std::uint64_t done() const noexcept { return done_; }
    std::uint64_t total() const noexcept { return total_; }
    bool marquee() const noexcept { return marquee_; }
    // How many UI returns the reports have posted.
    std::uint64_t posted_returns() const noexcept { return posted_count_; }

    // Applies the reports waiting for the UI thread; on the UI thread only.
    void apply_pending();

    void create_device_dependent_resources(ID2D1RenderTarget* target);
    void release_device_dependent_resources();

private:
    struct sample {
        std::uint64_t done = 0;
        std::uint64_t time = 0;
    };
    struct pending_reports {
        std::optional<std::wstring> stage;
        std::optional<std::pair<std::uint64_t, std::uint64_t>> progress;
        bool posted = false;
    };

    void on_init_dialog();
    void paint();
    void on_cancel();
    void apply_stage(std::wstring stage);
    void apply_progress(std::uint64_t done, std::uint64_t total);
    void post_pending();
    void rebuild_status_text();
    void invalidate_text();

    std::wstring title_;
    std::function<void()> cancel_action_;
    progress_clock clock_;
    std::wstring stage_{initial_stage_text};
    std::wstring time_left_{initial_time_left_text};
    std::uint64_t done_ = 0;
    std::uint64_t total_ = 0;
    bool marquee_ = false;
    std::array<sample, 3> ring_{};
    std::size_t write_ = 0;
    std::size_t count_ = 0;
    std::size_t oldest_ = 0;
    HWND owner_ = nullptr;

    SRWLOCK lock_ = SRWLOCK_INIT; // guards pending_
    pending_reports pending_;
    std::uint64_t posted_count_ = 0;

    ID2D1Factory* d2d_ = nullptr;
    IDWriteFactory* dwrite_ = nullptr;
    IDWriteTextFormat* format_ = nullptr;
    Ostrel::d2d::markup_text status_;
    ID2D1SolidColorBrush* brush_ = nullptr;
};

// Creates the dialog hidden, modeless and owned by `owner`; it shows itself after 300 ms. Null
// when the window cannot be made. The last reference destroys the window (on the UI thread).
std::shared_ptr<progress_dlg> make_progress_dlg(HWND owner, std::wstring title, std::function<void()> cancel_action = {},
                                                progress_clock clock = {});
