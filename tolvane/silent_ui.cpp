#include <tolvane/silent_ui.h>

namespace tolvane {

bool silent_ui::shutdown_applications()
{
    session_.reset(); // ends the previous session
    session_ = restart_manager_session::create(calls_);
    std::vector<std::wstring> files = std::move(locked_);
    locked_.clear();
    if (!session_)
        return false;
    return session_->shutdown(nullptr, nullptr, files);
}

void silent_ui::restart_applications()
{
    if (!session_)
        return;
    session_->restart();
    session_.reset();
}

} // namespace tolvane
