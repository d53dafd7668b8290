#include <tolvane/startup.h>

#include <objbase.h>
#include <shlobj.h>
#include <wincodec.h>

#include <ostrel/com/ptr.h>
#include <ostrel/memstream.h>
#include <ostrel/registry_ex.h>
#include <tavik/error.h>
#include <tavik/thread_pool.h>
#include <tolvane/feature.h>
#include <tolvane/ini_file.h>
#include <tolvane/install_type.h>
#include <tolvane/package.h>
#include <tolvane/package_source.h>
#include <tolvane/uninstall_entry.h>

namespace tolvane {

namespace {

constexpr HRESULT not_found = static_cast<HRESULT>(0x80070490);

std::wstring with_backslash(std::wstring path)
{
    if (!path.empty() && path.back() != L'\\')
        path += L'\\';
    return path;
}

void set_folder_property(package& pkg, const wchar_t* name, int csidl)
{
    wchar_t path[MAX_PATH] = {};
    if (SUCCEEDED(SHGetFolderPathW(nullptr, csidl, nullptr, SHGFP_TYPE_CURRENT, path)))
        pkg.set_property(name, with_backslash(path));
}

template <typename F> void set_system_folder(package& pkg, const wchar_t* name, F&& get)
{
    wchar_t path[520] = {};
    const UINT n = get(path, 520);
    pkg.set_property(name, with_backslash(std::wstring(path, n < 520 ? n : 0)));
}

bool is_all_digits(std::wstring_view text)
{
    if (text.empty() || text.size() > 10)
        return false;
    std::uint64_t v = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            return false;
        v = v * 10 + static_cast<std::uint64_t>(c - L'0');
    }
    return v <= 0xFFFFFFFFu;
}

std::uint64_t file_size_of(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    LARGE_INTEGER size{};
    const bool ok = GetFileSizeEx(h, &size) != FALSE;
    CloseHandle(h);
    return ok ? static_cast<std::uint64_t>(size.QuadPart) : 0;
}

void check_required_os(package& pkg)
{
    const std::wstring required = pkg.get_property(L"RequiredOSVersion", true);
    const std::wstring build = pkg.get_property(L"RequiredOSBuild", true);
    if (windows_too_old(required, build, pkg.windows()))
        pkg.options().type = install_type_windows_too_old;
}

void fail(const package::signal& s, std::exception_ptr error) { s->set_exception(error); }

tavik::details::future<void> build_feature_tree(package& pkg, GUID id, std::wstring folder, const ini_file_t& ini)
{
    using namespace tavik::details;
    if (pkg.cancellation().is_cancelled())
        throw_operation_cancelled();
    co_await resume_on_thread_pool{};
    AcquireSRWLockExclusive(&pkg.tree_lock());
    struct unlock {
        SRWLOCK& lock;
        ~unlock() { ReleaseSRWLockExclusive(&lock); }
    } release{pkg.tree_lock()};
    const bool skip = pkg.options().machine_forced && !pkg.platform().is_user_an_admin();
    pkg.add_source(std::make_unique<package_source>(id, folder, skip, pkg.cancellation()));
    pkg.build_tree(ini);
}

tavik::details::future<void> load_png_async(package& pkg, std::wstring path)
{
    using namespace tavik::details;
    try {
        if (pkg.cancellation().is_cancelled())
            throw_operation_cancelled();
        co_await resume_on_thread_pool{};
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            throw_last_error();
        LARGE_INTEGER size{};
        std::unique_ptr<std::byte[]> bytes;
        DWORD read = 0;
        const bool ok = GetFileSizeEx(file, &size) && size.QuadPart < 0x7FFFFFFF
                        && (bytes = std::make_unique<std::byte[]>(static_cast<std::size_t>(size.QuadPart)),
                            ReadFile(file, bytes.get(), static_cast<DWORD>(size.QuadPart), &read, nullptr))
                        && read == size.QuadPart;
        const auto error = make_last_error();
        CloseHandle(file);
        if (!ok)
            throw error;

        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        IWICImagingFactory* factory = nullptr;
        if (HRESULT hr = CoCreateInstance(CLSID_WICImagingFactory, nullptr, CLSCTX_ALL, IID_IWICImagingFactory,
                                          reinterpret_cast<void**>(&factory));
            FAILED(hr))
            throw_hresult(hr);
        IWICBitmapDecoder* decoder = nullptr;
        HRESULT hr = factory->CreateDecoder(GUID_ContainerFormatPng, nullptr, &decoder);
        factory->Release();
        if (FAILED(hr))
            throw_hresult(hr);
        auto stream = Ostrel::com::make<Ostrel::details::memstream<Ostrel::details::owned_storage>>(
            std::move(bytes), static_cast<std::uint64_t>(size.QuadPart));
        IWICBitmapFrameDecode* frame = nullptr;
        hr = decoder->Initialize(stream.get(), WICDecodeMetadataCacheOnDemand);
        if (SUCCEEDED(hr))
            hr = decoder->GetFrame(0, &frame);
        decoder->Release();
        if (FAILED(hr))
            throw_hresult(hr);
        pkg.set_icon(frame);
        pkg.icon_ready()->set_value();
    } catch (...) {
        fail(pkg.icon_ready(), std::current_exception());
    }
}

} // namespace

void init_desktop_folder(package& pkg)
{
    set_folder_property(pkg, L"DESKTOP", pkg.options().mode == 1 ? CSIDL_COMMON_DESKTOPDIRECTORY : CSIDL_DESKTOP);
    if (pkg.get_property(L"DESKTOP", true).size() < 3)
        set_folder_property(pkg, L"DESKTOP", CSIDL_DESKTOP);
    if (pkg.get_property(L"DESKTOP", true).size() < 3)
        pkg.set_property(L"DESKTOP", L"$(INSTALLDIR)");
}

void init_start_menu_base(package& pkg)
{
    if (pkg.get_property(L"STARTMENU_BASE", true).empty())
        set_folder_property(pkg, L"STARTMENU_BASE", pkg.options().mode == 1 ? CSIDL_COMMON_PROGRAMS : CSIDL_PROGRAMS);
}

void init_folder_variables(package& pkg)
{
    set_system_folder(pkg, L"SYSDIR", [](wchar_t* b, UINT n) { return GetSystemDirectoryW(b, n); });
    set_system_folder(pkg, L"WINDIR", [](wchar_t* b, UINT n) { return GetWindowsDirectoryW(b, n); });
    set_system_folder(pkg, L"TEMP", [](wchar_t* b, UINT n) { return static_cast<UINT>(GetTempPathW(n, b)); });
    set_folder_property(pkg, L"PROGRAMFILES", CSIDL_PROGRAM_FILES);
    set_folder_property(pkg, L"LOCALAPPDATA", CSIDL_LOCAL_APPDATA);
    set_folder_property(pkg, L"APPDATA", CSIDL_APPDATA);
    pkg.set_property(L"QUICKLAUNCH", L"$(APPDATA)Microsoft\\Internet Explorer\\Quick Launch\\");
    init_desktop_folder(pkg);
    if (pkg.get_property(L"INSTALLDIR", true).empty())
        pkg.set_property(L"INSTALLDIR", pkg.options().mode == 1 ? L"$(INSTALLDIR_MACHINE)" : L"$(INSTALLDIR_USER)");
    init_start_menu_base(pkg);
}

void read_previous_installation(package& pkg, HKEY root)
{
    const std::wstring path = uninstall_key_path(pkg);
    const std::uint64_t v = Ostrel::registry_ex::value(root, path, L"Quvan Setup Prop: VERSION").get_qword().value_or(0);
    const version_parts previous = unpack_version(v);
    if (auto dir = Ostrel::registry_ex::value(root, path, L"Quvan Setup Prop: INSTALLDIR").get_string(); !dir.empty())
        pkg.set_property(L"INSTALLDIR", dir);
    if (auto menu = Ostrel::registry_ex::value(root, path, L"Quvan Setup Prop: STARTMENU").get_string(); !menu.empty())
        pkg.set_property(L"STARTMENU", menu);
    pkg.set_property(L"PreviousVersion", format_version_text(previous[0], previous[1], previous[2], previous[3]));
    const std::wstring mutex = pkg.get_property(L"UpgradePreventionMutex", true);
    pkg.options().type = decide_install_type(pkg.options().type, previous, pkg.version(),
                                             pkg.get_property(L"AllowUpgradeOn", true), upgrade_prevented(mutex));
}

tavik::details::future<void> startup_async(package& pkg, std::wstring package_folder, bool interactive)
{
    using namespace tavik::details;
    pkg.set_package_folder(package_folder);
    if (interactive)
        load_png_async(pkg, package_folder + L"\\icon.png");
    try {
        if (pkg.cancellation().is_cancelled())
            throw_operation_cancelled();
        co_await resume_on_thread_pool{};

        auto ini = std::make_unique<ini_file_t>();
        auto read = read_text_file_async(package_folder + L"\\config.ini", *ini);
        for (const auto& [name, value] : pkg.options().props)
            pkg.properties().add(name, value);
        if (pkg.cancellation().is_cancelled())
            throw_operation_cancelled();
        co_await std::move(read);

        const ini_file_t::Section* configuration = ini->find_section(L"Configuration");
        if (!configuration)
            throw_hresult(not_found);
        const GUID source_id = parse_guid(configuration->get_text(L"SourceID"));
        auto tree = build_feature_tree(pkg, source_id, package_folder, *ini);
        for (const auto& [name, value] : configuration->entries())
            pkg.properties().add(name, value);
        pkg.set_version({configuration->get_number(L"MAJOR"), configuration->get_number(L"MINOR"),
                         configuration->get_number(L"REVISION"), configuration->get_number(L"BUILD")});

        bool checks_pending = true;
        auto& options = pkg.options();
        const std::wstring product_key = uninstall_key_path(pkg);
        auto installed_under = [&](HKEY root) {
            HKEY key = nullptr;
            if (RegOpenKeyExW(root, product_key.c_str(), 0, MAXIMUM_ALLOWED, &key) != ERROR_SUCCESS)
                return false;
            RegCloseKey(key);
            return true;
        };
        if (installed_under(HKEY_CURRENT_USER)) {
            options.mode = 0;
            pkg.set_product_root(HKEY_CURRENT_USER);
            read_previous_installation(pkg, HKEY_CURRENT_USER);
        } else if (installed_under(HKEY_LOCAL_MACHINE)) {
            options.mode = 1;
            pkg.set_product_root(HKEY_LOCAL_MACHINE);
            read_previous_installation(pkg, HKEY_LOCAL_MACHINE);
        } else {
            pkg.set_product_root(options.mode == 1 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER);
            if (options.type == install_type_uninstall)
                checks_pending = false;
        }
        if (!pkg.get_property(L"AllUsersOnly", false).empty()) {
            options.mode = 1;
            options.machine_forced = true;
        }

        if (checks_pending) {
            const std::wstring running = pkg.get_property(L"CheckRunningMutex", true);
            for (bool asked_once = false; !running.empty();) {
                HANDLE m = OpenMutexW(SYNCHRONIZE, FALSE, running.c_str());
                if (!m)
                    break;
                if (!asked_once) {
                    Sleep(500);
                    asked_once = true;
                } else if (pkg.platform().message_box(nullptr,
                                                      L"The application " + pkg.get_property(L"ProductName", true)
                                                          + L" is currently running. Close it before continuing Setup.",
                                                      L"Setup", MB_RETRYCANCEL | MB_ICONEXCLAMATION)
                           == IDCANCEL) {
                    CloseHandle(m);
                    throw_hresult(E_ABORT);
                }
                CloseHandle(m);
            }
            if (options.server.empty() && !options.allow_parallel) {
                if (HANDLE other = OpenMutexW(SYNCHRONIZE, FALSE, installer_mutex_name)) {
                    CloseHandle(other);
                    pkg.platform().message_box(nullptr,
                                               L"Another instance of Quvan Software setup application is already running. "
                                               L"You need to close it first and try again.",
                                               pkg.get_property(L"LongName", true) + L" Setup", MB_ICONERROR);
                    throw_hresult(E_ABORT);
                }
                pkg.set_installer_mutex(tavik::unique_handle(CreateMutexW(nullptr, TRUE, installer_mutex_name)));
            }
            pkg.config_ready()->set_value();
        }

        init_folder_variables(pkg);
        if (pkg.cancellation().is_cancelled())
            throw_operation_cancelled();
        co_await std::move(tree);

        if (!checks_pending)
            fail(pkg.config_ready(), std::make_exception_ptr(traceable_error(E_INVALIDARG)));

        std::uint64_t size = 0;
        std::vector<std::wstring> names{L"config.ini", L"icon.png", L"setup.exe"};
        if (const package_source* main = pkg.main_source())
            names.push_back(format_archive_name(main->id()));
        for (const std::wstring& name : names)
            size += file_size_of(package_folder + L"\\" + name);
        pkg.set_setup_files_size(size);
        check_required_os(pkg);
        if (feature_t* root = pkg.root_feature()) {
            const std::wstring path = uninstall_key_path(pkg);
            if (options.type == install_type_upgrade || options.type == install_type_update
                || options.type == install_type_uninstall)
                root->read_installed_state(pkg.product_root(), path, false);
            else if (options.type == install_type_remove_previous)
                root->read_installed_state(pkg.product_root(), path, true);
        }
        pkg.loaded()->set_value();
    } catch (...) {
        const auto error = std::current_exception();
        fail(pkg.config_ready(), error);
        fail(pkg.loaded(), error);
    }
}

tavik::details::future<void> wait_ready_async(package& pkg)
{
    auto config = pkg.config_ready();
    auto icon = pkg.icon_ready();
    std::exception_ptr first;
    try {
        co_await *config;
    } catch (...) {
        first = std::current_exception();
    }
    try {
        co_await *icon;
    } catch (...) {
        if (!first)
            first = std::current_exception();
    }
    if (first)
        std::rethrow_exception(first);
}

tavik::details::future<void> wait_loaded_async(package& pkg)
{
    auto loaded = pkg.loaded();
    co_await *loaded;
}

} // namespace tolvane
