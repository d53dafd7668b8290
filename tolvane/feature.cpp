#include <tolvane/feature.h>

#include <cstring>

#include <quillo/render.h>
#include <tavik/error.h>
#include <tolvane/action_queue.h>
#include <tolvane/component.h>
#include <tolvane/guid.h>
#include <tolvane/ini_file.h>
#include <tolvane/package.h>
#include <tolvane/uninstall_entry.h>

namespace tolvane {

namespace {

constexpr HRESULT not_found = static_cast<HRESULT>(0x80070490);

int hex_value(wchar_t c) noexcept
{
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

// `digits` hex digits at `at`; false when any is not one.
bool read_hex(std::wstring_view text, std::size_t at, std::size_t digits, std::uint64_t& out) noexcept
{
    out = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        int v = hex_value(text[at + i]);
        if (v < 0)
            return false;
        out = out << 4 | static_cast<std::uint64_t>(v);
    }
    return true;
}

std::wstring feature_key_path(const package& pkg, const GUID& id)
{
    return uninstall_key_path(pkg) + L"\\Features\\" + guid_to_string(id);
}

} // namespace

bool is_null_guid(const GUID& id) noexcept
{
    static const GUID zero{};
    return std::memcmp(&id, &zero, sizeof(GUID)) == 0;
}

GUID parse_guid(std::wstring_view t) noexcept
{
    // {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}: 38 characters.
    GUID id{};
    if (t.size() != 38 || t[0] != L'{' || t[37] != L'}' || t[9] != L'-' || t[14] != L'-' || t[19] != L'-'
        || t[24] != L'-')
        return GUID{};
    std::uint64_t v;
    if (!read_hex(t, 1, 8, v))
        return GUID{};
    id.Data1 = static_cast<std::uint32_t>(v);
    if (!read_hex(t, 10, 4, v))
        return GUID{};
    id.Data2 = static_cast<std::uint16_t>(v);
    if (!read_hex(t, 15, 4, v))
        return GUID{};
    id.Data3 = static_cast<std::uint16_t>(v);
    static constexpr std::size_t byte_at[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (int i = 0; i < 8; ++i) {
        if (!read_hex(t, byte_at[i], 2, v))
            return GUID{};
        id.Data4[i] = static_cast<std::uint8_t>(v);
    }
    return id;
}

std::wstring format_byte_size(std::int64_t n)
{
    if (n >= 0 && n <= 1023)
        return quillo::format(L"{0l} bytes", static_cast<std::uint64_t>(n));
    const auto u = static_cast<std::uint64_t>(n);
    if (n >= 1024 && n < (1 << 20))
        return quillo::format(L"{0lp2} KB", static_cast<double>(u) / 1024.0);
    if (n < 0 || u > (1u << 30) - 1)
        return quillo::format(L"{0lp2} GB", static_cast<double>(u) / double(1u << 30));
    return quillo::format(L"{0lp2} MB", static_cast<double>(u) / double(1u << 20));
}

void feature_t::load(std::wstring_view feature_id, const ini_file_t& sections, package& pkg)
{
    owner = &pkg;
    id = feature_id;
    const ini_file_t::Section* section = sections.find_section(L"Feature_" + id);
    if (!section)
        tavik::details::throw_hresult(not_found);
    description = section->get_text(L"description");
    if (is_null_guid(guid)) {
        // The root, or a child whose id did not parse: always there.
        required = selected = default_selected = true;
    } else {
        required = section->get_number(L"required") != 0;
        const std::uint32_t selected_number = section->get_number(L"selected");
        selected = selected_number != 0;
        default_selected = section->get_number(L"default", selected_number) != 0;
        addifmissing = section->get_number(L"addifmissing") != 0;
        startmenu = section->get_number(L"startmenu") != 0;
        conditions = section->get_vector(L"conditions");
    }
    for (const std::wstring& component_id : section->get_vector(L"components"))
        if (component_t* c = pkg.find_component(component_id))
            components.push_back(c);
    for (const std::wstring& child_id : section->get_vector(L"children")) {
        const ini_file_t::Section* child_section = sections.find_section(L"Feature_" + child_id);
        if (!child_section)
            tavik::details::throw_hresult(not_found);
        const std::wstring_view id_text = child_section->get_text(L"id");
        if (id_text.empty())
            continue;
        auto child = std::make_unique<feature_t>();
        child->guid = parse_guid(id_text);
        child->parent = this;
        child->load(child_id, sections, pkg);
        children.push_back(std::move(child));
    }
}

void feature_t::read_installed_state(HKEY root, const std::wstring& product_key, bool addifmissing_applies)
{
    if (!is_null_guid(guid)) {
        HKEY key = nullptr;
        const std::wstring path = product_key + L"\\Features\\" + guid_to_string(guid);
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
            DWORD type = 0, value = 0, size = sizeof(value);
            const bool read = RegQueryValueExW(key, L"CurrentState", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size)
                                  == ERROR_SUCCESS
                              && type == REG_DWORD && size == 4;
            RegCloseKey(key);
            installed = selected = read && value != 0;
        } else {
            installed = addifmissing_applies && addifmissing;
        }
    }
    for (auto& child : children)
        child->read_installed_state(root, product_key, addifmissing_applies);
}

void feature_t::collect_selection(std::vector<feature_selection>& out) const
{
    if (!is_null_guid(guid)) {
        feature_selection record{};
        record.id = guid;
        record.selected = selected ? 1 : 0;
        out.push_back(record);
    }
    for (const auto& child : children)
        child->collect_selection(out);
}

void feature_t::apply_selection(const std::vector<feature_selection>& records)
{
    if (!is_null_guid(guid)) {
        for (const feature_selection& record : records) {
            if (std::memcmp(&record.id, &guid, sizeof(GUID)) == 0) {
                selected = record.selected != 0;
                break;
            }
        }
    }
    for (auto& child : children)
        child->apply_selection(records);
}

void feature_t::show_checked()
{
    if (!tree_window || !tree_item)
        return;
    TVITEMW item{};
    item.mask = TVIF_IMAGE | TVIF_SELECTEDIMAGE;
    item.hItem = tree_item;
    item.iImage = item.iSelectedImage = selected ? 1 : 0;
    SendMessageW(tree_window, TVM_SETITEMW, 0, reinterpret_cast<LPARAM>(&item));
}

void feature_t::set_checked(int state, bool with_children)
{
    int handed_on = state;
    if (!required) {
        const bool value = state == -1 ? !selected : state != 0;
        if (state != -1 && selected == value)
            return;
        selected = value;
        show_checked();
        handed_on = value ? 1 : 0;
    }
    if (with_children)
        for (auto& child : children)
            child->set_checked(handed_on, true);
    if (!selected)
        return;
    if (parent)
        parent->set_checked(1, false);
}

void feature_t::reset_selection()
{
    selected = default_selected;
    show_checked();
    for (auto& child : children)
        child->reset_selection();
}

std::uint64_t feature_t::space_required() const
{
    std::uint64_t total = 0;
    for (const component_t* c : components)
        total += c->size;
    for (const auto& child : children)
        if (child->selected)
            total += child->space_required();
    return total;
}

std::wstring feature_t::description_text() const
{
    const std::uint64_t total = space_required();
    if (total == 0)
        return description;
    return description + L"\r\n\r\nSpace required: " + format_byte_size(static_cast<std::int64_t>(total));
}

void feature_t::publish(ActionQueue& queue)
{
    if (is_null_guid(guid))
        return;
    queue.add(std::make_unique<generic_action>(
        [this](package& pkg, ActionQueue*, HANDLE transaction) -> HRESULT {
            if (pkg.is_portable())
                return S_OK;
            HKEY key = nullptr;
            if (LSTATUS s = pkg.calls().reg_create_key(uninstall_root(pkg), feature_key_path(pkg, guid), KEY_READ | KEY_WRITE,
                                                       &key, transaction);
                s != ERROR_SUCCESS)
                return tavik::details::hresult_from_win32(s);
            const DWORD state = selected ? 1 : 0;
            pkg.calls().reg_set_value(key, L"CurrentState", REG_DWORD, &state, sizeof(state));
            RegCloseKey(key);
            return S_OK;
        },
        L"Publish feature " + id));
}

feature_t* feature_t::find(const GUID& wanted)
{
    if (std::memcmp(&wanted, &guid, sizeof(GUID)) == 0)
        return this;
    for (auto& child : children)
        if (feature_t* f = child->find(wanted))
            return f;
    return nullptr;
}

} // namespace tolvane
