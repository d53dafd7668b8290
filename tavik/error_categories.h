#pragma once
// The four error categories of the store engine and the front end. Results that travel as values
// (the engine's results, replies on the pipe) carry std::error_code values of these categories.
// Messages are UTF-8.

#include <windows.h>

#include <string>
#include <system_error>

namespace dedup {

class CommonErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override;
    std::string message(int code) const override;
};

class CreateErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override;
    std::string message(int code) const override;
};

class InternalErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override;
    std::string message(int code) const override;
};

// Every code is an HRESULT; its message is the system's text for it.
class HRErrorCategory final : public std::error_category {
public:
    const char* name() const noexcept override;
    std::string message(int code) const override;
};

extern const CommonErrorCategory common_error_category;     // "dedup.common"
extern const CreateErrorCategory create_error_category;     // "dedup.create"
extern const InternalErrorCategory internal_error_category; // "dedup.internal"
extern const HRErrorCategory hr_error_category;             // "dedup.io"

enum class common_error : int {
    already_initialized = 1, // "Already initialized"
    not_found = 2,           // "Not found"
};

enum class create_error : int {
    folder_already_exists = 1, // "Folder already exists"
    folder_invalid = 2,        // "Folder is invalid"
    folder_already_opened = 3, // "Folder is already opened by another instance"
};

enum class internal_error : int {
    invariant_broken = 1,  // "Internal invariant totally broken"
    hash_collision = 2,    // "Hash collision detected!"
    parent_not_folder = 3, // "The parent is not a folder or does not exist. ..."
};

inline std::error_code make_error_code(common_error e) noexcept { return {int(e), common_error_category}; }
inline std::error_code make_error_code(create_error e) noexcept { return {int(e), create_error_category}; }
inline std::error_code make_error_code(internal_error e) noexcept { return {int(e), internal_error_category}; }

// An HRESULT as an error code of "dedup.io".
inline std::error_code make_hresult_error_code(HRESULT hr) noexcept { return {int(hr), hr_error_category}; }

} // namespace dedup

template <> struct std::is_error_code_enum<dedup::common_error> : std::true_type {};
template <> struct std::is_error_code_enum<dedup::create_error> : std::true_type {};
template <> struct std::is_error_code_enum<dedup::internal_error> : std::true_type {};
