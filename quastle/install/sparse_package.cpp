#include <quastle/install/sparse_package.h>

namespace quastle {

HRESULT add_sparse_package(platform::deployment::runtime& rt, const std::wstring& folder, const std::wstring& package_file)
{
    return platform::deployment::add_package(rt, package_file, folder);
}

HRESULT remove_sparse_package(platform::deployment::runtime& rt)
{
    return platform::deployment::remove_packages(rt, sparse_package_name, sparse_package_publisher);
}

} // namespace quastle
