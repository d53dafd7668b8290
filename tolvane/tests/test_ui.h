#pragma once
// A user interface for engine tests: records what the engine tells it and answers as scripted.

#include <tolvane/setup_ui.h>

#include <functional>
#include <string>
#include <vector>

namespace tolvane::testing {

class recording_ui : public SetupUiInterface {
public:
    std::vector<std::wstring> events;        // "range 3", "progress 0", "status X", "locked P", ...
    std::vector<std::wstring> locked;        // add_locked_file paths since the last shutdown
    int cancel_at_progress = -1;             // the n-th set_progress call (from 0) answers false, and all later
    bool take_locked = true;
    std::function<bool()> on_shutdown = [] { return false; };
    int shutdowns = 0, restarts = 0, progress_calls = 0;

    void set_progress_range(std::uint32_t steps) override { events.push_back(L"range " + std::to_wstring(steps)); }
    bool set_progress(std::uint32_t position) override
    {
        events.push_back(L"progress " + std::to_wstring(position));
        int n = progress_calls++;
        return cancel_at_progress < 0 || n < cancel_at_progress;
    }
    void set_status(const std::wstring& text) override { events.push_back(L"status " + text); }
    void enable_cancel(bool allowed) override { events.push_back(allowed ? L"cancel on" : L"cancel off"); }
    void set_status(std::wstring&& text) override { events.push_back(L"status " + text); }
    std::uint64_t get_window() override { return 0; }
    std::vector<feature_selection> get_feature_selection() override { return {}; }
    bool add_locked_file(const std::wstring& path) override
    {
        events.push_back(L"locked " + path);
        locked.push_back(path);
        return take_locked;
    }
    bool shutdown_applications() override
    {
        ++shutdowns;
        events.push_back(L"shutdown");
        locked.clear();
        return on_shutdown();
    }
    void restart_applications() override
    {
        ++restarts;
        events.push_back(L"restart");
    }
};

} // namespace tolvane::testing
