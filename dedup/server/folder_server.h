#pragma once
// The folder server as the program's entry drives it with "--server": built with the folders as
// typed and the creation settings, started once, stopped from the console control handler, and
// destroyed once its start has completed.

#include <dedup/engine/iroot.h>

#include <tavik/future.h>

#include <memory>
#include <string>
#include <vector>

namespace dedup::impl {

class folder_server {
public:
    virtual ~folder_server() = default;
    // Serves every folder; completes when the last folder has stopped.
    virtual tavik::details::future<void> start() = 0;
    // Stops every folder; returns at once. Safe from the console control handler's thread.
    virtual void stop() noexcept = 0;
};

// The folder server of these folders (each is made a full path, sorted, without duplicates, by the
// server); null when this build has none.
std::unique_ptr<folder_server> create_folder_server(std::vector<std::wstring> folders, const create_params& params);

} // namespace dedup::impl
