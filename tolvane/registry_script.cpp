#include <tolvane/registry_script.h>

#include <boost/fusion/include/adapt_struct.hpp>
#include <boost/optional.hpp>
#include <boost/spirit/home/x3.hpp>
#include <boost/spirit/home/x3/support/ast/variant.hpp>

#include <cstdio>
#include <cstring>

#include <platform/ktm/ktm.h>
#include <tavik/error.h>
#include <tolvane/properties.h>

namespace tolvane {

namespace ast {

// The grammar's own records (Boost.Optional, as the parser library fills them), turned into the
// public ones after a parse.
struct value {
    std::uint32_t type = 0;
    std::wstring text;
};
struct key {
    boost::optional<std::uint32_t> kind;
    std::wstring name;
    boost::optional<value> val;
    std::vector<key> children;
};

} // namespace ast
} // namespace tolvane

BOOST_FUSION_ADAPT_STRUCT(tolvane::ast::value, type, text)
BOOST_FUSION_ADAPT_STRUCT(tolvane::ast::key, kind, name, val, children)

namespace tolvane {

namespace {

namespace x3 = boost::spirit::x3;
using iterator = std::wstring_view::const_iterator;
using x3::standard_wide::lit;
constexpr auto wlit(wchar_t c) { return x3::standard_wide::lit(c); }

// Blocks nested deeper than the bound end the parse before the recursion can exhaust the stack.
struct nesting_too_deep {
    iterator where;
};
struct depth_tag;

struct keywords_t : x3::symbols_parser<boost::spirit::char_encoding::standard_wide, std::uint32_t> {
    keywords_t() { add(L"val", script_kind_val)(L"NoRemove", script_kind_no_remove)(L"ForceRemove", script_kind_force_remove); }
} const keywords;

struct types_t : x3::symbols_parser<boost::spirit::char_encoding::standard_wide, std::uint32_t> {
    types_t() { add(L"s", 0)(L"d", 1); }
} const types;

const auto blank = x3::standard_wide::char_(L'\x09', L'\x0D') | x3::standard_wide::char_(L' ');
const auto blanks = x3::omit[*blank];
const auto above_ff = x3::standard_wide::char_(L'\x100', L'\xFFFF');
const auto latin1 = x3::standard_wide::char_(L'\x00', L'\xFF');

const x3::rule<struct id_class, std::wstring> id = "id";
const x3::rule<struct key_value_class, ast::value> key_value = "key_value";
const x3::rule<struct key_class, ast::key> key = "key";
// Forced attribute: the depth actions would otherwise switch off the rule's attribute.
const x3::rule<struct block_class, std::vector<ast::key>, true> block = "block";

const auto quoted = wlit(L'\'') > *(latin1 - wlit(L'\'')) > wlit(L'\'');
const auto bare = (x3::standard_wide::char_ - blank - wlit(L'}') - above_ff) >> *(x3::standard_wide::char_ - blank - above_ff);

const auto open_block = [](auto& ctx) {
    int& depth = x3::get<depth_tag>(ctx).get();
    if (++depth > max_script_depth)
        throw nesting_too_deep{x3::_where(ctx).begin()};
};
const auto close_block = [](auto& ctx) { --x3::get<depth_tag>(ctx).get(); };

const auto id_def = blanks >> (quoted | bare);
const auto key_value_def = blanks >> types >> id;
const auto block_def = (blanks >> wlit(L'{')[open_block] >> *key >> blanks > wlit(L'}')[close_block])
                       | x3::attr(std::vector<ast::key>{});
const auto key_def = blanks >> -keywords >> id >> -(blanks >> wlit(L'=') > key_value) >> block;

BOOST_SPIRIT_DEFINE(id, key_value, key, block)

std::optional<script_key> convert(ast::key&& k)
{
    script_key out;
    if (k.kind)
        out.kind = *k.kind;
    out.name = std::move(k.name);
    if (k.val)
        out.value = script_value{k.val->type, std::move(k.val->text)};
    for (auto& child : k.children)
        out.children.push_back(std::move(*convert(std::move(child))));
    return out;
}

std::wstring position(std::wstring_view text, iterator where)
{
    std::size_t line = 1, column = 1;
    for (auto it = text.begin(); it != where && it != text.end(); ++it) {
        if (*it == L'\n') {
            ++line;
            column = 1;
        } else {
            ++column;
        }
    }
    return line_column_text(line, column);
}

std::wstring code_unit_text(wchar_t c)
{
    wchar_t buffer[16];
    std::swprintf(buffer, 16, L"U+%04X", static_cast<unsigned>(c));
    return buffer;
}

std::wstring expected_text(const std::string& which)
{
    if (which == "key_value")
        return L"a value after \"=\" (s or d, then a text)";
    if (which.find('}') != std::string::npos || which.find("close_block") != std::string::npos)
        return L"\"}\" closing the block";
    if (which.find('\'') != std::string::npos)
        return L"\"'\" closing the quoted text";
    return std::wstring(which.begin(), which.end());
}

// Why the parse stopped at `where` (not at the end of the text).
std::wstring stop_reason(std::wstring_view text, iterator where, bool any_statement)
{
    if (where != text.end()) {
        wchar_t c = *where;
        if (c == 0xFEFF && where == text.begin())
            return L"a statement, found a UTF-8 byte-order mark (save the script without it)";
        if (c > 0xFF)
            return L"characters up to U+00FF, found " + code_unit_text(c);
    }
    if (!any_statement)
        return L"a statement (a root key)";
    return L"a statement or the end of the script";
}

} // namespace

std::vector<script_key> parse_registry_script(std::wstring_view text, const std::wstring& file)
{
    std::vector<ast::key> keys;
    iterator first = text.begin();
    int depth = 0;
    bool ok = false;
    try {
        ok = x3::parse(first, text.end(), x3::with<depth_tag>(std::ref(depth))[+key] >> blanks, keys);
    } catch (const x3::expectation_failure<iterator>& e) {
        // An unterminated quoted text stops at the end or at a code unit above U+00FF.
        // Rules start with blanks: name the first thing that is not one.
        iterator at = e.where();
        const bool in_quote = e.which().find('\'') != std::string::npos;
        while (!in_quote && at != text.end() && ((*at >= 9 && *at <= 13) || *at == L' '))
            ++at;
        std::wstring expected = expected_text(e.which());
        if (at != text.end() && *at > 0xFF)
            expected += L", found " + code_unit_text(*at);
        else if (at == text.end())
            expected += L", found the end of the script";
        throw registry_script_error(file, position(text, at), expected, true);
    } catch (const nesting_too_deep& e) {
        throw registry_script_error(file, position(text, e.where),
                                    L"blocks nested at most " + std::to_wstring(max_script_depth) + L" deep", false);
    }
    if (!ok || first != text.end()) {
        // On a failed parse the position is where the statements ended; name the first non-blank.
        iterator at = ok ? first : text.begin();
        while (at != text.end() && ((*at >= 9 && *at <= 13) || *at == L' '))
            ++at;
        if (!ok && at != text.end() && *at != 0xFEFF && *at <= 0xFF)
            at = text.begin(); // nothing parsed at all: the start
        throw registry_script_error(file, position(text, at), stop_reason(text, at, ok), false);
    }
    std::vector<script_key> out;
    out.reserve(keys.size());
    for (auto& k : keys)
        out.push_back(std::move(*convert(std::move(k))));
    return out;
}

std::wstring read_registry_script(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    auto fail = [&](const wchar_t* expected) {
        const HRESULT hr = tavik::details::hresult_from_win32(static_cast<std::int32_t>(GetLastError()));
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        throw config_error(hr, path, {}, std::wstring(expected) + L": " + tavik::details::hresult_error_impl::message(hr));
    };
    if (h == INVALID_HANDLE_VALUE)
        fail(L"a readable registry script");
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h, &size))
        fail(L"a registry script whose size can be read");
    if (size.QuadPart > 16 * 1024 * 1024) {
        CloseHandle(h);
        throw config_error(E_INVALIDARG, path, {}, L"a registry script of at most 16 MiB");
    }
    std::string bytes(static_cast<std::size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    if (!bytes.empty() && (!ReadFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &read, nullptr) || read != bytes.size()))
        fail(L"the whole registry script");
    CloseHandle(h);
    if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE) {
        std::wstring text(bytes.size() / 2 - 1, L'\0');
        std::memcpy(text.data(), bytes.data() + 2, text.size() * 2);
        return text;
    }
    if (bytes.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
    std::wstring text(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), n);
    return text;
}

std::wstring expand_script_text(std::wstring_view text, const std::vector<std::pair<std::wstring, std::wstring>>& variables)
{
    std::wstring converted;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'%') {
            converted.push_back(text[i]);
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == L'%') {
            converted.push_back(L'%');
            ++i;
            continue;
        }
        std::size_t close = text.find(L'%', i + 1);
        if (close == std::wstring_view::npos) {
            converted.append(text.substr(i));
            break;
        }
        converted += L"$(";
        converted.append(text.substr(i + 1, close - i - 1));
        converted += L")";
        i = close;
    }
    property_table table;
    for (const auto& [name, value] : variables)
        table.add(name, value);
    return expand_properties(table, converted, true);
}

namespace {

// A key the walk has open: its predefined root and full path, so that the transaction's calls
// always name keys from a root.
struct open_key {
    HKEY root = nullptr;
    std::wstring path;
    HKEY handle = nullptr;
    bool is_root = false;
};

constexpr REGSAM key_read_write = KEY_READ | KEY_WRITE;

class walker {
public:
    explicit walker(const script_context& c) : c_(c) {}

    open_key resolve_root(const std::wstring& name)
    {
        open_key k;
        k.is_root = true;
        if (name == L"HKLM" || name == L"HKEY_LOCAL_MACHINE") {
            k.root = k.handle = HKEY_LOCAL_MACHINE;
        } else if (name == L"HKCU" || name == L"HKEY_CURRENT_USER") {
            k.root = k.handle = HKEY_CURRENT_USER;
        } else if (name == L"HKCR" || name == L"HKEY_CLASSES_ROOT") {
            k.root = c_.per_user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
            k.path = L"Software\\Classes";
            k.handle = nullptr;
            if (c_.calls->reg_create_key(k.root, k.path, key_read_write | c_.view_flags, &k.handle, c_.transaction)
                != ERROR_SUCCESS)
                k.handle = nullptr;
            k.is_root = false; // opened here, closed here, but never deleted
        } else {
            throw registry_script_error(c_.file, L"top-level key \"" + name + L"\"",
                                        L"a registry root (HKLM, HKCU, HKCR, HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER "
                                        L"or HKEY_CLASSES_ROOT)",
                                        false);
        }
        return k;
    }

    bool open_child(const open_key& parent, const std::wstring& name, REGSAM extra, open_key& child)
    {
        child.root = parent.root;
        child.path = parent.path.empty() ? name : parent.path + L"\\" + name;
        return c_.calls->reg_create_key(child.root, child.path, key_read_write | c_.view_flags | extra, &child.handle,
                                        c_.transaction)
               == ERROR_SUCCESS;
    }

    static void close(open_key& k)
    {
        if (k.handle && !k.is_root)
            RegCloseKey(k.handle);
        k.handle = nullptr;
    }

    void register_key(const open_key* parent, const script_key& record)
    {
        open_key own;
        const open_key* target = parent;
        std::wstring value_name;
        if (record.kind == script_kind_val) {
            value_name = record.name;
        } else if (parent) {
            if (!open_child(*parent, expand_script_text(record.name, c_.variables), 0, own))
                return;
            target = &own;
        } else {
            own = resolve_root(record.name);
            target = &own;
        }
        if (record.value && target && target->handle) {
            if (record.value->type == 0) {
                std::wstring text = expand_script_text(record.value->text, c_.variables);
                c_.calls->reg_set_value(target->handle, value_name, REG_SZ, text.data(),
                                        static_cast<DWORD>(text.size() * sizeof(wchar_t)));
            } else {
                std::uint32_t n = 0;
                for (wchar_t ch : record.value->text) {
                    if (ch < L'0' || ch > L'9')
                        break;
                    n = n * 10u + static_cast<std::uint32_t>(ch - L'0');
                }
                c_.calls->reg_set_value(target->handle, value_name, REG_DWORD, &n, sizeof n);
            }
        }
        for (const auto& child : record.children)
            if (target)
                register_key(target, child);
        close(own);
    }

    void unregister_key(const open_key* parent, const script_key& record)
    {
        open_key own;
        const open_key* target = parent;
        std::optional<std::uint32_t> kind = record.kind;
        std::wstring name;
        if (kind == script_kind_val) {
            if (record.value && parent && parent->handle)
                c_.calls->reg_delete_value(parent->handle, record.name);
            if (record.value)
                return;
        } else if (parent) {
            name = expand_script_text(record.name, c_.variables);
            if (!open_child(*parent, name, DELETE, own))
                return;
            target = &own;
            if (kind == script_kind_force_remove)
                c_.calls->reg_delete_tree(own.handle);
        } else {
            own = resolve_root(record.name);
            target = &own;
            kind = script_kind_no_remove;
        }
        if (kind != script_kind_force_remove)
            for (const auto& child : record.children)
                if (target)
                    unregister_key(target, child);
        const bool deletable = kind != script_kind_no_remove && target != parent;
        std::wstring path = own.path;
        HKEY root = own.root;
        close(own);
        if (deletable)
            c_.calls->reg_delete_key(root, path, c_.view_flags, c_.transaction);
    }

private:
    const script_context& c_;
};

} // namespace

void run_registry_script(const std::vector<script_key>& keys, bool do_register, const script_context& context)
{
    walker w(context);
    for (const auto& k : keys) {
        if (do_register)
            w.register_key(nullptr, k);
        else
            w.unregister_key(nullptr, k);
    }
}

void load_registry_script(const std::wstring& path, bool do_register, bool per_user, std::uint32_t view_flags,
                          std::vector<std::pair<std::wstring, std::wstring>> variables, HANDLE transaction,
                          platform::ktm::transacted_calls& calls)
{
    std::wstring text = read_registry_script(path);
    auto keys = parse_registry_script(text, path);
    script_context context;
    context.calls = &calls;
    context.transaction = transaction;
    context.view_flags = view_flags;
    context.per_user = per_user;
    context.variables = std::move(variables);
    context.file = path;
    run_registry_script(keys, do_register, context);
}

} // namespace tolvane
