// A stand-in for the shell extension's install-time export, for the installer's tests. Each call
// appends "{action}{T|-}" to "{folder}\stub.log" (T: called with a transaction handle). Action 0
// makes "{folder}\service.installed" and fails with 0x800700B7 when it is already there (a service
// that exists); action 3 removes it. Every action fails with E_FAIL while "{folder}\fail.marker"
// exists.

#include <cstdint>
#include <string>

#include <windows.h>

// Not in an anonymous namespace: the compiler would then know that nothing in this file derives
// from it, and treat the call through the installer's object as unreachable.
struct self_install_callback {
    virtual void set_busy(bool busy) = 0;
};

namespace {

void append(const std::wstring& path, const std::string& text)
{
    HANDLE h = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    DWORD n = 0;
    WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr);
    CloseHandle(h);
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

} // namespace

extern "C" __declspec(dllexport) HRESULT AutoInstallEx3(const wchar_t* folder, std::int32_t action, HANDLE transaction,
                                                        const wchar_t*, HWND, std::uint32_t,
                                                        self_install_callback* callback)
{
    std::wstring dir = folder;
    if (!dir.empty() && dir.back() == L'\\')
        dir.pop_back();
    append(dir + L"\\stub.log", std::to_string(action) + (transaction ? "T" : "-") + " ");
    if (callback)
        callback->set_busy(true);
    if (exists(dir + L"\\fail.marker"))
        return E_FAIL;
    const std::wstring installed = dir + L"\\service.installed";
    if (action == 0) {
        if (exists(installed))
            return HRESULT(0x800700B7);
        append(installed, "");
    } else if (action == 3) {
        DeleteFileW(installed.c_str());
    }
    return S_OK;
}
