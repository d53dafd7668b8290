#pragma once
// One configuration utility per logon session. The first instance stores its main window in a
// small named section; a later start finds it there and hands its command line over instead of
// running. The running marker tells other programs (the installer) that a utility runs.
//
// The check is serialised by a named mutex: a start that finds the mutex taken waits for it
// (bounded; an abandoned mutex counts as taken over), so two starts at the same moment cannot both
// find the section empty and both become first. The mutex is released as soon as the section has
// been read or written, before any forwarding.

#include <tavik/unique_handle.h>

#include <windows.h>

#include <chrono>

inline constexpr wchar_t running_marker_name[] = L"Global\\QuvanSoftware_DEDUP_Client_Running_Mutex";
inline constexpr wchar_t instance_mutex_name[] = L"Local\\{372af9f4-6f0c-43f6-8c49-87fbab8783e3}-mutex";
inline constexpr wchar_t instance_section_name[] = L"Local\\{372af9f4-6f0c-43f6-8c49-87fbab8783e3}-section";

// How long a start waits for another start's check. A check holds the mutex only to read or write
// eight bytes.
inline constexpr std::chrono::milliseconds instance_mutex_wait{10000};

struct instance_check {
    // Null: this process is the first instance (or could not make the section, and then cannot be
    // found by later starts). Otherwise the running instance's main window.
    HWND running = nullptr;
    // Held by the first instance for its whole run: the section lives as long as it does.
    tavik::unique_handle section;
};

// Stores `own` in the section when it holds none, else reports the window it holds.
instance_check check_single_instance(HWND own, std::chrono::milliseconds wait = instance_mutex_wait);

// Closes a handle whose close must not fail; a failure ends the process.
void close_or_die(HANDLE handle) noexcept;
