// A program that imports the platform starts without it: the import is delay-loaded, and names
// are still ordered. The probe program runs once beside the emulation DLL and once from a folder
// without it (the current folder, which holds the emulation, is no place to load it from).

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace {

std::wstring own_folder()
{
    wchar_t path[MAX_PATH];
    DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path, length);
    return folder.substr(0, folder.rfind(L'\\'));
}

DWORD run(const std::wstring& program)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    std::wstring command = L"\"" + program + L"\"";
    if (!CreateProcessW(program.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process))
        return 0xFFFFFFFF;
    WaitForSingleObject(process.hProcess, 30000);
    DWORD code = 0xFFFFFFFF;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

TEST(Availability, ProgramStartsWithAndWithoutThePlatform)
{
    const std::wstring probe = own_folder() + L"\\projfs_probe.exe";
    EXPECT_EQ(run(probe), 3u) << "beside the emulation: loaded, ordered";

    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring alone = std::wstring(temp) + L"projfs-probe-" + std::to_wstring(GetCurrentProcessId());
    ASSERT_TRUE(CreateDirectoryW(alone.c_str(), nullptr));
    const std::wstring copy = alone + L"\\projfs_probe.exe";
    ASSERT_TRUE(CopyFileW(probe.c_str(), copy.c_str(), FALSE));
    // Started from the build folder as its current folder: a DLL there must not be taken either.
    EXPECT_EQ(run(copy), 2u) << "without it: started, not loaded, still ordered";
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(alone.c_str());
}

} // namespace
