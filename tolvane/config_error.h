#pragma once
// The error of bad package input: which file, where in it ("line 3, column 7" or "[Setup] Version"),
// and what was expected there. It carries an HRESULT like every other error of the installer, so a
// caller that only wants the code catches `tavik::details::hresult_error_impl`; a silent run writes
// `text()` to the setup log.

#include <string>

#include <tavik/error.h>

namespace tolvane {

class config_error : public tavik::details::traceable_error {
public:
    config_error(HRESULT code, std::wstring file, std::wstring where, std::wstring expected)
        : tavik::details::traceable_error(code), file_(std::move(file)), where_(std::move(where)), expected_(std::move(expected))
    {
    }

    const std::wstring& file() const noexcept { return file_; }
    const std::wstring& where() const noexcept { return where_; }
    const std::wstring& expected() const noexcept { return expected_; }

    // "{file}, {where}: {expected}", or "{file}: {expected}" when the error is about the whole file.
    std::wstring text() const
    {
        std::wstring out = file_;
        if (!where_.empty())
            out += L", " + where_;
        out += L": " + expected_;
        return out;
    }

private:
    std::wstring file_;
    std::wstring where_;
    std::wstring expected_;
};

// "line {line}, column {column}", both counted from 1.
std::wstring line_column_text(std::size_t line, std::size_t column);

} // namespace tolvane
