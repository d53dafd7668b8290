#include <tolvane/command_line.h>
#include <tolvane/guid.h>
#include <tolvane/package.h>
#include <tolvane/run_installation.h>

#include <gtest/gtest.h>

#include <string>

// The case tables name only the fields that differ from the defaults.
#pragma GCC diagnostic ignored "-Wmissing-field-initializers"

namespace {

using namespace tolvane;

struct expected_options {
    std::int32_t type = 1;
    std::uint32_t requested_type = 0;
    std::uint32_t mode = 0;
    std::wstring server, source;
    bool silent = false, portable = false, yes = false, allow_error = false, allow_parallel = false;
    std::vector<std::pair<std::wstring, std::wstring>> props;
    bool syntax_error = false;
};

TEST(CommandLine, Options)
{
    struct line_case {
        const wchar_t* line;
        expected_options expected;
    };
    const line_case cases[] = {
        {L"setup.exe", {}},
        {L"\"C:\\Apps\\X\\Setup\\setup.exe\" -uninstall -silent", {.type = 4, .silent = true}},
        {L"setup.exe --uninstall", {.type = 4}},
        {L"setup.exe -u --machine -user -t", {.type = 4, .mode = 1}},
        {L"setup.exe -silent- -yes+ --portable", {.portable = true, .yes = true}},
        {L"setup.exe --allow-error --allow-parallel", {.allow_error = true, .allow_parallel = true}},
        {L"setup.exe -machine -silent --allow-error --type 2 --server {ABC} --source \"C:\\Pkg Dir\"",
         {.requested_type = 2, .mode = 1, .server = L"{ABC}", .source = L"C:\\Pkg Dir", .silent = true,
          .allow_error = true}},
        {L"setup.exe -prop INSTALLDIR=C:\\Apps\\X --prop A=b=c -prop NOEQUALS -prop EMPTY=",
         {.props = {{L"INSTALLDIR", L"C:\\Apps\\X"}, {L"A", L"b=c"}, {L"EMPTY", L""}}}},
        // value options have no short form: every field keeps its default
        {L"setup.exe -machine -type 2", {.syntax_error = true}},
        // a bad number stops the filling after mode and type
        {L"setup.exe -machine -u --type two -silent", {.type = 4, .mode = 1, .syntax_error = true}},
        {L"setup.exe --wait-process", {.syntax_error = true}},
        {L"setup.exe --wait-process -5 -silent", {.silent = true, .syntax_error = true}},
        {L"setup.exe --unknown -silent", {.syntax_error = true}},
        {L"setup.exe free words are ignored -silent", {.silent = true}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.line, c.line + wcslen(c.line)));
        auto parsed = parse_setup_command_line(c.line);
        const auto& o = parsed.options;
        const auto& e = c.expected;
        EXPECT_EQ(!parsed.syntax_error.empty(), e.syntax_error) << parsed.syntax_error;
        EXPECT_EQ(o.type, e.type);
        EXPECT_EQ(o.requested_type, e.requested_type);
        EXPECT_EQ(o.mode, e.mode);
        EXPECT_EQ(o.server, e.server);
        EXPECT_EQ(o.source, e.source);
        EXPECT_EQ(o.silent, e.silent);
        EXPECT_EQ(o.portable, e.portable);
        EXPECT_EQ(o.yes, e.yes);
        EXPECT_EQ(o.allow_error, e.allow_error);
        EXPECT_EQ(o.allow_parallel, e.allow_parallel);
        EXPECT_EQ(o.props, e.props);
    }
}

TEST(CommandLine, WaitProcessIsAnOwnedHandle)
{
    HANDLE copy = nullptr;
    ASSERT_TRUE(DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &copy, SYNCHRONIZE, TRUE, 0));
    const std::wstring line = L"setup.exe --wait-process " + std::to_wstring(reinterpret_cast<std::uintptr_t>(copy));
    {
        auto parsed = parse_setup_command_line(line);
        EXPECT_EQ(parsed.options.wait_process.get(), copy);
        EXPECT_EQ(WaitForSingleObject(parsed.options.wait_process.get(), 0), DWORD(WAIT_TIMEOUT));
    }
    DWORD flags = 0;
    EXPECT_FALSE(GetHandleInformation(copy, &flags)); // closed with the options
}

TEST(CommandLine, PendingRebootWithinTenSeconds)
{
    const std::uint64_t boot = 133'000'000'000'000'000ull;
    const std::uint64_t second = 10'000'000;
    struct reboot_case {
        std::uint64_t stored;
        bool pending;
    };
    const reboot_case cases[] = {
        {0, false},
        {boot, true},
        {boot + 5 * second, true},
        {boot - 5 * second, true},
        {boot + 10 * second - 1, true},
        {boot + 10 * second, false},
        {boot - 10 * second, false},
        {boot - 3600 * second, false}, // an earlier session
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.stored);
        EXPECT_EQ(is_reboot_pending(c.stored, boot), c.pending);
    }
    EXPECT_FALSE(is_reboot_pending(boot, 0));

    // Written now, read back within the same session: pending. The marker is this test's own; the
    // installer's key is left to the runs of the program.
    const std::wstring key = L"Software\\Tolvane tests\\PendingReboot-" + std::to_wstring(GetCurrentProcessId());
    EXPECT_EQ(pending_reboot_key(), ravelwin_key);
    SetEnvironmentVariableW(L"TOLVANE_TEST_PENDING_REBOOT_KEY", key.c_str());
    EXPECT_EQ(pending_reboot_key(), key);
    EXPECT_EQ(read_pending_reboot(), 0u);
    ASSERT_TRUE(write_pending_reboot(get_boot_time()));
    EXPECT_TRUE(is_reboot_pending(read_pending_reboot(), get_boot_time()));
    RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
    SetEnvironmentVariableW(L"TOLVANE_TEST_PENDING_REBOOT_KEY", nullptr);
}

TEST(CommandLine, WaitProcessBoundOfATestHost)
{
    const std::pair<const wchar_t*, DWORD> cases[] = {
        {nullptr, 60000}, {L"500", 500}, {L"0", 0}, {L"", 60000}, {L"5s", 60000}, {L"-1", 60000}, {L"9999999999", 60000},
    };
    for (const auto& [text, bound] : cases) {
        SCOPED_TRACE(text ? text : L"(unset)");
        SetEnvironmentVariableW(L"TOLVANE_TEST_WAIT_PROCESS_MS", text);
        EXPECT_EQ(wait_process_bound(), bound);
    }
    SetEnvironmentVariableW(L"TOLVANE_TEST_WAIT_PROCESS_MS", nullptr);
}

TEST(CommandLine, VersionsCategoryAndGuids)
{
    struct version_case {
        std::uint32_t major, minor, build, version;
        bool v61, v62, v63, v10, w11;
    };
    const version_case cases[] = {
        {6, 1, 7601, 601, true, false, false, false, false},
        {6, 3, 9600, 603, true, true, true, false, false},
        {10, 0, 19045, 1000, true, true, true, true, false},
        {10, 0, 22000, 1000, true, true, true, true, true},
        {5, 1, 2600, 501, false, false, false, false, false},
    };
    for (const auto& c : cases) {
        auto v = make_windows_version(c.major, c.minor, c.build);
        EXPECT_EQ(v.version, c.version);
        EXPECT_EQ(v.at_least_6_1, c.v61);
        EXPECT_EQ(v.at_least_6_2, c.v62);
        EXPECT_EQ(v.at_least_6_3, c.v63);
        EXPECT_EQ(v.at_least_10, c.v10);
        EXPECT_EQ(v.windows_11, c.w11);
    }
    EXPECT_GE(get_windows_version().version, 601u);

    EXPECT_STREQ(installation_category().name(), "installation");
    EXPECT_EQ(installation_category().message(4), "Failed, see log for details.");
    EXPECT_EQ(installation_category().message(10), "Failed uninstalling previous version");
    EXPECT_EQ(installation_category().message(11), "Unrecognized");
    EXPECT_EQ(guid_to_string(GUID{}), L"{00000000-0000-0000-0000-000000000000}");
    const GUID g{0x0F1E2D3C, 0xabcd, 0x0123, {0x45, 0x67, 0x89, 0xab, 0xcd, 0xef, 0x01, 0x23}};
    EXPECT_EQ(guid_to_string(g), L"{0F1E2D3C-ABCD-0123-4567-89ABCDEF0123}");
    EXPECT_EQ(new_guid_text().size(), 38u);
}

} // namespace

namespace {

TEST(ElevatedCopy, ParametersCarryTheChosenFolderAndTheProperties)
{
    tolvane::package pkg;
    pkg.options().type = tolvane::install_type_install;
    pkg.options().props = {{L"InstallDir", L"C:\\From the command line\\"}, {L"LANG", L"de"}, {L"Bad", L"a\"b"}};
    pkg.set_package_folder(L"C:\\Users\\me\\Downloads\\pkg folder");
    pkg.set_property(L"PROGRAMFILES", L"C:\\Program Files\\");
    pkg.set_property(L"INSTALLDIR", L"$(PROGRAMFILES)Chosen Here\\");
    const std::wstring parameters = tolvane::format_elevated_parameters(pkg, L"{PIPE}");
    EXPECT_EQ(parameters, L"-machine -silent --allow-error --type 1 --server {PIPE} --source \"C:\\Users\\me\\Downloads\\pkg "
                          L"folder\" --prop \"LANG=de\" --prop \"INSTALLDIR=C:\\Program Files\\Chosen Here\\\"");

    const auto parsed = tolvane::parse_setup_command_line(L"\"C:\\setup.exe\" " + parameters);
    ASSERT_TRUE(parsed.syntax_error.empty()) << parsed.syntax_error;
    EXPECT_EQ(parsed.options.mode, 1u);
    EXPECT_TRUE(parsed.options.silent);
    EXPECT_EQ(parsed.options.requested_type, 1u);
    EXPECT_EQ(parsed.options.source, L"C:\\Users\\me\\Downloads\\pkg folder");
    EXPECT_EQ(parsed.options.props,
              (std::vector<std::pair<std::wstring, std::wstring>>{{L"LANG", L"de"},
                                                                  {L"INSTALLDIR", L"C:\\Program Files\\Chosen Here\\"}}));
}

} // namespace
