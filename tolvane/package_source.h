#pragma once
// One package archive, unpacked on the thread pool into a new folder in the temporary folder as
// soon as the start-up knows its GUID. The installation waits for the extraction before it builds
// its queue; a failed extraction (damaged archive, hostile name, full disk) fails that wait with its
// error instead of leaving a partial folder to install from.
//
// Contract of the extraction future: shared, awaited any number of times (also from plain threads
// through `wait`); it completes on a thread-pool thread; cancelling the package's source stops the
// extraction before its next entry (operation_cancelled). The destructor waits for it and deletes
// the folder, whatever the outcome.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <windows.h>

#include <tavik/cancellation.h>
#include <tavik/future.h>
#include <tavik/shared_future.h>

namespace tolvane {

// "{GUID}.7z" with the braced upper-case GUID.
std::wstring format_archive_name(const GUID& id);

class package_source {
public:
    package_source(const GUID& id, std::wstring package_folder, bool skip, tavik::details::cancellation_source cancel);
    ~package_source();
    package_source(const package_source&) = delete;
    package_source& operator=(const package_source&) = delete;

    const GUID& id() const noexcept { return id_; }
    std::wstring archive_path() const { return package_folder_ + L"\\" + archive_name_; }
    // Empty until the extraction has created it (and always when skipped).
    const std::wstring& extraction_folder() const noexcept { return extraction_folder_; }
    const std::shared_ptr<tavik::details::shared_future_impl<void>>& extraction() const noexcept { return extraction_; }
    // Blocks a plain thread until the extraction ends; rethrows its failure.
    void wait() const;

private:
    tavik::details::future<void> extract_to_unique_folder();

    GUID id_;
    std::wstring package_folder_;
    std::wstring extraction_folder_;
    std::shared_ptr<tavik::details::shared_future_impl<void>> extraction_;
    tavik::details::cancellation_source cancel_;
    std::wstring archive_name_;
    bool skip_;
    std::atomic<std::uint32_t> cancel_flag_{0};
};

} // namespace tolvane
