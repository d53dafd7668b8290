#include <platform/projfs/availability.h>

namespace projfs {

namespace {

using compare_function = int(WINAPI*)(PCWSTR, PCWSTR);

HMODULE load_library() noexcept
{
    // The program's own folder (where the emulation sits in the build), then the system folder
    // (where Windows keeps the real one), and nowhere else: the default order would also take a
    // ProjectedFSLib.dll from the current folder of whoever starts the program. The delay-load
    // helper later asks for the module by name and gets this one, already loaded.
    return LoadLibraryExW(L"ProjectedFSLib.dll", nullptr,
                          LOAD_LIBRARY_SEARCH_APPLICATION_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
}

int WINAPI fallback_compare(PCWSTR name1, PCWSTR name2)
{
    return ordinal_compare_ignore_case(name1, name2);
}

compare_function resolve_compare() noexcept
{
    if (HMODULE module = available() ? GetModuleHandleW(L"ProjectedFSLib.dll") : nullptr) {
        // Bound directly rather than through the delay-load thunk: the tree calls it for every
        // comparison, and the address never changes while the module stays loaded.
        if (auto function = reinterpret_cast<compare_function>(
                reinterpret_cast<void*>(GetProcAddress(module, "PrjFileNameCompare"))))
            return function;
    }
    return &fallback_compare;
}

} // namespace

bool available() noexcept
{
    static const bool loaded = load_library() != nullptr;
    return loaded;
}

int ordinal_compare_ignore_case(PCWSTR name1, PCWSTR name2) noexcept
{
    // CSTR_LESS_THAN, CSTR_EQUAL and CSTR_GREATER are 1, 2 and 3; the call cannot fail with two
    // terminated strings.
    return CompareStringOrdinal(name1, -1, name2, -1, TRUE) - CSTR_EQUAL;
}

int file_name_compare(PCWSTR name1, PCWSTR name2) noexcept
{
    static const compare_function compare = resolve_compare();
    return compare(name1, name2);
}

} // namespace projfs
