#pragma once
// PrjFileNameMatch: whether a name matches a search expression as the file system matches them,
// without regard to letter case. Besides '*' (any run of characters) and '?' (any one character)
// an expression may hold the DOS wildcards that the platform's directory queries produce:
// '<' (any run of characters that stops before the name's last '.'), '>' (any one character, or
// nothing before a '.' or at the end) and '"' (a '.', or nothing at the end). An empty
// expression matches every name.

#include <string_view>

namespace projfs::emulation {

bool name_matches(std::wstring_view name, std::wstring_view expression);

} // namespace projfs::emulation
