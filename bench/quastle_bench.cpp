// Shell extension figures: GetTitle on a plain and on a deduplicated folder (it runs on Explorer's
// UI thread: the target is well under 1 ms), loading the library to its first title, Invoke to the
// utility's start, and an install plus uninstall through the real service manager. Run from the
// build's bin folder (quastle.dll, plendor.exe and ebrisk.exe beside it).
#include "harness.h"

#include "../quastle/tests/fake_shell_items.h"

#include <quastle/guids.h>
#include <quastle/self_install_callback.h>

#include <cstdio>
#include <string>

namespace {

using get_class_object_function = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using auto_install_function = HRESULT(STDAPICALLTYPE*)(const wchar_t*, std::int32_t, HANDLE, const wchar_t*, HWND,
                                                        std::uint32_t, quastle::self_install_callback*);

template <class F>
F export_of(HMODULE module, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

Ostrel::com::ptr<IExplorerCommand> new_root(HMODULE module)
{
    IClassFactory* factory = nullptr;
    export_of<get_class_object_function>(module, "DllGetClassObject")(quastle::explorer_command_clsid, IID_IClassFactory,
                                                                      reinterpret_cast<void**>(&factory));
    IExplorerCommand* command = nullptr;
    factory->CreateInstance(nullptr, IID_IExplorerCommand, reinterpret_cast<void**>(&command));
    factory->Release();
    return Ostrel::com::ptr<IExplorerCommand>::adopt(command);
}

void title(IExplorerCommand* command, IShellItemArray* items)
{
    LPWSTR text = nullptr;
    command->GetTitle(items, &text);
    CoTaskMemFree(text);
}

std::uint64_t file_size(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

} // namespace

int main()
{
    std::wstring exe(32768, L'\0');
    exe.resize(GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size())));
    const std::wstring bin = exe.substr(0, exe.find_last_of(L'\\') + 1);
    std::wstring temp(MAX_PATH + 1, L'\0');
    temp.resize(GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()));

    bench::report("dll load to first title", 1000 * bench::median_seconds(20, [&] {
                      const HMODULE module = LoadLibraryW((bin + L"quastle.dll").c_str());
                      title(new_root(module).get(), nullptr);
                      FreeLibrary(module);
                  }), "ms");

    const HMODULE module = LoadLibraryW((bin + L"quastle.dll").c_str());
    const std::wstring plain = temp + L"quastle bench plain";
    const std::wstring deduplicated = temp + L"quastle bench dedup";
    CreateDirectoryW(plain.c_str(), nullptr);
    CreateDirectoryW(deduplicated.c_str(), nullptr);
    CreateDirectoryW((deduplicated + L".dedup").c_str(), nullptr);
    for (const auto& [name, folder] : {std::pair{"GetTitle plain folder", plain}, std::pair{"GetTitle deduplicated folder", deduplicated}}) {
        auto items = quastle::testing::make_items({.path = folder});
        bench::report(name, 1e6 * bench::median_seconds(2000, [&] { title(new_root(module).get(), items.get()); }), "us");
    }

    const std::wstring log = temp + L"quastle bench plendor.log";
    SetEnvironmentVariableW(L"QUASTLE_TEST_LOG", log.c_str());
    DeleteFileW(log.c_str());
    bench::report("Invoke to utility start", 1000 * bench::median_seconds(10, [&] {
                      const std::uint64_t before = file_size(log);
                      auto command = new_root(module);
                      auto items = quastle::testing::make_items({.path = plain});
                      title(command.get(), items.get());
                      command->Invoke(items.get(), nullptr);
                      while (file_size(log) == before)
                          Sleep(0);
                  }), "ms");
    DeleteFileW(log.c_str());

    const auto install = export_of<auto_install_function>(module, "AutoInstallEx3");
    const std::wstring folder = temp + L"quastle bench service";
    CreateDirectoryW(folder.c_str(), nullptr);
    CopyFileW((bin + L"ebrisk.exe").c_str(), (folder + L"\\ebrisk.exe").c_str(), FALSE);
    bench::report("install plus uninstall", 1000 * bench::median_seconds(5, [&] {
                      install(folder.c_str(), 0, nullptr, nullptr, nullptr, 1, nullptr);
                      install(folder.c_str(), 3, nullptr, nullptr, nullptr, 0, nullptr);
                  }), "ms");
    DeleteFileW((folder + L"\\ebrisk.log").c_str());
    Sleep(500);
    DeleteFileW((folder + L"\\ebrisk.exe").c_str());
    RemoveDirectoryW(folder.c_str());
    RemoveDirectoryW((deduplicated + L".dedup").c_str());
    RemoveDirectoryW(deduplicated.c_str());
    RemoveDirectoryW(plain.c_str());
    FreeLibrary(module);
    return 0;
}
