#include <tolvane/command_line.h>

#include <mutex>

#include <ostrel/cmd_line.h>

namespace tolvane {

namespace {

namespace cl = Ostrel::cmd_line;

// Decimal digits only, as a 64-bit number; anything else is the library's conversion error.
std::uint64_t unsigned_value(std::wstring_view text)
{
    if (text.empty())
        throw Ostrel::cmd_line_syntax_error(cl::integer_conversion_message);
    std::uint64_t n = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            throw Ostrel::cmd_line_syntax_error(cl::integer_conversion_message);
        n = n * 10 + static_cast<std::uint64_t>(c - L'0');
    }
    return n;
}

} // namespace

parsed_command_line parse_setup_command_line(std::wstring_view command_line)
{
    parsed_command_line result;
    setup_options& o = result.options;
    cl::option_table table;
    // One name serves as short and long name: accepted with one or two hyphens.
    for (const wchar_t* name : {L"user", L"machine", L"u", L"silent"})
        cl::add_switch_with_short_name(table, name, name);
    cl::add_switch(table, L"allow-error");
    for (const wchar_t* name : {L"uninstall", L"portable", L"yes", L"t"})
        cl::add_switch_with_short_name(table, name, name);
    cl::add_value_option_with_short_name(table, L"prop", L"prop").multiple = true;
    cl::set_default(cl::add_value_option(table, L"server"), std::wstring_view{});
    cl::set_default(cl::add_value_option(table, L"source"), std::wstring_view{});
    cl::set_default(cl::add_value_option(table, L"type"), 0);
    cl::set_default(cl::add_value_option(table, L"wait-process"), 0);
    cl::add_switch(table, L"allow-parallel");

    try {
        cl::parse(table, command_line, false, true);
        auto on = [&](const wchar_t* name) { return cl::is_set(cl::find_option(table, name)); };
        if (on(L"machine"))
            o.mode = 1;
        if (on(L"u") || on(L"uninstall"))
            o.type = install_type_uninstall;
        o.requested_type = static_cast<std::uint32_t>(cl::option_value_as_int(cl::find_option(table, L"type")));
        o.server = std::wstring(cl::option_value_as_string_view(cl::find_option(table, L"server")));
        o.source = std::wstring(cl::option_value_as_string_view(cl::find_option(table, L"source")));
        o.silent = on(L"silent");
        o.allow_parallel = on(L"allow-parallel");
        o.allow_error = on(L"allow-error");
        const auto& wait = cl::find_option(table, L"wait-process");
        if (cl::is_set(wait)) {
            const std::uint64_t handle = unsigned_value(cl::option_value_as_string_view(wait));
            o.wait_process.reset(reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(handle)));
        }
        o.portable = on(L"portable");
        o.yes = on(L"yes");
        const auto& prop = cl::find_option(table, L"prop");
        if (const auto* values = std::get_if<std::vector<std::wstring_view>>(&prop.values)) {
            for (std::wstring_view v : *values) {
                std::size_t eq = v.find(L'=');
                if (eq != std::wstring_view::npos)
                    o.props.emplace_back(v.substr(0, eq), v.substr(eq + 1));
            }
        }
    } catch (const Ostrel::cmd_line_syntax_error& e) {
        result.syntax_error = e.what();
    }
    return result;
}

setup_options parse_command_line()
{
    parsed_command_line parsed = parse_setup_command_line(GetCommandLineW());
    if (!parsed.syntax_error.empty())
        MessageBoxW(nullptr, L"Invalid command line syntax ignored.", L"Setup", MB_ICONERROR);
    return std::move(parsed.options);
}

namespace {

class installation_category_impl final : public std::error_category {
public:
    const char* name() const noexcept override { return "installation"; }
    std::string message(int code) const override
    {
        switch (code) {
        case 1:
        case 2: return "unused";
        case 3: return "Reboot is required";
        case 4: return "Failed, see log for details.";
        case 5: return "Current operating system version is not supported";
        case 6: return "Pending reboot detected";
        case 7: return "Error launching setup's copy";
        case 8: return "Product already installed";
        case 9: return "Setup cancelled by user";
        case 10: return "Failed uninstalling previous version";
        default: return "Unrecognized";
        }
    }
};

} // namespace

const std::error_category& installation_category() noexcept
{
    static const installation_category_impl category;
    return category;
}

windows_version make_windows_version(std::uint32_t major, std::uint32_t minor, std::uint32_t build)
{
    windows_version v;
    v.version = major * 100 + minor;
    v.build = build;
    v.at_least_6_1 = v.version >= 601;
    v.at_least_6_2 = v.version >= 602;
    v.at_least_6_3 = v.version >= 603;
    v.at_least_10 = v.version >= 1000;
    v.windows_11 = v.version >= 1000 && build >= 22000;
    return v;
}

const windows_version& get_windows_version()
{
    static const windows_version version = [] {
        OSVERSIONINFOW info{};
        info.dwOSVersionInfoSize = sizeof info;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        GetVersionExW(&info);
#pragma GCC diagnostic pop
        return make_windows_version(info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber);
    }();
    return version;
}

std::uint64_t get_boot_time()
{
    FILETIME now{};
    GetSystemTimeAsFileTime(&now);
    const std::uint64_t t = (std::uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    return t - GetTickCount64() * 10000;
}

bool is_reboot_pending(std::uint64_t stored, std::uint64_t boot) noexcept
{
    if (stored == 0 || boot == 0)
        return false;
    const std::uint64_t difference = stored > boot ? stored - boot : boot - stored;
    return difference < 100'000'000; // 10 seconds
}

std::uint64_t read_pending_reboot()
{
    std::uint64_t value = 0;
    DWORD size = sizeof value;
    if (RegGetValueW(HKEY_CURRENT_USER, pending_reboot_key().c_str(), pending_reboot_value, RRF_RT_REG_QWORD, nullptr, &value, &size)
        != ERROR_SUCCESS)
        return 0;
    return value;
}

bool write_pending_reboot(std::uint64_t boot)
{
    HKEY key = nullptr;
    if (RegCreateKeyExW(HKEY_CURRENT_USER, pending_reboot_key().c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_READ | KEY_WRITE,
                        nullptr, &key, nullptr)
        != ERROR_SUCCESS)
        return false;
    const bool ok = RegSetValueExW(key, pending_reboot_value, 0, REG_QWORD, reinterpret_cast<const BYTE*>(&boot), 8)
                    == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

namespace {

std::wstring test_host_setting(const wchar_t* name)
{
    wchar_t value[256];
    const DWORD n = GetEnvironmentVariableW(name, value, 256);
    return n > 0 && n < 256 ? std::wstring(value, n) : std::wstring();
}

} // namespace

std::wstring pending_reboot_key()
{
    std::wstring key = test_host_setting(L"TOLVANE_TEST_PENDING_REBOOT_KEY");
    return key.empty() ? std::wstring(ravelwin_key) : key;
}

DWORD wait_process_bound()
{
    const std::wstring text = test_host_setting(L"TOLVANE_TEST_WAIT_PROCESS_MS");
    if (text.empty() || text.size() > 9 || text.find_first_not_of(L"0123456789") != std::wstring::npos)
        return 60000;
    return static_cast<DWORD>(std::stoul(text));
}

} // namespace tolvane
