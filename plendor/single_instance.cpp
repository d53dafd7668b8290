#include <plendor/single_instance.h>

#include <cstdint>
#include <cstdlib>

void close_or_die(HANDLE handle) noexcept
{
    if (handle && !CloseHandle(handle))
        std::abort();
}

instance_check check_single_instance(HWND own, std::chrono::milliseconds wait)
{
    instance_check result;
    HANDLE mutex = CreateMutexW(nullptr, TRUE, instance_mutex_name);
    bool owned = false;
    if (mutex) {
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            owned = true;
        } else {
            // Another start is checking: its mutex grants this one no ownership, so wait for it.
            const DWORD waited = WaitForSingleObject(mutex, static_cast<DWORD>(wait.count()));
            owned = waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
        }
    }
    // An 8-byte section backed by the paging file; a new one reads 0.
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 8, instance_section_name);
    if (section) {
        result.section.reset(section);
        if (void* view = MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 8)) {
            auto* stored = static_cast<volatile std::uint64_t*>(view);
            if (const std::uint64_t value = *stored)
                result.running = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(value));
            else
                *stored = reinterpret_cast<std::uintptr_t>(own);
            UnmapViewOfFile(view);
        }
    }
    if (owned)
        ReleaseMutex(mutex);
    close_or_die(mutex);
    // A second instance does not keep the section: only the first one's handle holds it.
    if (result.running)
        result.section.reset();
    return result;
}
