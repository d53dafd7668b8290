#pragma once
// The product's sparse package: "dedup.msix" in the installation folder, registered for the current
// user with the installation folder as its external location, and found again by its name and its
// maker's publisher name.

#include <platform/deployment/deployment.h>

#include <string>

namespace quastle {

inline constexpr wchar_t sparse_package_name[] = L"QuvanSoftware.Tovalind.Sparse";
// The subject of the certificate the package is signed with; the package's manifest names the same
// publisher.
inline constexpr wchar_t sparse_package_publisher[] =
    L"E=support@quvansoftware.com, CN=Quvan Software, O=Quvan Software, L=Riga, S=Riga, C=LV";

HRESULT add_sparse_package(platform::deployment::runtime& rt, const std::wstring& folder,
                           const std::wstring& package_file);
HRESULT remove_sparse_package(platform::deployment::runtime& rt);

} // namespace quastle
