#include <quastle/command/explorer_command.h>

#include <quastle/guids.h>

#include <dedup/engine/store_names.h>
#include <quillo/render.h>
#include <tavik/error.h>

#include <algorithm>
#include <cstring>
#include <new>

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace quastle {
namespace {

constexpr std::wstring_view title_of(std::int32_t kind) noexcept
{
    switch (kind) {
    case kind_submenu: return L"Deduplicated Folder";
    case kind_create: return L"Create Deduplicated Folder";
    case kind_convert: return L"Convert to Deduplicated Folder";
    case kind_optimize: return L"Optimize";
    case kind_recover: return L"Recover recently deleted files";
    case kind_delete: return L"Delete";
    case kind_open: return L"Open configuration utility";
    default: return {};
    }
}

constexpr std::wstring_view verb_of(std::int32_t kind) noexcept
{
    switch (kind) {
    case kind_create: return L"create-in";
    case kind_convert: return L"convert";
    case kind_optimize: return L"optimize";
    case kind_recover: return L"recover";
    case kind_delete: return L"delete";
    default: return {};
    }
}

// Explorer frees every text it receives with CoTaskMemFree. A failed allocation is also reported
// through the debugger output, our stand-in for the platform's error reporting.
HRESULT return_text(std::wstring_view text, LPWSTR* out) noexcept
{
    const std::size_t bytes = (text.size() + 1) * sizeof(wchar_t);
    auto* copy = static_cast<wchar_t*>(CoTaskMemAlloc(bytes));
    if (!copy) {
        OutputDebugStringW(L"quastle/command: out of memory for a text returned to Explorer\n");
        return E_OUTOFMEMORY;
    }
    std::memcpy(copy, text.data(), text.size() * sizeof(wchar_t));
    copy[text.size()] = L'\0';
    *out = copy;
    return S_OK;
}

// The file-system path of the first item, or false when the array or either shell call fails.
bool first_item_path(IShellItemArray* items, std::wstring& path)
{
    if (!items)
        return false;
    IShellItem* raw = nullptr;
    if (FAILED(items->GetItemAt(0, &raw)) || !raw)
        return false;
    auto item = Ostrel::com::ptr<IShellItem>::adopt(raw);
    LPWSTR name = nullptr;
    if (FAILED(item->GetDisplayName(SIGDN_FILESYSPATH, &name)) || !name)
        return false;
    struct task_text_free {
        LPWSTR text;
        ~task_text_free() { CoTaskMemFree(text); }
    } owner{name};
    path.assign(name);
    return true;
}

// The failure an exception stands for at the COM boundary.
HRESULT failure_of_current_exception() noexcept
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const tavik::details::hresult_error_impl& e) {
        return e.code();
    } catch (...) {
        return E_FAIL;
    }
}

template <class F>
HRESULT guarded(F&& f) noexcept
{
    try {
        return f();
    } catch (...) {
        return failure_of_current_exception();
    }
}

HRESULT set_site(Ostrel::com::ptr<IUnknown>& kept, IUnknown* site) noexcept
{
    kept = Ostrel::com::ptr<IUnknown>(site);
    return S_OK;
}

// Without a site there is nothing to ask: E_FAIL with a null pointer.
HRESULT get_site(const Ostrel::com::ptr<IUnknown>& kept, REFIID iid, void** out) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (!kept)
        return E_FAIL;
    return kept->QueryInterface(iid, out);
}

HRESULT not_implemented_text(LPWSTR* out) noexcept
{
    if (out)
        *out = nullptr;
    return E_NOTIMPL;
}

HRESULT canonical_name(GUID* name) noexcept
{
    if (!name)
        return E_POINTER;
    *name = explorer_command_clsid;
    return S_OK;
}

HRESULT enabled_state(EXPCMDSTATE* state) noexcept
{
    if (!state)
        return E_POINTER;
    *state = ECS_ENABLED;
    return S_OK;
}

} // namespace

std::wstring configuration_utility_path()
{
    const auto module = reinterpret_cast<HMODULE>(&__ImageBase);
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(module, path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            tavik::details::throw_last_error();
        if (length < path.size()) {
            path.resize(length);
            break;
        }
        path.resize(path.size() * 2);
    }
    const std::size_t slash = path.find_last_of(L'\\');
    path.resize(slash == std::wstring::npos ? 0 : slash + 1);
    path.append(L"plendor.exe");
    return path;
}

HRESULT launch_configuration_utility(std::wstring_view folder, std::wstring_view verb) noexcept
{
    return guarded([&]() -> HRESULT {
        const std::wstring program = configuration_utility_path();
        std::wstring command_line =
            quillo::format(L"\"{0}\"{3?<} --{2} \"{1}\"{3?>}", program, folder, verb, !verb.empty());
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        // The utility reports its own failures; a utility that cannot start is not reported here.
        if (CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr,
                           nullptr, &startup, &process)) {
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
        return S_OK;
    });
}

// Root command.

HRESULT explorer_command::GetTitle(IShellItemArray* items, LPWSTR* name)
{
    if (!name)
        return E_POINTER;
    *name = nullptr;
    return guarded([&]() -> HRESULT {
        if (!items) {
            kind_ = kind_create;
            return return_text(title_of(kind_), name);
        }
        DWORD count = 0;
        if (FAILED(items->GetCount(&count)) || count != 1)
            return E_FAIL;
        std::wstring path;
        if (!first_item_path(items, path))
            return E_FAIL;
        // The store lives beside the folder ("D:\Data.dedup"), as the engine names it.
        const DWORD attributes = GetFileAttributesW(dedup::store_folder_path(path).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return return_text(title_of(kind_submenu), name);
        // The store folder itself, and any folder named like one, gets no entry.
        if (path.ends_with(L".dedup"))
            return E_NOTIMPL;
        kind_ = kind_convert;
        return return_text(title_of(kind_), name);
    });
}

HRESULT explorer_command::GetIcon(IShellItemArray*, LPWSTR* icon)
{
    if (!icon)
        return E_POINTER;
    *icon = nullptr;
    return guarded([&]() -> HRESULT {
        return return_text(quillo::format(L"{0},0", configuration_utility_path()), icon);
    });
}

HRESULT explorer_command::GetToolTip(IShellItemArray*, LPWSTR* tip) { return not_implemented_text(tip); }
HRESULT explorer_command::GetCanonicalName(GUID* name) { return canonical_name(name); }
HRESULT explorer_command::GetState(IShellItemArray*, BOOL, EXPCMDSTATE* state) { return enabled_state(state); }

HRESULT explorer_command::Invoke(IShellItemArray* items, IBindCtx*)
{
    if (kind_ != kind_create && kind_ != kind_convert)
        return E_NOTIMPL;
    return guarded([&]() -> HRESULT {
        // Without a path the utility asks for the folder itself.
        std::wstring path;
        if (!first_item_path(items, path))
            path.clear();
        return launch_configuration_utility(path, verb_of(kind_));
    });
}

HRESULT explorer_command::GetFlags(EXPCMDFLAGS* flags)
{
    if (!flags)
        return E_POINTER;
    *flags = kind_ == kind_submenu ? ECF_HASSUBCOMMANDS : ECF_DEFAULT;
    return S_OK;
}

HRESULT explorer_command::EnumSubCommands(IEnumExplorerCommand** commands)
{
    if (!commands)
        return E_POINTER;
    *commands = nullptr;
    if (kind_ != kind_submenu)
        return E_NOTIMPL;
    return guarded([&]() -> HRESULT {
        std::vector<Ostrel::com::ptr<IExplorerCommand>> entries;
        entries.reserve(4);
        for (const std::int32_t kind : {kind_open, kind_optimize, kind_recover, kind_delete})
            entries.emplace_back(Ostrel::com::make<subcommand>(kind));
        *commands = Ostrel::com::make<enumerator>(std::move(entries)).detach();
        return S_OK;
    });
}

HRESULT explorer_command::SetSite(IUnknown* site) { return set_site(site_, site); }
HRESULT explorer_command::GetSite(REFIID iid, void** out) { return get_site(site_, iid, out); }

HRESULT explorer_command::create(IUnknown* outer, REFIID iid, void** out) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    if (outer)
        return CLASS_E_NOAGGREGATION;
    return guarded([&]() -> HRESULT {
        // The reference held here is released on every path: a refused interface destroys the
        // object again and it stops counting in module_count.
        auto command = Ostrel::com::make<explorer_command>();
        return command->QueryInterface(iid, out);
    });
}

// Subcommands.

HRESULT subcommand::GetTitle(IShellItemArray*, LPWSTR* name)
{
    if (!name)
        return E_POINTER;
    *name = nullptr;
    if (kind_ < kind_optimize || kind_ > kind_open)
        return E_FAIL;
    return return_text(title_of(kind_), name);
}

HRESULT subcommand::GetIcon(IShellItemArray*, LPWSTR* icon) { return not_implemented_text(icon); }
HRESULT subcommand::GetToolTip(IShellItemArray*, LPWSTR* tip) { return not_implemented_text(tip); }
HRESULT subcommand::GetCanonicalName(GUID* name) { return canonical_name(name); }
HRESULT subcommand::GetState(IShellItemArray*, BOOL, EXPCMDSTATE* state) { return enabled_state(state); }

HRESULT subcommand::Invoke(IShellItemArray* items, IBindCtx*)
{
    if (kind_ < kind_optimize || kind_ > kind_open)
        return E_NOTIMPL;
    return guarded([&]() -> HRESULT {
        std::wstring path;
        if (!first_item_path(items, path))
            return E_NOTIMPL;
        return launch_configuration_utility(path, verb_of(kind_));
    });
}

HRESULT subcommand::GetFlags(EXPCMDFLAGS* flags)
{
    if (!flags)
        return E_POINTER;
    *flags = kind_ == kind_delete ? ECF_SEPARATORBEFORE : ECF_DEFAULT;
    return S_OK;
}

HRESULT subcommand::EnumSubCommands(IEnumExplorerCommand** commands)
{
    if (commands)
        *commands = nullptr;
    return E_NOTIMPL;
}

HRESULT subcommand::SetSite(IUnknown* site) { return set_site(site_, site); }
HRESULT subcommand::GetSite(REFIID iid, void** out) { return get_site(site_, iid, out); }

// Enumerator.

HRESULT enumerator::Next(ULONG wanted, IExplorerCommand** out, ULONG* fetched)
{
    if (fetched)
        *fetched = 0;
    if (!out)
        return E_POINTER;
    const std::size_t remaining = entries_.size() - static_cast<std::size_t>(cursor_);
    const std::size_t count = std::min<std::size_t>(wanted, remaining);
    for (std::size_t i = 0; i < count; ++i) {
        IExplorerCommand* entry = entries_[static_cast<std::size_t>(cursor_) + i].get();
        entry->AddRef();
        out[i] = entry;
    }
    cursor_ += static_cast<std::int32_t>(count);
    if (fetched)
        *fetched = static_cast<ULONG>(count);
    return count > 0 ? S_OK : S_FALSE;
}

HRESULT enumerator::Skip(ULONG count)
{
    // In 64 bits: a huge count stops at the end instead of wrapping round.
    const std::uint64_t target = static_cast<std::uint64_t>(cursor_) + count;
    cursor_ = static_cast<std::int32_t>(std::min<std::uint64_t>(target, entries_.size()));
    return S_OK;
}

HRESULT enumerator::Reset()
{
    cursor_ = 0;
    return S_OK;
}

HRESULT enumerator::Clone(IEnumExplorerCommand** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    return guarded([&]() -> HRESULT {
        *out = Ostrel::com::make<enumerator>(entries_).detach();
        return S_OK;
    });
}

} // namespace quastle
