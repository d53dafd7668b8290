#pragma once
// "config.ini": sections in square brackets, key=value lines, ";" comments. UTF-16LE when the file
// starts with a byte-order mark, otherwise the system's ANSI code page; at most 2 MiB.
//
// Names, keys and values are views into the object's own text buffer: nothing is copied, and the
// views live as long as the object. Section names and keys compare exactly (case-sensitive).
//
// Line syntax (nothing in it is an error; lines that do not fit are skipped):
//   - blanks and tabs at the start of a line are skipped; empty lines and ";" lines are ignored;
//   - "[" starts a section header: the name is what follows it up to, not including, the line's last
//     character (normally the "]"); a lone "[" names the empty section; a repeated header continues
//     its section;
//   - any other line inside a section is key=value split at the first "="; neither side is trimmed;
//     a line without "=" or with nothing after it is skipped; the first value of a key wins.
// Reading the file is where bad input is refused, with a named `config_error`: a missing or
// unreadable file, one over 2 MiB, a UTF-16 file of an odd size, binary content (NUL characters).
// Users of the sections name a missing section or key through `require_section` and `require_text`.

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <tavik/future.h>

namespace tolvane {

class ini_file_t {
public:
    class Section {
    public:
        // The value, or an empty view when the key is missing.
        std::wstring_view get_text(std::wstring_view key) const;
        // The decimal digits at the start of the value (no sign, no blanks), 0 when there are none;
        // `fallback` when the key is missing.
        std::uint32_t get_number(std::wstring_view key, std::uint32_t fallback = 0) const;
        // The value split at every ","; empty items are kept and nothing is trimmed. Empty for a
        // missing or empty value.
        std::vector<std::wstring> get_vector(std::wstring_view key) const;

        // The value of a key that must be there: a missing key raises config_error (E_INVALIDARG)
        // naming the file, the section and the key.
        std::wstring_view require_text(std::wstring_view key) const;

        std::wstring_view name() const noexcept { return name_; }
        std::size_t size() const noexcept { return values_.size(); }
        const std::unordered_map<std::wstring_view, std::wstring_view>& entries() const noexcept { return values_; }

    private:
        friend class ini_file_t;
        std::wstring_view name_;
        const ini_file_t* file_ = nullptr;
        std::unordered_map<std::wstring_view, std::wstring_view> values_;
    };

    ini_file_t() = default;
    ini_file_t(const ini_file_t&) = delete;
    ini_file_t& operator=(const ini_file_t&) = delete;

    // Parses `length` code units of UTF-16 text in place. The buffer must have room for two more
    // code units after the text: the parser writes CR LF there as the last line's end.
    void parse_ini_text(wchar_t* text, std::size_t length);
    // Copies `text` into the object's buffer and parses it (tests and packages built in memory).
    void parse_text(std::wstring_view text);

    const Section* find_section(std::wstring_view name) const;
    // A section that must be there: a missing one raises config_error (E_INVALIDARG) naming the file
    // and the section.
    const Section& require_section(std::wstring_view name) const;
    std::size_t section_count() const noexcept { return sections_.size(); }

    // The file that was read ("config.ini" for text parsed from memory); named in every error.
    const std::wstring& path() const noexcept { return path_; }
    void set_path(std::wstring path) { path_ = std::move(path); }

private:
    friend tavik::details::future<void> read_text_file_async(std::wstring path, ini_file_t& target);

    std::wstring path_ = L"config.ini";
    std::unique_ptr<std::byte[]> raw_;       // the file's bytes, kept when the text is parsed in place
    std::unique_ptr<wchar_t[]> converted_;   // the converted text of an ANSI file
    std::unordered_map<std::wstring_view, Section> sections_;
};

// Reads and parses one "config.ini" on the thread pool's I/O. Failures raise config_error with the
// Win32 error as HRESULT (0x80070002 for a missing file), E_INVALIDARG for a file over 2 MiB, and
// ERROR_INVALID_DATA (0x8007000D) for a UTF-16 file of odd size or text holding NUL characters.
tavik::details::future<void> read_text_file_async(std::wstring path, ini_file_t& target);

inline constexpr std::uint64_t max_ini_file_size = 2 * 1024 * 1024;

} // namespace tolvane
