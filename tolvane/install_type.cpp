#include <tolvane/install_type.h>

#include <windows.h>

#include <tolvane/action_queue.h>

namespace tolvane {

namespace {

// An unsigned 32-bit decimal number making up the whole text.
bool whole_number(std::wstring_view text, std::uint32_t& out)
{
    if (text.empty())
        return false;
    std::uint64_t n = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        n = n * 10 + static_cast<std::uint64_t>(c - L'0');
        if (n > 0xFFFFFFFFull)
            return false;
    }
    out = static_cast<std::uint32_t>(n);
    return true;
}

std::uint32_t leading_number(std::wstring_view text)
{
    std::uint32_t n = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            break;
        n = n * 10u + static_cast<std::uint32_t>(c - L'0');
    }
    return n;
}

} // namespace

version_parts parse_version_text(std::wstring_view text)
{
    version_parts parts{};
    std::wstring_view rest = text;
    bool dotted = true;
    for (int i = 0; i < 4 && dotted; ++i) {
        std::size_t dot = rest.find(L'.');
        if ((i < 3) != (dot != std::wstring_view::npos)) {
            dotted = false;
            break;
        }
        dotted = whole_number(rest.substr(0, dot), parts[static_cast<std::size_t>(i)]);
        if (dot != std::wstring_view::npos)
            rest.remove_prefix(dot + 1);
    }
    if (dotted)
        return parts;
    const std::uint32_t n = leading_number(text);
    const std::uint32_t m = n / 10000;
    return {m / 10000, (m / 100) % 100, m % 100, n % 10000};
}

version_parts unpack_version(std::uint64_t v) noexcept
{
    return {static_cast<std::uint32_t>(v >> 48), static_cast<std::uint32_t>((v >> 32) & 0xFFFF),
            static_cast<std::uint32_t>((v >> 16) & 0xFFFF), static_cast<std::uint32_t>(v & 0xFFFF)};
}

std::int32_t decide_install_type(std::int32_t type, const version_parts& previous, const version_parts& package,
                                 std::wstring_view allow_upgrade_on, bool prevented)
{
    if (previous > package)
        return install_type_newer_installed;
    if (previous == package)
        return type == install_type_uninstall ? type : install_type_update;
    if (type == install_type_uninstall)
        return type;
    if (allow_upgrade_on.empty())
        return previous[0] == package[0] && previous[1] == package[1] ? install_type_upgrade
                                                                      : install_type_remove_previous;
    if (previous < parse_version_text(allow_upgrade_on))
        return install_type_remove_previous;
    return prevented ? install_type_remove_previous : install_type_upgrade;
}

bool upgrade_prevented(std::wstring_view mutex_name)
{
    if (mutex_name.empty())
        return false;
    HANDLE h = OpenMutexW(SYNCHRONIZE, FALSE, std::wstring(mutex_name).c_str());
    if (!h)
        return false;
    CloseHandle(h);
    return true;
}

bool windows_too_old(std::wstring_view required_version, std::wstring_view required_build, const windows_version& running)
{
    std::uint32_t r = 0;
    if (whole_number(required_version, r) && r > running.version)
        return true;
    std::uint32_t b = 0;
    return leading_number(required_version) >= 1000 && whole_number(required_build, b) && b > running.build;
}

void directory_set::add(std::wstring_view path, bool skip_if_exists, bool force_remove)
{
    if (folders_.contains(std::wstring(path)))
        return;
    if (skip_if_exists) {
        HANDLE h = CreateFileW(std::wstring(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                               FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            CloseHandle(h);
            return;
        }
    }
    folders_.emplace(std::wstring(path), force_remove);
}

void directory_set::queue(ActionQueue& q, bool create) const
{
    for (const auto& [path, force] : folders_) {
        if (create)
            q.add(std::make_unique<create_directory_action>(path));
        else
            q.add(std::make_unique<remove_directory_action>(path, true, false, force));
    }
}

} // namespace tolvane
