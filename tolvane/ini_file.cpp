#include <tolvane/ini_file.h>

#include <cstring>

#include <windows.h>

#include <tavik/io/overlapped_io.h>
#include <tavik/thread_pool.h>
#include <tavik/unique_handle.h>
#include <tolvane/config_error.h>

namespace tolvane {

namespace {

using tavik::details::hresult_from_win32;

bool is_line_end(wchar_t c) noexcept { return c == L'\r' || c == L'\n'; }

// Line and column (from 1) of the code unit at `offset`.
std::wstring position_text(const wchar_t* text, std::size_t offset)
{
    std::size_t line = 1, column = 1;
    for (std::size_t i = 0; i < offset; ++i) {
        if (text[i] == L'\n' || (text[i] == L'\r' && (i + 1 == offset || text[i + 1] != L'\n'))) {
            ++line;
            column = 1;
        } else if (text[i] != L'\r') {
            ++column;
        }
    }
    return line_column_text(line, column);
}

// Binary content: a text file holds no NUL character. The first one is named.
void check_text(const std::wstring& path, const wchar_t* text, std::size_t length)
{
    for (std::size_t i = 0; i < length; ++i)
        if (text[i] == L'\0')
            throw config_error(hresult_from_win32(ERROR_INVALID_DATA), path, position_text(text, i),
                               L"text, found a NUL character (binary file?)");
}

} // namespace

std::wstring line_column_text(std::size_t line, std::size_t column)
{
    return L"line " + std::to_wstring(line) + L", column " + std::to_wstring(column);
}

std::wstring_view ini_file_t::Section::get_text(std::wstring_view key) const
{
    auto it = values_.find(key);
    return it == values_.end() ? std::wstring_view{} : it->second;
}

std::uint32_t ini_file_t::Section::get_number(std::wstring_view key, std::uint32_t fallback) const
{
    auto it = values_.find(key);
    if (it == values_.end())
        return fallback;
    std::uint32_t n = 0;
    for (wchar_t c : it->second) {
        if (c < L'0' || c > L'9')
            break;
        n = n * 10 + static_cast<std::uint32_t>(c - L'0');
    }
    return n;
}

std::vector<std::wstring> ini_file_t::Section::get_vector(std::wstring_view key) const
{
    std::vector<std::wstring> items;
    std::wstring_view value = get_text(key);
    if (value.empty())
        return items;
    for (;;) {
        std::size_t comma = value.find(L',');
        items.emplace_back(value.substr(0, comma));
        if (comma == std::wstring_view::npos)
            break;
        value.remove_prefix(comma + 1);
    }
    return items;
}

std::wstring_view ini_file_t::Section::require_text(std::wstring_view key) const
{
    auto it = values_.find(key);
    if (it == values_.end())
        throw config_error(E_INVALIDARG, file_ ? file_->path() : std::wstring(L"config.ini"),
                           L"[" + std::wstring(name_) + L"] " + std::wstring(key), L"a value, the key is missing");
    return it->second;
}

const ini_file_t::Section* ini_file_t::find_section(std::wstring_view name) const
{
    auto it = sections_.find(name);
    return it == sections_.end() ? nullptr : &it->second;
}

const ini_file_t::Section& ini_file_t::require_section(std::wstring_view name) const
{
    if (const Section* s = find_section(name))
        return *s;
    throw config_error(E_INVALIDARG, path_, L"[" + std::wstring(name) + L"]", L"this section, it is missing");
}

void ini_file_t::parse_text(std::wstring_view text)
{
    converted_ = std::make_unique<wchar_t[]>(text.size() + 2);
    std::memcpy(converted_.get(), text.data(), text.size() * sizeof(wchar_t));
    parse_ini_text(converted_.get(), text.size());
}

void ini_file_t::parse_ini_text(wchar_t* text, std::size_t length)
{
    text[length] = L'\r';
    text[length + 1] = L'\n';
    const wchar_t* const end = text + length;
    Section* current = nullptr;

    const wchar_t* p = text;
    while (p < end) {
        while (p < end && (*p == L' ' || *p == L'\t'))
            ++p;
        if (p >= end)
            break;
        if (is_line_end(*p)) {
            ++p;
            continue;
        }
        // The sentinel guarantees a line end before the buffer's end.
        const wchar_t* line_end = p;
        while (!is_line_end(*line_end))
            ++line_end;

        if (*p == L'[') {
            // The name drops the line's last character (normally "]"). A lone "[" is its own last
            // character: the name is then empty, not of negative length.
            const wchar_t* name_begin = p + 1;
            const wchar_t* name_end = line_end - 1 < name_begin ? name_begin : line_end - 1;
            std::wstring_view name(name_begin, static_cast<std::size_t>(name_end - name_begin));
            auto [it, added] = sections_.try_emplace(name);
            if (added) {
                it->second.name_ = name;
                it->second.file_ = this;
            }
            current = &it->second;
        } else if (*p != L';' && current) {
            const wchar_t* eq = p;
            while (eq < line_end && *eq != L'=')
                ++eq;
            if (eq < line_end && eq + 1 < line_end) {
                std::wstring_view key(p, static_cast<std::size_t>(eq - p));
                std::wstring_view value(eq + 1, static_cast<std::size_t>(line_end - eq - 1));
                current->values_.try_emplace(key, value);
            }
        }
        p = line_end;
    }
}

tavik::details::future<void> read_text_file_async(std::wstring path, ini_file_t& target)
{
    using tavik::details::hresult_error_impl;
    target.path_ = path;

    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_OVERLAPPED, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        const HRESULT hr = hresult_from_win32(static_cast<std::int32_t>(GetLastError()));
        throw config_error(hr, path, {}, L"a readable file: " + hresult_error_impl::message(hr));
    }
    tavik::unique_file owner(h);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h, &size))
        throw config_error(hresult_from_win32(static_cast<std::int32_t>(GetLastError())), path, {},
                           L"a file whose size can be read");
    if (static_cast<std::uint64_t>(size.QuadPart) > max_ini_file_size)
        throw config_error(E_INVALIDARG, path, {},
                           L"at most 2 MiB, the file has " + std::to_wstring(size.QuadPart) + L" bytes");
    const auto bytes = static_cast<std::uint32_t>(size.QuadPart);

    auto raw = std::make_unique<std::byte[]>(bytes + 4);
    HRESULT failure = S_OK;
    std::uint32_t read = 0;
    try {
        tavik::io::overlapped_file file(owner.release());
        read = co_await file.read(0, raw.get(), bytes);
    } catch (const hresult_error_impl& e) {
        failure = e.code();
    }
    if (failure < 0)
        throw config_error(failure, path, {}, L"a readable file: " + hresult_error_impl::message(failure));
    if (read != bytes)
        throw config_error(hresult_from_win32(ERROR_HANDLE_EOF), path, {},
                           L"the whole file, it changed while it was read");

    if (bytes >= 2 && raw[0] == std::byte{0xFF} && raw[1] == std::byte{0xFE}) {
        auto* text = reinterpret_cast<wchar_t*>(raw.get()) + 1;
        std::size_t length = bytes / 2 - 1;
        if (bytes % 2 != 0)
            throw config_error(hresult_from_win32(ERROR_INVALID_DATA), path, position_text(text, length),
                               L"UTF-16 text of whole code units, the file ends in half of one");
        check_text(path, text, length);
        target.raw_ = std::move(raw);
        target.parse_ini_text(text, length);
        co_return;
    }

    auto converted = std::make_unique<wchar_t[]>(std::size_t(bytes) + 2);
    int length = 0;
    if (bytes > 0) {
        length = MultiByteToWideChar(CP_ACP, 0, reinterpret_cast<const char*>(raw.get()), static_cast<int>(bytes),
                                     converted.get(), static_cast<int>(bytes));
        if (length == 0)
            throw config_error(hresult_from_win32(static_cast<std::int32_t>(GetLastError())), path, {},
                               L"text in the system's ANSI code page");
    }
    raw.reset();
    check_text(path, converted.get(), static_cast<std::size_t>(length));
    target.converted_ = std::move(converted);
    target.parse_ini_text(target.converted_.get(), static_cast<std::size_t>(length));
}

} // namespace tolvane
