#pragma once
// How the installation engine talks to whatever shows the installation: progress, status, the
// cancel answer, an owner window, the user's feature choice and the applications that hold files.
// Arguments and results are plain values, so that every call means the same when it is answered in
// another process.

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

namespace tolvane {

// 20 bytes, the same in memory and on the pipe.
struct feature_selection {
    GUID id;
    std::uint8_t selected;
    std::uint8_t padding[3];
};
static_assert(sizeof(feature_selection) == 20);

inline constexpr std::uint32_t indeterminate_progress = 0xFFFFFFFF;

class SetupUiInterface {
public:
    virtual ~SetupUiInterface() = default;
    // A new progress run of `steps` steps; the position goes back to 0.
    virtual void set_progress_range(std::uint32_t steps) = 0;
    // The position, or indeterminate_progress; false once the user has cancelled.
    virtual bool set_progress(std::uint32_t position) = 0;
    virtual void set_status(const std::wstring& text) = 0;
    virtual void enable_cancel(bool allowed) = 0;
    // The same operation as the first entry, for a text the callee may keep.
    virtual void set_status(std::wstring&& text) = 0;
    virtual std::uint64_t get_window() = 0;
    virtual std::vector<feature_selection> get_feature_selection() = 0;
    // Remembers a file that could not be replaced; true when the caller may postpone its action.
    virtual bool add_locked_file(const std::wstring& path) = 0;
    // Closes the applications holding the remembered files; true when the engine may retry.
    virtual bool shutdown_applications() = 0;
    virtual void restart_applications() = 0;
};

} // namespace tolvane
