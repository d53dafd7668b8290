#pragma once
// The transacted registry functions, looked up in advapi32 at run time. Wine 8 exports no
// RegOpenKeyTransactedW nor RegDeleteKeyTransactedW (a static import loads, and the call aborts
// the process); a function that is missing answers ERROR_CALL_NOT_IMPLEMENTED, so the caller
// treats it like any other failed call.

#include <windows.h>

namespace platform::registry {

LSTATUS open_key_transacted(HKEY root, const wchar_t* path, DWORD options, REGSAM access, HKEY* result,
                            HANDLE transaction) noexcept;
LSTATUS create_key_transacted(HKEY root, const wchar_t* path, DWORD options, REGSAM access, HKEY* result,
                              DWORD* disposition, HANDLE transaction) noexcept;
LSTATUS delete_key_transacted(HKEY root, const wchar_t* path, REGSAM view, HANDLE transaction) noexcept;

} // namespace platform::registry
