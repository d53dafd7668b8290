#include <ostrel/registry_ex.h>

#include <platform/transacted_registry/transacted_registry.h>

#include <utility>

namespace Ostrel::registry_ex {
namespace {

LSTATUS open_key(HKEY root, const std::wstring& path, REGSAM access, HANDLE transaction, HKEY* result) noexcept
{
    if (transaction)
        return platform::registry::open_key_transacted(root, path.c_str(), 0, access, result, transaction);
    return RegOpenKeyExW(root, path.c_str(), 0, access, result);
}

LSTATUS create_key(HKEY root, const std::wstring& path, REGSAM access, HANDLE transaction, HKEY* result) noexcept
{
    DWORD disposition = 0;
    if (transaction)
        return platform::registry::create_key_transacted(root, path.c_str(), REG_OPTION_NON_VOLATILE, access, result,
                                                         &disposition, transaction);
    return RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, result,
                           &disposition);
}

} // namespace

std::optional<std::wstring> query_string_value(HKEY handle, const wchar_t* name) noexcept
{
    try {
        DWORD type = 0;
        DWORD size = 0;
        if (RegQueryValueExW(handle, name, nullptr, &type, nullptr, &size) != ERROR_SUCCESS || type != REG_SZ ||
            size % sizeof(wchar_t) != 0)
            return std::nullopt;
        // One unit more than the value needs: a value that grew between the two queries does not fit
        // and fails the read instead of coming back cut short.
        std::wstring text(size / sizeof(wchar_t) + 1, L'\0');
        DWORD read_size = static_cast<DWORD>(text.size() * sizeof(wchar_t));
        DWORD read_type = 0;
        if (RegQueryValueExW(handle, name, nullptr, &read_type, reinterpret_cast<BYTE*>(text.data()), &read_size) !=
                ERROR_SUCCESS ||
            read_type != REG_SZ || read_size % sizeof(wchar_t) != 0)
            return std::nullopt;
        text.resize(read_size / sizeof(wchar_t));
        while (!text.empty() && text.back() == L'\0')
            text.pop_back();
        return text;
    } catch (...) {
        return std::nullopt;
    }
}

key::~key()
{
    if (handle_)
        RegCloseKey(handle_);
}

bool key::exists() const noexcept
{
    HKEY h = nullptr;
    if (open_key(root_, path_, MAXIMUM_ALLOWED, transaction_, &h) != ERROR_SUCCESS)
        return false;
    RegCloseKey(h);
    return true;
}

key key::subkey(std::wstring_view name) const
{
    std::wstring path = path_;
    if (!path.empty())
        path += L'\\';
    path += name;
    return key(root_, std::move(path), transaction_);
}

HKEY key::handle()
{
    if (!handle_) {
        const LSTATUS status = create_key(root_, path_, KEY_READ | KEY_WRITE, transaction_, &handle_);
        if (status != ERROR_SUCCESS) {
            handle_ = nullptr;
            throw error_creating_key(status);
        }
    }
    return handle_;
}

value::~value() { close(); }

void value::close() noexcept
{
    if (handle_ && !borrowed_)
        RegCloseKey(handle_);
    handle_ = nullptr;
}

bool value::open_for_read() noexcept
{
    if (handle_)
        return true;
    HKEY h = nullptr;
    const LSTATUS status = open_only_ ? open_key(root_, path_, KEY_READ, transaction_, &h)
                                      : create_key(root_, path_, KEY_READ, transaction_, &h);
    if (status != ERROR_SUCCESS)
        return false;
    handle_ = h;
    writable_ = false;
    return true;
}

void value::open_for_write()
{
    if (handle_ && writable_)
        return;
    HKEY h = nullptr;
    const LSTATUS status = create_key(root_, path_, KEY_READ | KEY_WRITE, transaction_, &h);
    if (status != ERROR_SUCCESS)
        throw error_creating_key(status);
    close();
    handle_ = h;
    writable_ = true;
}

std::optional<std::wstring> value::get_optional_string() noexcept
{
    if (!open_for_read())
        return std::nullopt;
    return query_string_value(handle_, name_.c_str());
}

std::wstring value::get_string(std::wstring_view fallback) noexcept
{
    try {
        if (auto text = get_optional_string())
            return std::move(*text);
        return std::wstring(fallback);
    } catch (...) {
        return {};
    }
}

std::optional<std::uint64_t> value::get_qword() noexcept
{
    if (!open_for_read())
        return std::nullopt;
    std::uint64_t number = 0;
    DWORD type = 0;
    DWORD size = sizeof(number);
    if (RegQueryValueExW(handle_, name_.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&number), &size) !=
        ERROR_SUCCESS)
        return std::nullopt;
    if ((type == REG_QWORD && size == 8) || (type == REG_DWORD && size == 4))
        return number;
    return std::nullopt;
}

std::optional<bool> value::get_bool() noexcept
{
    if (!open_for_read())
        return std::nullopt;
    std::uint64_t number = 0;
    DWORD type = 0;
    DWORD size = sizeof(number);
    if (RegQueryValueExW(handle_, name_.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&number), &size) !=
            ERROR_SUCCESS ||
        type != REG_DWORD || size != 4)
        return std::nullopt;
    return number != 0;
}

LSTATUS value::set(DWORD type, const void* data, DWORD size)
{
    open_for_write();
    return RegSetValueExW(handle_, name_.c_str(), 0, type, static_cast<const BYTE*>(data), size);
}

LSTATUS value::set_string(std::wstring_view text)
{
    const std::wstring terminated(text);
    const std::size_t bytes = (terminated.size() + 1) * sizeof(wchar_t);
    if (bytes > 0xFFFFFFFFu)
        return ERROR_INVALID_PARAMETER;
    return set(REG_SZ, terminated.c_str(), static_cast<DWORD>(bytes));
}

LSTATUS value::set_dword(std::uint32_t number) { return set(REG_DWORD, &number, sizeof(number)); }

LSTATUS value::set_qword(std::uint64_t number) { return set(REG_QWORD, &number, sizeof(number)); }

} // namespace Ostrel::registry_ex
