#pragma once
// Registry scripts: the text files of nested key statements that register a component's COM
// classes, shell handlers and application ids; run forward on install and backward on removal.
//
//   HKCR
//   {
//       NoRemove CLSID
//       {
//           ForceRemove {GUID} = s 'Name'
//           {
//               InprocServer32 = s '%MODULE%'
//               {
//                   val ThreadingModel = s 'Both'
//               }
//           }
//       }
//   }
//
// A statement: blanks, an optional keyword ("val", "NoRemove", "ForceRemove"; the longest that the
// text starts with, no separator needed), a name (a 'quoted' text or a bare word up to the next
// blank), optionally "=" and a value (type "s" text or "d" decimal number, then a name), optionally a
// "{" block of statements closed by "}". Blanks are U+0009 to U+000D and U+0020; nothing above
// U+00FF may appear anywhere. Top-level names are roots: HKLM, HKCU, HKCR or their long forms.
//
// Every refusal names the script file, the line and column, and what was expected there
// (`registry_script_error`, HRESULT E_INVALIDARG): no statement, text after the last one, an unknown
// root, a character above U+00FF, a UTF-8 byte-order mark, blocks nested deeper than
// `max_script_depth`, and the expectation failures of the grammar (a value without type or text
// after "=", a missing "}", an unterminated quoted text), which `is_expectation()` tells apart.

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <windows.h>

#include <tolvane/config_error.h>

namespace platform::ktm {
class transacted_calls;
}

namespace tolvane {

struct script_value {
    std::uint32_t type = 0; // 0 "s", 1 "d"
    std::wstring text;
};

struct script_key {
    std::optional<std::uint32_t> kind; // 1 val, 2 NoRemove, 3 ForceRemove
    std::wstring name;
    std::optional<script_value> value;
    std::vector<script_key> children;
};

inline constexpr std::uint32_t script_kind_val = 1;
inline constexpr std::uint32_t script_kind_no_remove = 2;
inline constexpr std::uint32_t script_kind_force_remove = 3;
inline constexpr int max_script_depth = 64;

class registry_script_error : public config_error {
public:
    registry_script_error(std::wstring file, std::wstring where, std::wstring expected, bool expectation)
        : config_error(E_INVALIDARG, std::move(file), std::move(where), std::move(expected)), expectation_(expectation)
    {
    }
    // A grammar expectation failure (something had to follow and did not).
    bool is_expectation() const noexcept { return expectation_; }

private:
    bool expectation_;
};

// Parses a whole script; `file` names it in errors. Roots are checked when the script runs.
std::vector<script_key> parse_registry_script(std::wstring_view text, const std::wstring& file = L"script");

// Reads one script file: UTF-16LE after an FF FE mark, otherwise UTF-8. Failures to read raise
// config_error with the Win32 error.
std::wstring read_registry_script(const std::wstring& path);

struct script_context {
    platform::ktm::transacted_calls* calls = nullptr;
    HANDLE transaction = nullptr;
    std::uint32_t view_flags = 0; // KEY_WOW64_64KEY or KEY_WOW64_32KEY, ORed into every access
    bool per_user = false;
    std::vector<std::pair<std::wstring, std::wstring>> variables; // the first of a name wins
    std::wstring file = L"script";
};

// %name% becomes the variable's value (names without regard to case of A-Z), %% one "%", then the
// result is expanded against the variables alone.
std::wstring expand_script_text(std::wstring_view text, const std::vector<std::pair<std::wstring, std::wstring>>& variables);

// Runs parsed records forward (register) or backward (unregister). An unknown root raises
// registry_script_error; failures of single registry calls are not reported.
void run_registry_script(const std::vector<script_key>& keys, bool do_register, const script_context& context);

// Reads, parses and runs one script file.
void load_registry_script(const std::wstring& path, bool do_register, bool per_user, std::uint32_t view_flags,
                          std::vector<std::pair<std::wstring, std::wstring>> variables, HANDLE transaction,
                          platform::ktm::transacted_calls& calls);

} // namespace tolvane
