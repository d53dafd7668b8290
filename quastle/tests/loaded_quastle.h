#pragma once
// The shell extension as Explorer meets it: quastle.dll copied with the fake plendor.exe into a
// fresh folder whose name holds a space, loaded from there, reached only through its exports.

#include <quastle/guids.h>

#include <ostrel/com/ptr.h>

#include <gtest/gtest.h>
#include <shobjidl.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace quastle::testing {

class loaded_quastle {
public:
    loaded_quastle()
    {
        std::wstring exe(32768, L'\0');
        exe.resize(GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size())));
        const std::wstring bin = exe.substr(0, exe.find_last_of(L'\\') + 1);
        std::wstring temp(MAX_PATH + 1, L'\0');
        temp.resize(GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()));
        folder_ = temp + L"quastle dir " + std::to_wstring(GetCurrentProcessId()) + L"\\";
        CreateDirectoryW(folder_.c_str(), nullptr);
        EXPECT_TRUE(CopyFileW((bin + L"quastle.dll").c_str(), (folder_ + L"quastle.dll").c_str(), FALSE));
        EXPECT_TRUE(CopyFileW((bin + L"plendor.exe").c_str(), (folder_ + L"plendor.exe").c_str(), FALSE));
        log_ = folder_ + L"plendor.log";
        SetEnvironmentVariableW(L"QUASTLE_TEST_LOG", log_.c_str());
        module_ = LoadLibraryW((folder_ + L"quastle.dll").c_str());
        EXPECT_NE(module_, nullptr);
        find(get_class_object, "DllGetClassObject");
        find(can_unload_now, "DllCanUnloadNow");
        find(register_server, "DllRegisterServer");
        find(unregister_server, "DllUnregisterServer");
    }

    ~loaded_quastle()
    {
        if (module_)
            FreeLibrary(module_);
        DeleteFileW((folder_ + L"quastle.dll").c_str());
        DeleteFileW((folder_ + L"plendor.exe").c_str());
        DeleteFileW(log_.c_str());
        RemoveDirectoryW(folder_.c_str());
    }

    // The folder the library was loaded from, with its trailing backslash.
    const std::wstring& folder() const { return folder_; }
    std::wstring plendor() const { return folder_ + L"plendor.exe"; }

    Ostrel::com::ptr<IClassFactory> factory(const CLSID& clsid = explorer_command_clsid) const
    {
        IClassFactory* raw = nullptr;
        EXPECT_EQ(get_class_object(clsid, IID_IClassFactory, reinterpret_cast<void**>(&raw)), S_OK);
        return Ostrel::com::ptr<IClassFactory>::adopt(raw);
    }

    Ostrel::com::ptr<IExplorerCommand> root() const
    {
        IExplorerCommand* raw = nullptr;
        EXPECT_EQ(factory()->CreateInstance(nullptr, IID_IExplorerCommand, reinterpret_cast<void**>(&raw)), S_OK);
        return Ostrel::com::ptr<IExplorerCommand>::adopt(raw);
    }

    // The command lines the fake utility logged, waiting (bounded) until `count` are there.
    std::vector<std::wstring> logged(std::size_t count) const
    {
        std::vector<std::wstring> lines;
        for (int attempt = 0; attempt < 300; ++attempt) {
            lines = read_log();
            if (lines.size() >= count)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return lines;
    }

    void clear_log() const { DeleteFileW(log_.c_str()); }

    HRESULT(STDAPICALLTYPE* get_class_object)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(STDAPICALLTYPE* can_unload_now)() = nullptr;
    HRESULT(STDAPICALLTYPE* register_server)() = nullptr;
    HRESULT(STDAPICALLTYPE* unregister_server)() = nullptr;

private:
    template <class F>
    void find(F& function, const char* name)
    {
        // FARPROC's own type is never the export's: go through an untyped pointer.
        function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
        EXPECT_NE(function, nullptr) << name;
    }

    std::vector<std::wstring> read_log() const
    {
        std::vector<std::wstring> lines;
        const HANDLE file = CreateFileW(log_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return lines;
        std::wstring text(64 * 1024, L'\0');
        DWORD read = 0;
        ReadFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr);
        CloseHandle(file);
        text.resize(read / sizeof(wchar_t));
        std::size_t start = 0;
        for (std::size_t end; (end = text.find(L'\n', start)) != std::wstring::npos; start = end + 1)
            lines.push_back(text.substr(start, end - start));
        return lines;
    }

    std::wstring folder_;
    std::wstring log_;
    HMODULE module_ = nullptr;
};

// One loaded library for the whole program: Explorer too loads it once.
inline loaded_quastle& quastle_dll()
{
    static loaded_quastle dll;
    return dll;
}

} // namespace quastle::testing
