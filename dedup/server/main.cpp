// dedup.exe: the console program. Parses its options, prints its logo, sets up the logger and runs
// one one-shot command, or the folder server until Ctrl+C.

#include <dedup/server/commands.h>
#include <dedup/server/folder_server.h>
#include <dedup/server/program_options.h>

#include <ostrel/cmd_line.h>
#include <ostrel/logger.h>
#include <quillo/render.h>
#include <tavik/future.h>

#include <windows.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace Ostrel::cmd_line;
using dedup::impl::console_ctrl_handler;
using dedup::impl::folder_server;

constexpr int invalid_argument_exit = static_cast<int>(0x80070057);
constexpr int not_implemented_exit = static_cast<int>(0x80004001);

// To the console with WriteConsoleW; as UTF-8 with WriteFile when the output is redirected (to a
// file, a pipe, a test runner), where WriteConsoleW fails.
void write_output(std::wstring_view text)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE || text.empty())
        return;
    DWORD mode;
    DWORD written;
    if (GetConsoleMode(out, &mode)) {
        WriteConsoleW(out, text.data(), DWORD(text.size()), &written, nullptr);
        return;
    }
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return;
    std::string bytes(std::size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), bytes.data(), n, nullptr, nullptr);
    const char* p = bytes.data();
    std::size_t left = bytes.size();
    while (left > 0 && WriteFile(out, p, DWORD(left), &written, nullptr) && written > 0) {
        p += written;
        left -= written;
    }
}

void write_output(std::string_view utf8)
{
    std::wstring text(std::size_t(MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0)), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), text.data(), int(text.size()));
    write_output(std::wstring_view(text));
}

void print_logo()
{
    unsigned major = 0, minor = 0, build = 0, revision = 0;
    if (HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16) /* RT_VERSION */)) {
        HGLOBAL loaded = LoadResource(nullptr, found);
        const DWORD size = SizeofResource(nullptr, found);
        const void* data = loaded ? LockResource(loaded) : nullptr;
        if (data && size > 0) {
            // VerQueryValueW works on a copy: the resource itself is read-only.
            std::vector<std::byte> copy(static_cast<const std::byte*>(data), static_cast<const std::byte*>(data) + size);
            VS_FIXEDFILEINFO* info = nullptr;
            UINT length = 0;
            if (VerQueryValueW(copy.data(), L"\\", reinterpret_cast<void**>(&info), &length) && info &&
                length >= sizeof(VS_FIXEDFILEINFO)) {
                major = HIWORD(info->dwProductVersionMS);
                minor = LOWORD(info->dwProductVersionMS);
                build = HIWORD(info->dwProductVersionLS);
                revision = LOWORD(info->dwProductVersionLS);
            }
        }
    }
    write_output(quillo::format(L"Quvan Software Tovalind (Folder Deduplication Utility)\n"
                                L"Version {0}.{1w2arf0}.{2w2arf0}.{3w4arf0}\n\n",
                                major, minor, build, revision));
}

void print_help(const option_table& table)
{
    std::size_t width = 80;
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info) && info.dwSize.X > 0)
        width = std::size_t(info.dwSize.X);
    const std::wstring help = format_help(table, width);
    write_output(quillo::format(
        L"Command-line parameters:\n\ndedup.exe [OPTIONS] [folder1] [folder2] ...\n\nOptions:\n{0}\n", help));
}

// Destroys the logger on every way out of the entry; its closing line is written then.
struct logger_owner {
    std::unique_ptr<Logger> logger;
    ~logger_owner()
    {
        global_logger = nullptr;
        logger.reset();
    }
};

int single_folder_error(const char* command)
{
    write_output(std::string("Command line error: --") + command +
                 " command supports a single deduplicated folder only.\n");
    return invalid_argument_exit;
}

std::optional<int> compression_level_of(option_table& table, int& level)
{
    level = option_value_as_int(find_option(table, L"compression-level"));
    if (level < 1 || level > 12) {
        write_output(std::string_view("Command line error: Unsupported compression level. Must be a value between 1 "
                                      "and 12.\n"));
        return invalid_argument_exit;
    }
    return std::nullopt;
}

// The command has printed its own result and errors: whatever it ends with, the exit code is 0.
int run_command(tavik::details::future<void> command)
{
    tavik::details::wait_blocking(command);
    command.reset();
    return 0;
}

int run_server(option_table& table, std::span<const std::wstring_view> folders)
{
    auto optimize_period = dedup::impl::parse_period(option_value_as_string_view(find_option(table, L"optimize-period")), true);
    if (!optimize_period) {
        write_output(std::string_view("Command line error: error parsing --optimize-period parameter.\n"));
        return invalid_argument_exit;
    }
    if (auto* d = std::get_if<dedup::period_duration>(&*optimize_period);
        d && d->count() > 0 && d->count() < dedup::impl::minimum_period) {
        write_output(std::string_view("Command line error: --optimize-period must not be less than 15min.\n"));
        return invalid_argument_exit;
    }
    auto gc_period = dedup::impl::parse_period(option_value_as_string_view(find_option(table, L"gc-period")), false);
    if (!gc_period) {
        write_output(std::string_view("Command line error: error parsing --gc-period parameter.\n"));
        return invalid_argument_exit;
    }
    if (auto* d = std::get_if<dedup::period_duration>(&*gc_period);
        d && d->count() > 0 && d->count() < dedup::impl::minimum_period) {
        write_output(std::string_view("Command line error: --gc-period must not be less than 15min.\n"));
        return invalid_argument_exit;
    }

    dedup::create_params params;
    params.block_file_size_limit = 0x3200000;
    params.optimize_period = *optimize_period;
    params.gc_period = *gc_period;
    params.flags = (is_set(find_option(table, L"adopt")) ? dedup::create_params::adopt : 0) |
                   (is_set(find_option(table, L"no-create")) ? dedup::create_params::no_create : 0);
    params.algorithm_version = std::uint32_t(option_value_as_int(find_option(table, L"algorithm-version")));

    std::unique_ptr<folder_server> server =
        dedup::impl::create_folder_server(std::vector<std::wstring>(folders.begin(), folders.end()), params);
    if (!server) {
        if (global_logger)
            global_logger->log(L"The folder server is not available in this build.\r\n", 1);
        return not_implemented_exit;
    }
    dedup::impl::set_global_server(server.get());
    auto started = server->start();
    if (global_logger)
        global_logger->log(L"Server has been started successfully.\r\n", 3);
    SetConsoleCtrlHandler(console_ctrl_handler, TRUE);
    tavik::details::wait_blocking(started);
    started.reset();
    SetConsoleCtrlHandler(console_ctrl_handler, FALSE);
    dedup::impl::set_global_server(nullptr);
    server.reset();
    return 0;
}

int run(option_table& table, logger_owner& logging)
{
    dedup::impl::define_options(table);
    parse(table, GetCommandLineW(), false, false);

    if (!is_set(find_option(table, L"nologo")))
        print_logo();

    const std::wstring_view log_path = option_value_as_string_view(find_option(table, L"log-path"));
    const std::wstring_view log_level = option_value_as_string_view(find_option(table, L"log-level"));
    const bool no_screen_log = is_set(find_option(table, L"no-screen-log"));
    if (no_screen_log)
        FreeConsole();

    logging.logger = std::make_unique<Logger>();
    global_logger = logging.logger.get();
    const int level = dedup::impl::parse_log_level(log_level);
    if (!logging.logger->open(log_path, !no_screen_log, level)) {
        write_output(std::wstring_view(
            L"Error initializing logging system. Check that the log file path is correct and sufficient rights to "
            L"access it are available to the current user.\nThis is a critical error. The server will now quit.\n"));
        return invalid_argument_exit;
    }
    global_logger->log(L"Logging system is initialized\r\n", 4);

    const auto folders = free_arguments(table);
    if (folders.empty()) {
        write_output(std::string_view("Command line error: missing deduplicated folder(s)\n"));
        print_help(table);
        return 0;
    }

    if (is_set(find_option(table, L"estimate"))) {
        if (folders.size() != 1)
            return single_folder_error("estimate");
        int compression;
        if (auto failed = compression_level_of(table, compression))
            return *failed;
        const int version = option_value_as_int(find_option(table, L"algorithm-version"));
        return run_command(dedup::impl::estimate(folders[0], compression, version));
    }
    if (is_set(find_option(table, L"optimize"))) {
        if (folders.size() != 1)
            return single_folder_error("optimize");
        int compression;
        if (auto failed = compression_level_of(table, compression))
            return *failed;
        dedup::purge_flags flags;
        if (is_set(find_option(table, L"purge-placeholders")))
            flags.set(dedup::purge_options::purge_cache);
        if (is_set(find_option(table, L"purge-blocks")))
            flags.set(dedup::purge_options::purge_blocks);
        return run_command(dedup::impl::optimize_command(folders[0], compression, flags));
    }
    if (is_set(find_option(table, L"recover"))) {
        if (folders.size() != 1)
            return single_folder_error("recover");
        return run_command(dedup::impl::recover_command(folders[0]));
    }
    if (is_set(find_option(table, L"info"))) {
        if (folders.size() != 1)
            return single_folder_error("info");
        return run_command(dedup::impl::info_command(folders[0]));
    }
    if (is_set(find_option(table, L"delete"))) {
        if (folders.size() != 1)
            return single_folder_error("delete");
        return run_command(dedup::impl::delete_command(folders[0], is_set(find_option(table, L"force"))));
    }
    if (is_set(find_option(table, L"server")))
        return run_server(table, folders);
    print_help(table);
    return 0;
}

} // namespace

int main()
{
    option_table table;
    logger_owner logging;
    try {
        return run(table, logging);
    } catch (const Ostrel::cmd_line_syntax_error& e) {
        print_help(table);
        write_output(std::string("Error: ") + e.what() + "\n");
        return 0;
    }
}
