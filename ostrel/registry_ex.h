#pragma once
// Registry access of the window programs: key references opened on first use, value references with
// typed reads that never throw, and writes that report the registry's own error.
//
// A key reference (root, path, optional kernel transaction) opens or creates its key with
// KEY_READ | KEY_WRITE on the first write, through the transacted functions when a transaction is
// set. A value reference reads its key opened KEY_READ, or creates it first when it is not
// open-only (the link colour's read does that). Reads give an empty or absent result for a key that
// cannot be opened, a missing value, a value of another type or of a size that does not fit it, or
// one that changed between the size query and the read.

#include <windows.h>

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace Ostrel::registry_ex {

class generic_exception : public std::exception {
public:
    explicit generic_exception(const char* message) noexcept : message_(message) {}
    const char* what() const noexcept override { return message_; }

private:
    const char* message_;
};

class error_creating_key : public generic_exception {
public:
    explicit error_creating_key(LSTATUS error) noexcept
        : generic_exception("error creating key"), error_(static_cast<std::uint32_t>(error))
    {
    }
    std::uint32_t error() const noexcept { return error_; }

private:
    std::uint32_t error_;
};

class key {
public:
    key(HKEY root, std::wstring path, HANDLE transaction = nullptr) noexcept
        : root_(root), path_(std::move(path)), transaction_(transaction)
    {
    }
    key(const key& other) : root_(other.root_), path_(other.path_), transaction_(other.transaction_) {}
    key& operator=(const key&) = delete;
    ~key();

    HKEY root() const noexcept { return root_; }
    const std::wstring& path() const noexcept { return path_; }
    HANDLE transaction() const noexcept { return transaction_; }

    // Opens the key with MAXIMUM_ALLOWED and closes it again: whether that succeeded.
    bool exists() const noexcept;
    // The reference parent\name with the same root and transaction.
    key subkey(std::wstring_view name) const;
    // The key's handle, opened or created (KEY_READ | KEY_WRITE) on first use; raises
    // error_creating_key when that fails.
    HKEY handle();

private:
    HKEY root_;
    std::wstring path_;
    HANDLE transaction_;
    HKEY handle_ = nullptr;
};

class value {
public:
    // A value under root\path; open-only reads never create the key.
    value(HKEY root, std::wstring path, std::wstring name, bool open_only = true, HANDLE transaction = nullptr)
        : root_(root), path_(std::move(path)), name_(std::move(name)), transaction_(transaction), open_only_(open_only)
    {
    }
    // A value of a key reference: reads open the key, the first write creates it.
    value(const key& k, std::wstring name) : value(k.root(), k.path(), std::move(name), true, k.transaction()) {}
    // A value under a key handle that belongs to the caller (not closed here).
    value(HKEY borrowed, std::wstring name) : root_(nullptr), name_(std::move(name)), handle_(borrowed), borrowed_(true)
    {
        writable_ = true;
    }
    value(const value&) = delete;
    value& operator=(const value&) = delete;
    ~value();

    // The REG_SZ value without its trailing NULs; empty on every failure (never throws).
    std::optional<std::wstring> get_optional_string() noexcept;
    std::wstring get_string(std::wstring_view fallback = {}) noexcept;
    // A REG_QWORD or REG_DWORD of exactly 8 or 4 bytes.
    std::optional<std::uint64_t> get_qword() noexcept;
    // A REG_DWORD of exactly 4 bytes, true when not 0.
    std::optional<bool> get_bool() noexcept;

    // Writes create the key when missing (error_creating_key when that fails) and return the result
    // of RegSetValueExW. A REG_SZ is stored with its terminating zero, as readers expect.
    LSTATUS set_string(std::wstring_view text);
    LSTATUS set_dword(std::uint32_t number);
    LSTATUS set_qword(std::uint64_t number);

private:
    // Opens (or creates) the key for reading; false when it cannot be had.
    bool open_for_read() noexcept;
    void open_for_write();
    LSTATUS set(DWORD type, const void* data, DWORD size);
    void close() noexcept;

    HKEY root_;
    std::wstring path_;
    std::wstring name_;
    HANDLE transaction_ = nullptr;
    HKEY handle_ = nullptr;
    bool borrowed_ = false;
    bool open_only_ = true;
    bool writable_ = false;
};

// Reads a REG_SZ value of an open key (trailing NULs dropped); empty on every failure.
std::optional<std::wstring> query_string_value(HKEY handle, const wchar_t* name) noexcept;

} // namespace Ostrel::registry_ex
