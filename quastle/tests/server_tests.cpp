#include "loaded_quastle.h"

#include <quastle/registration.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace quastle::testing;
using Ostrel::com::ptr;

TEST(ComServer, UnloadWaitsForObjectsAndLocks)
{
    auto& dll = quastle_dll();
    EXPECT_EQ(dll.can_unload_now(), S_OK);
    {
        auto command = dll.root();
        EXPECT_EQ(dll.can_unload_now(), S_FALSE);
        IEnumExplorerCommand* raw = nullptr;
        ASSERT_EQ(command->EnumSubCommands(&raw), S_OK);
        command.reset();
        // The enumerator and its entries keep the library.
        EXPECT_EQ(dll.can_unload_now(), S_FALSE);
        raw->Release();
    }
    EXPECT_EQ(dll.can_unload_now(), S_OK);

    auto factory = dll.factory();
    // Factories do not count.
    EXPECT_EQ(dll.can_unload_now(), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(dll.can_unload_now(), S_FALSE);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    EXPECT_EQ(dll.can_unload_now(), S_OK);
}

TEST(ComServer, FactoryErrors)
{
    auto& dll = quastle_dll();
    void* out = reinterpret_cast<void*>(1);

    // A foreign class still gets a factory; making an instance is refused.
    const CLSID foreign = {0x12345678, 0x1234, 0x1234, {1, 2, 3, 4, 5, 6, 7, 8}};
    auto factory = dll.factory(foreign);
    ASSERT_TRUE(factory);
    EXPECT_EQ(factory->CreateInstance(nullptr, IID_IExplorerCommand, &out), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(out, nullptr);

    auto ours = dll.factory();
    auto outer = dll.root();
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(ours->CreateInstance(outer.get(), IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
    EXPECT_EQ(out, nullptr);
    outer.reset();

    // A refused interface destroys the new object: nothing stays counted.
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(ours->CreateInstance(nullptr, IID_IEnumExplorerCommand, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    EXPECT_EQ(dll.can_unload_now(), S_OK);

    EXPECT_EQ(ours->CreateInstance(nullptr, IID_IExplorerCommand, nullptr), E_POINTER);
    EXPECT_EQ(dll.get_class_object(quastle::explorer_command_clsid, IID_IClassFactory, nullptr), E_POINTER);
    out = reinterpret_cast<void*>(1);
    EXPECT_EQ(dll.get_class_object(quastle::explorer_command_clsid, IID_IExplorerCommand, &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);

    void* unknown = nullptr;
    ASSERT_EQ(ours->QueryInterface(IID_IUnknown, &unknown), S_OK);
    static_cast<IUnknown*>(unknown)->Release();
}

// Only the five exports: Explorer and the installer find nothing else.
TEST(ComServer, ExportsAreTheServersOnly)
{
    std::wstring exe(32768, L'\0');
    exe.resize(GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size())));
    const HMODULE module = LoadLibraryExW((quastle_dll().folder() + L"quastle.dll").c_str(), nullptr, 0);
    ASSERT_NE(module, nullptr);
    const auto base = reinterpret_cast<const BYTE*>(module);
    const auto dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    const auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
    const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_EXPORT];
    const auto exports = reinterpret_cast<const IMAGE_EXPORT_DIRECTORY*>(base + dir.VirtualAddress);
    const auto names = reinterpret_cast<const DWORD*>(base + exports->AddressOfNames);
    std::vector<std::string> found;
    for (DWORD i = 0; i < exports->NumberOfNames; ++i)
        found.emplace_back(reinterpret_cast<const char*>(base + names[i]));
    FreeLibrary(module);
    EXPECT_EQ(found, (std::vector<std::string>{"AutoInstallEx3", "DllCanUnloadNow", "DllGetClassObject", "DllRegisterServer",
                                               "DllUnregisterServer"}));
}

// A scratch root below HKEY_CURRENT_USER, deleted with its subtree afterwards.
class scratch_root : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = L"Software\\quastle tests " + std::to_wstring(GetCurrentProcessId());
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root_,
                                  nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override
    {
        RegCloseKey(root_);
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }
    bool exists(const std::wstring& key) const
    {
        HKEY k = nullptr;
        if (RegOpenKeyExW(root_, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
            return false;
        RegCloseKey(k);
        return true;
    }
    std::wstring value(const std::wstring& key, const wchar_t* name) const
    {
        std::wstring data(1024, L'\0');
        DWORD bytes = static_cast<DWORD>(data.size() * sizeof(wchar_t));
        DWORD type = 0;
        if (RegGetValueW(root_, key.c_str(), name, RRF_RT_ANY, &type, data.data(), &bytes) != ERROR_SUCCESS)
            return L"<missing>";
        EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
        data.resize(bytes / sizeof(wchar_t) - 1);
        return data;
    }

    std::wstring path_;
    HKEY root_ = nullptr;
};

TEST_F(scratch_root, RegistrationRoundTrip)
{
    const std::wstring clsid = std::wstring(L"CLSID\\") + quastle::explorer_command_clsid_text;
    const std::wstring module = L"C:\\Program Files\\quvan dedup\\quastle.dll";
    ASSERT_EQ(quastle::register_server(root_, module), S_OK);
    // Registering twice replaces the class key with its whole subtree.
    HKEY stray = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root_, (clsid + L"\\Stray").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &stray, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(stray);
    // The caller's own locale, not the system's, is back afterwards.
    const LCID caller = GetThreadLocale();
    const LCID locale = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN_SWISS), SORT_DEFAULT);
    ASSERT_TRUE(SetThreadLocale(locale));
    ASSERT_EQ(quastle::register_server(root_, module), S_OK);
    EXPECT_EQ(GetThreadLocale(), locale);
    EXPECT_FALSE(exists(clsid + L"\\Stray"));

    EXPECT_EQ(value(clsid, nullptr), L"ExplorerCommand class");
    EXPECT_EQ(value(clsid + L"\\InprocServer32", nullptr), module);
    EXPECT_EQ(value(clsid + L"\\InprocServer32", L"ThreadingModel"), L"Both");
    EXPECT_EQ(value(clsid + L"\\ProgID", nullptr), L"quvandedup.ExplorerCommand.1");
    EXPECT_EQ(value(clsid + L"\\VersionIndependentProgID", nullptr), L"quvandedup.ExplorerCommand");
    EXPECT_EQ(value(clsid + L"\\TypeLib", nullptr), quastle::library_id_text);
    EXPECT_EQ(value(L"Directory\\shell\\quvandedup", L"ExplorerCommandHandler"), quastle::explorer_command_clsid_text);
    EXPECT_EQ(value(L"Directory\\Background\\shell\\quvandedup", L"ExplorerCommandHandler"),
              quastle::explorer_command_clsid_text);
    EXPECT_EQ(value(std::wstring(L"AppID\\") + quastle::app_id_text, nullptr), L"quastle");
    EXPECT_EQ(value(L"AppID\\quastle.dll", L"AppID"), quastle::app_id_text);

    ASSERT_EQ(quastle::unregister_server(root_, module), S_OK);
    EXPECT_EQ(GetThreadLocale(), locale);
    for (const wchar_t* kept : {L"AppID", L"CLSID", L"Directory", L"Directory\\shell", L"Directory\\Background",
                                L"Directory\\Background\\shell"})
        EXPECT_TRUE(exists(kept)) << "kept key";
    for (const std::wstring& gone : {clsid, std::wstring(L"AppID\\") + quastle::app_id_text, std::wstring(L"AppID\\quastle.dll"),
                                     std::wstring(L"Directory\\shell\\quvandedup"),
                                     std::wstring(L"Directory\\Background\\shell\\quvandedup")})
        EXPECT_FALSE(exists(gone)) << "removed key";
    // A second unregistration finds nothing to remove and succeeds.
    EXPECT_EQ(quastle::unregister_server(root_, module), S_OK);
    SetThreadLocale(caller);
}

} // namespace
