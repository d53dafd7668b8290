#include <tolvane/component.h>

#include <ostrel/registry_ex.h>
#include <tavik/error.h>
#include <tolvane/action_queue.h>
#include <tolvane/command_line.h>
#include <tolvane/config_error.h>
#include <tolvane/guid.h>
#include <tolvane/ini_file.h>
#include <tolvane/package.h>
#include <tolvane/package_source.h>
#include <tolvane/shortcut_action.h>
#include <tolvane/uninstall_entry.h>

namespace tolvane {

namespace {

constexpr HRESULT not_found = static_cast<HRESULT>(0x80070490);
constexpr std::size_t skipped_before_application_id = 6;

std::wstring join(std::wstring_view folder, std::wstring_view name)
{
    std::wstring out(folder);
    if (!out.empty() && out.back() != L'\\')
        out += L'\\';
    out += name;
    return out;
}

std::uint32_t leading_number(std::wstring_view text) noexcept
{
    std::uint32_t n = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            break;
        n = n * 10 + static_cast<std::uint32_t>(c - L'0');
    }
    return n;
}

std::uint64_t leading_number64(std::wstring_view text) noexcept
{
    std::uint64_t n = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            break;
        n = n * 10 + static_cast<std::uint64_t>(c - L'0');
    }
    return n;
}

// The keys <letter>1, <letter>2, ... up to the first missing or empty one.
template <typename F> void for_each_entry(const ini_file_t::Section& section, wchar_t letter, F&& f)
{
    for (std::uint32_t n = 1;; ++n) {
        const std::wstring key = letter + std::to_wstring(n);
        const std::wstring_view value = section.get_text(key);
        if (value.empty())
            return;
        f(key, value);
    }
}

// The machine field of a PE image loaded as a data file: 0x14C (x86) means the 32-bit registry view.
std::uint32_t view_of_module(const std::wstring& path)
{
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (!module)
        return 0;
    // A data-file mapping's handle carries flags in its low bits.
    auto base = reinterpret_cast<const std::uint8_t*>(reinterpret_cast<std::uintptr_t>(module) & ~std::uintptr_t(3));
    std::uint32_t view = 0;
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
    if (dos->e_magic == IMAGE_DOS_SIGNATURE) {
        const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
        if (nt->Signature == IMAGE_NT_SIGNATURE && nt->FileHeader.Machine == IMAGE_FILE_MACHINE_I386)
            view = KEY_WOW64_32KEY;
    }
    FreeLibrary(module);
    return view;
}

// The installed component's version is newer than `mine`, part by part.
bool newer(const std::array<std::uint32_t, 4>& installed, const std::array<std::uint32_t, 4>& mine) noexcept
{
    for (int i = 0; i < 4; ++i)
        if (installed[i] != mine[i])
            return installed[i] > mine[i];
    return false;
}

} // namespace

std::wstring component_source_path(const package_source* source, const component_t& component, bool x64)
{
    std::wstring path = join(source ? source->extraction_folder() : std::wstring{}, L"Components");
    path = join(path, component.id);
    if (x64)
        path = join(path, L"x64");
    return path;
}

std::wstring component_key_path(const package& pkg, std::wstring_view component_id)
{
    return uninstall_key_path(pkg) + L"\\Components\\" + std::wstring(component_id);
}

bool component_t::load(package& pkg, const package_source* from, std::wstring_view component_id,
                       const ini_file_t& sections, const windows_version& running)
{
    owner = &pkg;
    source = from;
    id = component_id;
    const std::wstring section_name = L"Component_" + id;
    const ini_file_t::Section* section = sections.find_section(section_name);
    if (!section)
        tavik::details::throw_hresult(not_found);
    if (section->get_text(L"platform") == L"x86")
        return false;

    const std::uint32_t min_os = section->get_number(L"minosver"), max_os = section->get_number(L"maxosver");
    if ((min_os != 0 && running.version < min_os) || (max_os != 0 && running.version > max_os))
        return false;
    const std::uint32_t full = running.version * 100000u + running.build; // wraps as a 32-bit number
    const std::uint32_t min_full = section->get_number(L"minosver-full"), max_full = section->get_number(L"maxosver-full");
    if ((min_full != 0 && full < min_full) || (max_full != 0 && full > max_full))
        return false;

    condition = section->get_vector(L"condition");
    size = leading_number64(section->get_text(L"sizex64"));

    for_each_entry(*section, L'f', [&](const std::wstring& key, std::wstring_view entry) {
        const std::size_t star = entry.find(L'*');
        if (star == std::wstring_view::npos)
            return;
        component_file file;
        file.name = entry.substr(0, star);
        const std::wstring_view rest = entry.substr(star + 1);
        file.flags = leading_number(rest);
        const std::size_t second = rest.find(L'*');
        if (second != std::wstring_view::npos) {
            const std::wstring_view third = rest.substr(second + 1);
            if (third.size() < skipped_before_application_id)
                throw config_error(E_INVALIDARG, sections.path(), L"[" + section_name + L"] " + key,
                                   L"six characters and the application id after the second \"*\"");
            file.application_id = third.substr(skipped_before_application_id);
        }
        files.push_back(std::move(file));
    });
    for_each_entry(*section, L'l', [&](const std::wstring&, std::wstring_view entry) {
        const std::size_t star = entry.find(L'*');
        if (star == std::wstring_view::npos)
            return;
        links.push_back({std::wstring(entry.substr(0, star)), std::wstring(entry.substr(star + 1))});
    });
    for_each_entry(*section, L'd', [&](const std::wstring&, std::wstring_view entry) {
        const std::size_t star = entry.find(L'*');
        component_folder folder;
        folder.folder = entry.substr(0, star);
        if (star != std::wstring_view::npos)
            folder.force_removal = leading_number(entry.substr(star + 1)) != 0;
        folders.push_back(std::move(folder));
    });
    for_each_entry(*section, L'r', [&](const std::wstring&, std::wstring_view entry) {
        const std::size_t star = entry.find(L'*');
        component_script script;
        script.file_name = entry.substr(0, star);
        if (star != std::wstring_view::npos)
            script.flag = leading_number(entry.substr(star + 1)) != 0;
        scripts.push_back(std::move(script));
    });

    const std::wstring_view version_text = section->get_text(L"version");
    if (!version_text.empty())
        version = parse_version_text(version_text);
    // The reader keeps no key without a value, so an empty InstallDir is the default folder.
    if (const std::wstring_view folder = section->get_text(L"InstallDir"); !folder.empty())
        install_folder_text = folder;

    for (const std::wstring& shortcut_id : section->get_vector(L"shortcuts")) {
        const ini_file_t::Section* s = sections.find_section(L"Shortcut_" + id + L"_" + shortcut_id);
        if (!s)
            tavik::details::throw_hresult(not_found);
        shortcut_record r;
        r.location = s->get_text(L"location");
        r.description = s->get_text(L"description");
        r.iconfile = s->get_text(L"iconfile");
        r.arguments = s->get_text(L"arguments");
        r.workingdir = s->get_text(L"workingdir");
        r.target = s->get_text(L"target");
        r.iconindex = s->get_number(L"iconindex");
        r.advertise = s->get_text(L"advertise");
        shortcuts.push_back(std::move(r));
    }
    return true;
}

bool component_t::is_applicable() const
{
    for (const std::wstring& name : condition)
        if (owner->get_property(name, true).empty())
            return false;
    return true;
}

std::wstring component_t::install_folder() const
{
    if (install_folder_text.find(L"$(STARTMENU)") != std::wstring::npos && owner->get_property(L"STARTMENU", true).empty())
        tavik::details::throw_hresult(E_INVALIDARG);
    owner->set_property(L"ASSEMBLY", id);
    return owner->expand(install_folder_text, true);
}

void component_t::queue_copies(ActionQueue& queue) const
{
    const std::wstring folder = install_folder();
    const bool portable = owner->is_portable();
    for (const component_file& f : files) {
        if ((f.flags & file_not_copied) || ((f.flags & file_portable_only) && !portable)
            || ((f.flags & file_not_portable) && portable))
            continue;
        queue.add(std::make_unique<copy_file_action>(
            join(component_source_path(source, *this, (f.flags & file_in_x64_folder) != 0), f.name), join(folder, f.name)));
    }
    for (const component_link& l : links)
        queue.add(std::make_unique<create_link_action>(join(folder, l.link_name), owner->expand(l.existing_file, true)));
}

void component_t::queue_copies_if_not_newer(ActionQueue& queue) const
{
    Ostrel::registry_ex::value stored(uninstall_root(*owner), component_key_path(*owner, id), L"Version");
    const std::uint64_t v = stored.get_qword().value_or(0);
    const std::array<std::uint32_t, 4> installed{std::uint32_t(v >> 48 & 0xFFFF), std::uint32_t(v >> 32 & 0xFFFF),
                                                 std::uint32_t(v >> 16 & 0xFFFF), std::uint32_t(v & 0xFFFF)};
    if (newer(installed, version)) {
        install_folder(); // the same failure as a copy for a folder that cannot be had
        return;
    }
    queue_copies(queue);
}

void component_t::collect_directories(bool skip_if_exists, bool include_install_folder) const
{
    const std::wstring folder = install_folder();
    if (include_install_folder)
        owner->add_directory(folder, skip_if_exists, false);
    for (const component_folder& d : folders)
        owner->add_directory(owner->expand(d.folder, true), skip_if_exists, d.force_removal);
}

void component_t::queue_deletes(ActionQueue& queue) const
{
    const std::wstring folder = install_folder();
    for (const component_link& l : links)
        queue.add(std::make_unique<remove_file_action>(join(folder, l.link_name)));
    for (const component_file& f : files)
        if (!(f.flags & file_not_copied))
            queue.add(std::make_unique<remove_file_action>(join(folder, f.name)));
}

void component_t::queue_self_install(ActionQueue& queue, std::uint32_t action_number) const
{
    const std::wstring folder = install_folder();
    for (const component_file& f : files) {
        if (!(f.flags & (file_self_install_from_package | file_self_install_installed)))
            continue;
        std::wstring module = (f.flags & file_self_install_from_package)
                                  ? join(component_source_path(source, *this, (f.flags & file_in_x64_folder) != 0), f.name)
                                  : join(folder, f.name);
        queue.add(std::make_unique<self_install_action>(std::move(module), folder, id, action_number));
    }
}

void component_t::do_register(ActionQueue& queue, bool do_register) const
{
    const std::wstring folder = install_folder();
    const auto& properties = owner->properties().entries();
    for (const component_file& f : files) {
        if (!(f.flags & file_has_script))
            continue;
        const std::wstring script =
            join(component_source_path(source, *this, (f.flags & file_in_x64_folder) != 0), f.name + L".rgs");
        const std::wstring module = join(folder, f.name);
        std::vector<std::pair<std::wstring, std::wstring>> variables{
            {L"module", module}, {L"module_raw", module}, {L"installdir", folder}, {L"appid", f.application_id}};
        for (const auto& [name, value] : properties)
            if (name != L"installdir" && name != L"appid")
                variables.emplace_back(name, value);
        queue.add(std::make_unique<register_module_action>(
            script, do_register, [module] { return view_of_module(module); }, std::move(variables)));
    }
    for (const component_script& s : scripts) {
        std::vector<std::pair<std::wstring, std::wstring>> variables;
        for (const auto& [name, value] : properties)
            if (name != L"installdir")
                variables.emplace_back(name, value);
        variables.emplace_back(L"installdir", folder);
        queue.add(std::make_unique<register_module_action>(join(component_source_path(source, *this, false), s.file_name),
                                                           do_register, [] { return std::uint32_t(0); },
                                                           std::move(variables)));
    }
}

void component_t::queue_shortcuts(ActionQueue& queue, bool install)
{
    if (shortcuts_queued)
        return;
    const std::wstring folder = install_folder();
    shortcuts_queued = true;
    for (const shortcut_record& r : shortcuts) {
        if (install)
            queue.add(std::make_unique<install_shortcut_action>(folder, &r));
        else
            queue.add(std::make_unique<remove_file_action>(join(folder, owner->expand(r.location, false))));
    }
}

void component_t::publish(ActionQueue& queue, bool publish) const
{
    install_folder();
    queue.add(std::make_unique<generic_action>(
        [this, publish](package& pkg, ActionQueue*, HANDLE transaction) -> HRESULT {
            if (pkg.is_portable())
                return S_OK;
            HKEY key = nullptr;
            if (LSTATUS s = pkg.calls().reg_create_key(uninstall_root(pkg), component_key_path(pkg, id),
                                                       KEY_READ | KEY_WRITE, &key, transaction);
                s != ERROR_SUCCESS)
                return tavik::details::hresult_from_win32(s);
            // The entry is informational beside the installed files: a value that cannot be written
            // does not undo the installation.
            const std::uint64_t packed = pack_version(version);
            pkg.calls().reg_set_value(key, L"Version", REG_QWORD, &packed, sizeof(packed));
            const std::wstring source_text = source ? guid_to_string(source->id()) : std::wstring{};
            pkg.calls().reg_set_value(key, L"Source", REG_SZ, source_text.c_str(),
                                      static_cast<DWORD>((source_text.size() + 1) * sizeof(wchar_t)));
            const DWORD usage = publish ? 1 : 0;
            pkg.calls().reg_set_value(key, L"UsageCount", REG_DWORD, &usage, sizeof(usage));
            RegCloseKey(key);
            return S_OK;
        },
        L"Publish component " + id));
}

} // namespace tolvane
