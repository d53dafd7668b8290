// This folder object runs no idle task yet: there is nothing to suspend.

#include <dedup/engine/idle_unload.h>

#include <dedup/engine/root_folder.h>

namespace dedup::impl {

tavik::details::future<std::error_code> ensure_loaded(root_folder& root)
{
    co_return co_await root.ensure_loaded();
}

tavik::details::future<bool> suspend_idle_task(root_folder&)
{
    co_return false;
}

} // namespace dedup::impl
