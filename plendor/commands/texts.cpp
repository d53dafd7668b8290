#include <plendor/commands/texts.h>

#include <dedup/server/console_output.h>
#include <quillo/render.h>
#include <tavik/error.h>

#include <windows.h>

#include <cmath>
#include <vector>

std::wstring percent_encode(std::wstring_view text)
{
    static constexpr wchar_t digits[] = L"0123456789ABCDEF";
    std::wstring out;
    out.reserve(text.size() * 3);
    auto put = [&out](std::uint32_t byte) {
        out.push_back(L'%');
        out.push_back(digits[(byte >> 4) & 0xF]);
        out.push_back(digits[byte & 0xF]);
    };
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if ((c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z') || (c >= L'0' && c <= L'9') || c == L'-' ||
            c == L'.' || c == L'_' || c == L'~') {
            out.push_back(c);
            continue;
        }
        std::uint32_t cp = c;
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (static_cast<std::uint32_t>(text[i + 1]) - 0xDC00);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;
        }
        if (cp < 0x80) {
            put(cp);
        } else if (cp < 0x800) {
            put(0xC0 | (cp >> 6));
            put(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            put(0xE0 | (cp >> 12));
            put(0x80 | ((cp >> 6) & 0x3F));
            put(0x80 | (cp & 0x3F));
        } else {
            put(0xF0 | (cp >> 18));
            put(0x80 | ((cp >> 12) & 0x3F));
            put(0x80 | ((cp >> 6) & 0x3F));
            put(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

std::wstring format_time_left(double seconds)
{
    const double a = std::fabs(seconds);
    const auto h = static_cast<std::uint64_t>(a / 3600);
    const std::uint64_t days = h / 24;
    const std::uint64_t hours = h % 24;
    const auto minutes = static_cast<std::uint64_t>((a - static_cast<double>(h) * 3600) / 60);
    const auto secs = static_cast<std::uint64_t>(a - std::trunc(a / 60) * 60);
    return quillo::format(
        L"About {0?<}{4} days {0?>}{1?<}{5} hours {1?>}{2?<}{6} minutes {2?>}{3?<}{7} seconds{3?>} left",
        a >= 86400, a >= 3600, a >= 60, a < 3600, days, hours, minutes, secs);
}

std::wstring format_optimize_result(const dedup::resync_stats& stats, double seconds)
{
    const double u = static_cast<double>(stats.uncompressed_size);
    const double q = static_cast<double>(stats.unique_size);
    const double p = static_cast<double>(stats.compressed_size);
    const double dedup_ratio = q == 0 ? 1.0 : u / q;
    const double dedup_saving = u == 0 ? 0.0 : 100.0 - q * 100.0 / u;
    const double compression_ratio = p == 0 ? 1.0 : u / p;
    const double compression_saving = u == 0 ? 0.0 : 100.0 - p * 100.0 / u;
    const std::wstring u_text = dedup::impl::format_size(stats.uncompressed_size);
    const std::wstring q_text = dedup::impl::format_size(stats.unique_size);
    const std::wstring p_text = dedup::impl::format_size(stats.compressed_size);
    return quillo::format(
        L"Optimize operation results:\n\n  Total files added: {0l}\n  Total files deleted: {2l}\n  Total folders "
        L"added: {1l}\n  Total folders deleted: {3l}\n  Total items skipped: {15l}\n  Total processing time: {4lp3} "
        L"seconds\n\nCurrent deduplicated folder statistics:\n\n  Total uncompressed data: [[[b{5}]]] ({6l} bytes)\n "
        L" Total unique data: [[[b{7}]]] ({8l} bytes)\n    Deduplication ratio: [[[b1:{11p2}]]] ({12p2} % saved)\n  "
        L"Total compressed data (approx): [[[b{9}]]] ({10l} bytes)\n    Final compression ratio: [[[b1:{13p2}]]] "
        L"({14p2} % saved)\n",
        stats.files_added, stats.folders_added, stats.files_deleted, stats.folders_deleted, seconds, u_text,
        stats.uncompressed_size, q_text, stats.unique_size, p_text, stats.compressed_size, dedup_ratio, dedup_saving,
        compression_ratio, compression_saving, stats.items_skipped);
}

std::wstring format_recover_result(const dedup::recover_stats& stats)
{
    return quillo::format(L"{0} files and {1} folders recovered.", stats.files_recovered, stats.folders_recovered);
}

std::wstring format_error_text(std::wstring_view format, long hr)
{
    const std::wstring text = tavik::details::hresult_error_impl::message(hr);
    return quillo::format(format, text, hr);
}

std::uint64_t encode_version(const version_t& v) noexcept
{
    return ((static_cast<std::uint64_t>(v.major) * 10000 + static_cast<std::uint64_t>(v.minor) * 100 + v.build) *
            10000) +
           v.revision;
}

version_t decode_version(std::uint64_t t) noexcept
{
    return {static_cast<std::uint32_t>(t / 100000000), static_cast<std::uint32_t>((t / 1000000) % 100),
            static_cast<std::uint32_t>((t / 10000) % 100), static_cast<std::uint32_t>(t % 10000)};
}

version_t read_own_version(HMODULE module) noexcept
{
    wchar_t path[MAX_PATH * 2];
    const DWORD n = GetModuleFileNameW(module, path, static_cast<DWORD>(std::size(path)));
    if (n == 0 || n >= std::size(path))
        return {};
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    if (size == 0)
        return {};
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(path, 0, size, data.data()))
        return {};
    VS_FIXEDFILEINFO* info = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(data.data(), L"\\", reinterpret_cast<void**>(&info), &length) || !info ||
        length < sizeof(VS_FIXEDFILEINFO))
        return {};
    return {HIWORD(info->dwProductVersionMS), LOWORD(info->dwProductVersionMS), HIWORD(info->dwProductVersionLS),
            LOWORD(info->dwProductVersionLS)};
}

std::wstring format_version_line(const version_t& v)
{
    return quillo::format(L"Version {1}.{2w2arf0}.{3w2arf0}.{4w4arf0}", L"", v.major, v.minor, v.build, v.revision);
}

std::wstring update_question_text(const version_t& v)
{
    return quillo::format(L"Tovalind {0}.{1w2arf0}.{2w2arf0}.{3w4arf0} is available. Do you want to upgrade now?",
                          v.major, v.minor, v.build, v.revision);
}

std::wstring make_installer_command_line(std::wstring_view path, std::uint64_t process_handle)
{
    return quillo::format(L"\"{0}\" --wait-process {1}", path, process_handle);
}
