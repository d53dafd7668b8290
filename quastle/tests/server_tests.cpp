#include "loaded_quastle.h"

#include <quastle/module.h>

#include <testing/support/failing_allocator.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
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

// The library links the runtime's errors without traces: nothing in it describes stack frames, so it
// does not even load DbgHelp, as a program's build of the runtime would make it.
TEST(ComServer, ErrorsCarryNoStackTrace)
{
    const HMODULE module = GetModuleHandleW((quastle_dll().folder() + L"quastle.dll").c_str());
    ASSERT_NE(module, nullptr);
    const auto base = reinterpret_cast<const BYTE*>(module);
    const auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const auto& dir = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    std::vector<std::string> imported;
    for (auto* entry = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR*>(base + dir.VirtualAddress); entry->Name; ++entry) {
        std::string name(reinterpret_cast<const char*>(base + entry->Name));
        for (char& c : name)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        imported.push_back(name);
    }
    EXPECT_NE(std::find(imported.begin(), imported.end(), "kernel32.dll"), imported.end());
    EXPECT_EQ(std::find(imported.begin(), imported.end(), "dbghelp.dll"), imported.end());
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
    ASSERT_EQ(quastle::dedup_module().register_server(root_, module), S_OK);
    // Registering twice replaces the class key with its whole subtree.
    HKEY stray = nullptr;
    ASSERT_EQ(RegCreateKeyExW(root_, (clsid + L"\\Stray").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &stray, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(stray);
    // The caller's own locale, not the system's, is back afterwards.
    const LCID caller = GetThreadLocale();
    const LCID locale = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN_SWISS), SORT_DEFAULT);
    ASSERT_TRUE(SetThreadLocale(locale));
    ASSERT_EQ(quastle::dedup_module().register_server(root_, module), S_OK);
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

    ASSERT_EQ(quastle::dedup_module().unregister_server(root_, module), S_OK);
    EXPECT_EQ(GetThreadLocale(), locale);
    for (const wchar_t* kept : {L"AppID", L"CLSID", L"Directory", L"Directory\\shell", L"Directory\\Background",
                                L"Directory\\Background\\shell"})
        EXPECT_TRUE(exists(kept)) << "kept key";
    for (const std::wstring& gone : {clsid, std::wstring(L"AppID\\") + quastle::app_id_text, std::wstring(L"AppID\\quastle.dll"),
                                     std::wstring(L"Directory\\shell\\quvandedup"),
                                     std::wstring(L"Directory\\Background\\shell\\quvandedup")})
        EXPECT_FALSE(exists(gone)) << "removed key";
    // A second unregistration finds nothing to remove and succeeds.
    EXPECT_EQ(quastle::dedup_module().unregister_server(root_, module), S_OK);
    SetThreadLocale(caller);
}

// Logs the key paths the registrar creates and deletes, and fails the `fail_at`-th creation.
struct logging_registry : platform::registrar::registry_calls {
    std::vector<std::wstring> log;
    int fail_at = 0;
    int created = 0;
    LSTATUS create_key(HKEY root, const std::wstring& path, HKEY* key) override
    {
        if (++created == fail_at)
            return ERROR_ACCESS_DENIED;
        log.push_back(L"+" + path);
        return registry_calls::create_key(root, path, key);
    }
    LSTATUS delete_key(HKEY root, const std::wstring& path) override
    {
        log.push_back(L"-" + path);
        return registry_calls::delete_key(root, path);
    }
    LSTATUS delete_tree(HKEY root, const std::wstring& path) override
    {
        log.push_back(L"-" + path);
        return registry_calls::delete_tree(root, path);
    }
};

// The AppID's table first and the class's after it; unregistration the other way round; a failure
// skips what follows and leaves what was written.
TEST_F(scratch_root, ModuleRegistersItsTablesInOrder)
{
    const std::wstring app_id_key = std::wstring(L"AppID\\") + quastle::app_id_text;
    const std::wstring clsid_key = std::wstring(L"CLSID\\") + quastle::explorer_command_clsid_text;
    auto position = [](const std::vector<std::wstring>& log, const std::wstring& line) {
        return std::find(log.begin(), log.end(), line) - log.begin();
    };
    logging_registry calls;
    ASSERT_EQ(quastle::dedup_module().register_server(root_, L"C:\\q.dll", calls), S_OK);
    EXPECT_LT(position(calls.log, L"+" + app_id_key), position(calls.log, L"+" + clsid_key));
    calls.log.clear();
    ASSERT_EQ(quastle::dedup_module().unregister_server(root_, L"C:\\q.dll", calls), S_OK);
    EXPECT_LT(position(calls.log, L"-" + clsid_key), position(calls.log, L"-" + app_id_key));
    EXPECT_NE(position(calls.log, L"-" + app_id_key), static_cast<std::ptrdiff_t>(calls.log.size()));

    logging_registry failing;
    failing.fail_at = 2;
    EXPECT_EQ(quastle::dedup_module().register_server(root_, L"C:\\q.dll", failing),
              HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(exists(L"AppID"));
    EXPECT_FALSE(exists(app_id_key));
    EXPECT_FALSE(exists(clsid_key));
}

TEST_F(scratch_root, RegistrationOutOfMemory)
{
    const LCID caller = GetThreadLocale();
    const LCID locale = MAKELCID(MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN_SWISS), SORT_DEFAULT);
    ASSERT_TRUE(SetThreadLocale(locale));
    const std::wstring module = L"C:\\q.dll";
    int failures = 0;
    for (int n = 0;; ++n) {
        SCOPED_TRACE(n);
        HRESULT registered, unregistered;
        bool fired;
        {
            test_support::allocation_failure fail(n);
            registered = quastle::dedup_module().register_server(root_, module);
            unregistered = quastle::dedup_module().unregister_server(root_, module);
            fired = fail.fired();
        }
        EXPECT_EQ(GetThreadLocale(), locale);
        EXPECT_TRUE(registered == S_OK || registered == E_OUTOFMEMORY) << std::hex << registered;
        EXPECT_TRUE(unregistered == S_OK || unregistered == E_OUTOFMEMORY) << std::hex << unregistered;
        if (!fired)
            break;
        ++failures;
    }
    EXPECT_GT(failures, 3);
    SetThreadLocale(caller);
}

TEST(Module, LockCountIsNotTheUnloadCount)
{
    const quastle::CDedupModule::object_entry none[1] = {};
    quastle::CDedupModule module(quastle::library_id_text, quastle::app_id_text, &quastle::app_id_keys, {none, 0});
    const LONG live = Ostrel::com::module_count;
    EXPECT_EQ(module.Lock(), 1);
    EXPECT_EQ(module.Lock(), 2);
    EXPECT_EQ(module.Unlock(), 1);
    EXPECT_EQ(module.GetLockCount(), 1);
    EXPECT_EQ(Ostrel::com::module_count, live);
    EXPECT_EQ(quastle::dedup_module().library_id(), std::wstring_view(quastle::library_id_text));

    quastle::registry_replacements replacements{{L"MODULE", L"C:\\q.dll"}};
    module.AddCommonRGSReplacements(replacements);
    EXPECT_EQ(replacements, (quastle::registry_replacements{{L"APPID", quastle::app_id_text}, {L"MODULE", L"C:\\q.dll"}}));
}

TEST(Module, GlobalInterfaceTableMadeOnFirstUse)
{
    ASSERT_GE(CoInitializeEx(nullptr, COINIT_MULTITHREADED), 0);
    {
        const quastle::CDedupModule::object_entry none[1] = {};
        quastle::CDedupModule module(quastle::library_id_text, quastle::app_id_text, &quastle::app_id_keys, {none, 0});
        EXPECT_EQ(module.GetGITPtr(nullptr), E_POINTER);
        IGlobalInterfaceTable* first = nullptr;
        IGlobalInterfaceTable* second = nullptr;
        ASSERT_EQ(module.GetGITPtr(&first), S_OK);
        ASSERT_EQ(module.GetGITPtr(&second), S_OK);
        EXPECT_EQ(first, second);
        // The table works: an interface goes in and comes out again.
        IUnknown* unknown = nullptr;
        ASSERT_EQ(first->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
        DWORD cookie = 0;
        ASSERT_EQ(first->RegisterInterfaceInGlobal(unknown, IID_IUnknown, &cookie), S_OK);
        EXPECT_EQ(first->RevokeInterfaceFromGlobal(cookie), S_OK);
        unknown->Release();
        first->Release();
        second->Release();
    }
    CoUninitialize();
}

// The string table holds the AppID text under 55555.
TEST(ComServer, AppIdInTheStringTable)
{
    auto& dll = quastle_dll();
    const HMODULE module = GetModuleHandleW((dll.folder() + L"quastle.dll").c_str());
    ASSERT_NE(module, nullptr);
    const wchar_t* text = nullptr;
    const int length = LoadStringW(module, 55555, reinterpret_cast<wchar_t*>(&text), 0);
    ASSERT_GT(length, 0);
    EXPECT_EQ(std::wstring(text, length), quastle::app_id_text);
}

} // namespace
