#pragma once
// A GUID as registry text: braces and upper-case digits, "{01234567-89AB-CDEF-0123-456789ABCDEF}".

#include <string>

#include <windows.h>

namespace tolvane {

std::wstring guid_to_string(const GUID& id);
// A new random GUID's text; the all-zero GUID's text when none can be made.
std::wstring new_guid_text();

} // namespace tolvane
