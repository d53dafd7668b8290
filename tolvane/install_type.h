#pragma once
// What kind of run the installed product and the running Windows call for, and the package's set of
// folders. Versions are four parts in the package's order: MAJOR, MINOR, REVISION, BUILD.

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>

#include <tolvane/command_line.h>
#include <tolvane/properties.h>

namespace tolvane {

class ActionQueue;

using version_parts = std::array<std::uint32_t, 4>;

// "a.b.c.d" (four unsigned 32-bit numbers, nothing after) gives the four parts; any other text is
// one number N from its leading digits: parts (N / 10000 / 10000, N / 10000 / 100 % 100,
// N / 10000 % 100, N % 10000).
version_parts parse_version_text(std::wstring_view text);
// The stored "Quvan Setup Prop: VERSION": 16 bits per part, MAJOR in the top ones.
version_parts unpack_version(std::uint64_t packed) noexcept;

// The run type once an earlier installation of `previous` is known: 0 when it is newer (even for an
// uninstall), 3 when equal (unless uninstalling), else 2 (upgrade) or 5 (remove, then install) as
// AllowUpgradeOn, the first two parts and the upgrade-prevention mutex decide.
std::int32_t decide_install_type(std::int32_t type, const version_parts& previous, const version_parts& package,
                                 std::wstring_view allow_upgrade_on, bool upgrade_prevented);

// True when a mutex of that name exists (an empty name prevents nothing).
bool upgrade_prevented(std::wstring_view mutex_name);

// RequiredOSVersion (major x 100 + minor) above the running one, or, for a requirement of 10.0 or
// later, RequiredOSBuild above the running build.
bool windows_too_old(std::wstring_view required_version, std::wstring_view required_build, const windows_version& running);

// The folders the installation creates or removes, each with its force-removal flag; ordered and
// unique without regard to case, a folder before the folders inside it.
class directory_set {
public:
    // Keeps the first flag of a folder added twice; with skip_if_exists an existing folder is not added.
    void add(std::wstring_view path, bool skip_if_exists, bool force_remove);
    // A create_directory_action per folder (create), or a recursive remove_directory_action with the
    // folder's force flag, in ascending order.
    void queue(ActionQueue& queue, bool create) const;
    std::size_t size() const noexcept { return folders_.size(); }
    const std::map<std::wstring, bool, bool (*)(std::wstring_view, std::wstring_view)>& folders() const noexcept
    {
        return folders_;
    }

private:
    std::map<std::wstring, bool, bool (*)(std::wstring_view, std::wstring_view)> folders_{&iless};
};

} // namespace tolvane
