#include <tolvane/launcher.h>

#include <filesystem>

#include <windows.h>

#include <ostrel/registry_ex.h>
#include <tolvane/command_line.h>
#include <tolvane/guid.h>

namespace tolvane {

std::wstring module_path()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::wstring format_copy_command_line(std::wstring_view program, std::wstring_view rest)
{
    return L"\"" + std::wstring(program) + L"\"" + std::wstring(rest);
}

std::wstring_view command_line_rest(std::wstring_view line) noexcept
{
    bool quoted = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        if (line[i] == L'"')
            quoted = !quoted;
        else if (line[i] == L' ' && !quoted)
            return line.substr(i);
    }
    return {};
}

std::wstring parent_path(const std::wstring& path)
{
    return std::filesystem::path(path).parent_path().wstring();
}

std::wstring get_archive_folder()
{
    wchar_t value[520];
    const DWORD n = GetEnvironmentVariableW(marker_archive_dir, value, 520);
    if (n > 0 && n < 520)
        return std::wstring(value, n);
    return parent_path(module_path());
}

std::int32_t run_setup_copy()
{
    const std::wstring rest(command_line_rest(GetCommandLineW()));
    const std::wstring source = module_path();
    const std::wstring destination = (std::filesystem::temp_directory_path() / (new_guid_text() + L".quvansetup.exe")).wstring();
    if (!CopyFileW(source.c_str(), destination.c_str(), TRUE))
        return installation_copy_not_started;
    std::wstring command = format_copy_command_line(destination, rest);
    SetEnvironmentVariableW(marker_archive_dir, parent_path(source).c_str());
    SetEnvironmentVariableW(marker_launcher, format_copy_command_line(source, rest).c_str());
    SetEnvironmentVariableW(marker_need_remove, L"YES");
    SetEnvironmentVariableW(marker_is_copy, L"YES");
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    // Inherited handles: "--wait-process" names a handle of this process, which the copy waits on.
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si, &pi))
        return installation_copy_not_started;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}

void schedule_copy_removal()
{
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(removal_script_resource), L"CLEAN");
    if (!found)
        return;
    HGLOBAL loaded = LoadResource(nullptr, found);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    const DWORD size = SizeofResource(nullptr, found);
    if (!data)
        return;
    const std::wstring program = module_path();
    const std::wstring script = program + L".wsf";
    HANDLE file = CreateFileW(script.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    const bool ok = WriteFile(file, data, size, &written, nullptr) && written == size;
    CloseHandle(file);
    if (!ok)
        return;
    const std::wstring name = program.substr(program.find_last_of(L'\\') + 1);
    Ostrel::registry_ex::value(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", new_guid_text(),
                               false)
        .set_string(L"wscript //b //Nologo \"" + script + L"\" \"/delete:" + name + L"\"");
}

std::wstring_view trim_blanks(std::wstring_view text) noexcept
{
    const std::size_t first = text.find_first_not_of(L" \t");
    if (first == std::wstring_view::npos)
        return {};
    const std::size_t last = text.find_last_not_of(L" \t");
    return text.substr(first, last - first + 1);
}

std::map<std::wstring, std::wstring> read_environment(wchar_t* block)
{
    std::map<std::wstring, std::wstring> out;
    if (!block)
        return out;
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
        const std::wstring_view entry(p);
        const std::size_t eq = entry.find(L'=');
        if (eq == std::wstring_view::npos)
            continue;
        const std::wstring_view name = trim_blanks(entry.substr(0, eq));
        if (name.empty())
            continue;
        out.try_emplace(std::wstring(name), std::wstring(trim_blanks(entry.substr(eq + 1))));
    }
    FreeEnvironmentStringsW(block);
    return out;
}

} // namespace tolvane
