// A program that imports the platform starts without it: the import is delay-loaded, and names
// are still ordered. The test program probes as its own child, the way the product's help and
// estimate use the layer: once beside the emulation DLL and once as a copy in a folder without it
// (the current folder, which holds the emulation, is no place to load it from).

#include <platform/projfs/availability.h>

#include <testing/support/child_process.h>
#include <testing/support/test_support.h>

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

// The exit code tells what the probe found: bit 0 when the platform loaded, bit 1 when the name
// order was right.
int probe(const test_support::child_arguments&)
{
    const bool loaded = projfs::available();
    const bool ordered = projfs::file_name_compare(L"abc", L"ABC") == 0 &&
                         projfs::file_name_compare(L"a", L"B") < 0 &&
                         projfs::file_name_compare(L"_x", L"ax") > 0;
    return (loaded ? 1 : 0) | (ordered ? 2 : 0);
}
const test_support::child_role probe_role(L"projfs-probe", probe);

TEST(Availability, ProgramStartsWithAndWithoutThePlatform)
{
    EXPECT_EQ(test_support::run_self_as_child(L"projfs-probe").exit_code, 3) << "beside the emulation: loaded, ordered";

    test_support::temp_folder alone;
    const std::wstring copy = alone / L"projfs_tests.exe";
    ASSERT_TRUE(CopyFileW(test_support::this_program().c_str(), copy.c_str(), FALSE));
    // Started from the build folder as its current folder: a DLL there must not be taken either.
    EXPECT_EQ(test_support::run_self_as_child(L"projfs-probe", {}, {.program = copy}).exit_code, 2)
        << "without it: started, not loaded, still ordered";
}

} // namespace
