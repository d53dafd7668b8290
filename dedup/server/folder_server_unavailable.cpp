// Stands in for the folder server until it is part of the build: the entry reports that there is
// no server to start.
#include <dedup/server/folder_server.h>

namespace dedup::impl {

std::unique_ptr<folder_server> create_folder_server(std::vector<std::wstring>, const create_params&)
{
    return nullptr;
}

} // namespace dedup::impl
