// Cost of producing log lines with quillo: the logger's line (format parsed once, rendered per
// record), a message formatted at its call site (parsed and rendered at every call), and number
// fields with grouping and decimals.

#include <quillo/render.h>

#include <harness.h>

#include <cstdint>
#include <string>

namespace {

constexpr int iterations = 200000;
constexpr int runs = 7;

volatile std::size_t sink;

template <typename F>
void report_per_line(const char* name, F&& body)
{
    const double seconds = bench::median_seconds(runs, [&] {
        for (int i = 0; i < iterations; ++i)
            body(i);
    });
    bench::report(name, seconds / iterations * 1e9, "ns/line");
}

} // namespace

int main()
{
    const std::wstring text = L"Optimize operation started on D:\\Data\\Projects\\2026\r\n";
    const std::wstring level = L"INFO";
    const quillo::parsed_format line_format(L"{0w2arf0}.{1w2arf0}.{2} {3w2arf0}:{4w2arf0}:{5w2arf0}\t{6}\t{7}");
    std::wstring line;
    line.reserve(256);

    report_per_line("quillo_logger_line_render", [&](int i) {
        line.clear();
        quillo::render(line_format, line, 8u, 12u, 2026u, 19u, static_cast<std::uint32_t>(i % 60), 7u, level, text);
        sink = line.size();
    });

    const std::wstring folder = L"D:\\Data\\Projects\\2026";
    report_per_line("quillo_log_formatted_parse_and_render", [&](int) {
        sink = quillo::log_formatted_text(L"Optimize operation started on {}\r\n", folder).size();
    });

    const std::wstring stage_text = L"The process cannot access the file because it is being used by another process.";
    report_per_line("quillo_error_line_parse_and_render", [&](int i) {
        const quillo::parsed_format f(L"Deduplicated folder {0} failed with error {1ub016x} at stage {2}: {3}\r\n");
        line.clear();
        quillo::render_4_args(f, folder, static_cast<std::int32_t>(0x80070020), i & 7, stage_text, line);
        sink = line.size();
    });

    report_per_line("quillo_numbers_parse_and_render", [&](int i) {
        const quillo::parsed_format f(L"  Total uncompressed data: {0lp2}\u00A0{1} ({2l} bytes)\r\n");
        line.clear();
        quillo::render(f, line, 1234.5678 + i, L"MB", 1294467072ull + static_cast<std::uint64_t>(i));
        sink = line.size();
    });
    return 0;
}
