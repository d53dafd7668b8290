#pragma once
// The idle unload of a folder as the operations see it: the store-loaded check every operation
// awaits first, and the suspension of the idle task while an operation runs.

#include <tavik/future.h>

#include <system_error>

namespace dedup::impl {

class root_folder;

// Loads the store again after an idle unload, else only notes the use.
tavik::details::future<std::error_code> ensure_loaded(root_folder& root);

// Stops the folder's idle task for the length of an operation; true when one was running (the
// operation then starts it again at its end).
tavik::details::future<bool> suspend_idle_task(root_folder& root);

} // namespace dedup::impl
