// The service's pipe as the configuration utility meets it, played from files in a state folder:
//
//   folders.txt  the deduplicated folders, UTF-16LE, one per line ('\n'), in list order, each
//                exactly as a convert received it
//   script.txt   optional, UTF-8: lines "<method> <action> [argument]" that replace the next
//                answer to that method ("any" matches every method); each line is used once and
//                removed. Actions:
//                  hresult 0xNNNNNNNN   reply with that i32
//                  error 0xNNNNNNNN     error reply with that 4-byte HRESULT
//                  error2               error reply with a 2-byte body
//                  body <hex>           reply with these bytes as the body
//                  delay <ms>           wait, then answer as usual
//                  close                close the pipe after the request, unanswered
//                  request              first send the client a request (method 0x12345678) and
//                                       log its answer, then answer as usual
//   requests.log UTF-8, one line per request: "list_folders", "convert <path> <0|1>",
//                "delete_folder <path> <0|1>", "unknown 0xNNNNNNNN", and for a "request" action
//                "client-answer <kind> <hex body>"
//
// Usual answers: list_folders the list; convert appends the path and answers S_OK (0x800700B7
// when it is listed already; with --dedup it first starts "<dedup> --server --adopt <path>" and answers
// once the folder's pipe accepts clients); delete_folder answers 0x80070002 for a path not listed,
// 0x80070091 for a folder holding anything besides ".dedup" when force is 0, and otherwise removes
// the path, ends its folder server and answers S_OK.
//
// Every connected client is served on a thread of its own while the pipe listens for the next.
#include "service_pipe.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace ebrisk {

namespace {

using bytes = std::vector<std::uint8_t>;

constexpr std::uint32_t list_folders_id = 0x3EFBA905;
constexpr std::uint32_t convert_id = 0x26BB595D;
constexpr std::uint32_t delete_folder_id = 0xDB9215FD;

std::wstring state_folder;
std::wstring dedup_program;
std::wstring pipe_name = L"Quvan-dedupapi.service-v1.0";
std::mutex state_lock; // every read and write of the state files
std::map<std::wstring, HANDLE> servers;

// The folder servers started here end with this process, however it ends: a test that stops the
// stand-in must not leave a server holding its folder and its output.
HANDLE server_job()
{
    static const HANDLE job = [] {
        HANDLE j = CreateJobObjectW(nullptr, nullptr);
        if (j) {
            JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
            limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
            SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof limits);
        }
        return j;
    }();
    return job;
}

std::string utf8(std::wstring_view w)
{
    if (w.empty())
        return {};
    int n = WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), nullptr, 0, nullptr, nullptr);
    std::string s(n, '\0');
    WideCharToMultiByte(CP_UTF8, 0, w.data(), int(w.size()), s.data(), n, nullptr, nullptr);
    return s;
}

std::string read_file(const std::wstring& path)
{
    std::string s;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return s;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got)
        s.append(buffer, got);
    CloseHandle(f);
    return s;
}

void write_file(const std::wstring& path, const void* data, std::size_t size, bool append)
{
    HANDLE f = CreateFileW(path.c_str(), append ? FILE_APPEND_DATA : GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           append ? OPEN_ALWAYS : CREATE_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(f, data, DWORD(size), &written, nullptr);
    CloseHandle(f);
}

void log_line(const std::string& line)
{
    std::lock_guard guard(state_lock);
    const std::string text = line + "\n";
    write_file(state_folder + L"\\requests.log", text.data(), text.size(), true);
}

std::vector<std::wstring> load_folders()
{
    const std::string raw = read_file(state_folder + L"\\folders.txt");
    std::wstring text(raw.size() / 2, L'\0');
    memcpy(text.data(), raw.data(), text.size() * 2);
    std::vector<std::wstring> folders;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        folders.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return folders;
}

void store_folders(const std::vector<std::wstring>& folders)
{
    std::wstring text;
    for (const auto& f : folders)
        text += f + L"\n";
    write_file(state_folder + L"\\folders.txt", text.data(), text.size() * 2, false);
}

struct script_line {
    std::string action;
    std::string argument;
};

// The first script line for this method, removed from the script.
std::optional<script_line> take_script(const char* method)
{
    std::lock_guard guard(state_lock);
    const std::wstring path = state_folder + L"\\script.txt";
    std::string text = read_file(path);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        const std::size_t a = line.find(' ');
        const std::string who = line.substr(0, a);
        if (a != std::string::npos && (who == method || who == "any")) {
            const std::size_t b = line.find(' ', a + 1);
            script_line s{line.substr(a + 1, b == std::string::npos ? std::string::npos : b - a - 1),
                          b == std::string::npos ? std::string() : line.substr(b + 1)};
            text.erase(start, std::min(text.size(), end + 1) - start);
            write_file(path, text.data(), text.size(), false);
            return s;
        }
        start = end + 1;
    }
    return std::nullopt;
}

bool read_exact(HANDLE pipe, void* into, std::size_t size)
{
    auto* p = static_cast<std::uint8_t*>(into);
    while (size) {
        DWORD got = 0;
        if (!ReadFile(pipe, p, DWORD(size), &got, nullptr) || got == 0)
            return false;
        p += got;
        size -= got;
    }
    return true;
}

bool write_frame(HANDLE pipe, std::uint32_t call_word, std::uint32_t method, const bytes& body)
{
    bytes frame(12 + body.size());
    std::uint32_t header[3] = {call_word, method, std::uint32_t(body.size())};
    memcpy(frame.data(), header, 12);
    if (!body.empty())
        memcpy(frame.data() + 12, body.data(), body.size());
    DWORD written = 0;
    return WriteFile(pipe, frame.data(), DWORD(frame.size()), &written, nullptr) && written == frame.size();
}

struct frame {
    std::uint32_t call_word = 0;
    std::uint32_t method = 0;
    bytes body;
};

std::optional<frame> read_frame(HANDLE pipe)
{
    std::uint32_t header[3];
    if (!read_exact(pipe, header, 12) || header[2] > (1u << 20))
        return std::nullopt;
    frame f{header[0], header[1], bytes(header[2])};
    if (header[2] && !read_exact(pipe, f.body.data(), header[2]))
        return std::nullopt;
    return f;
}

bytes hresult_body(std::uint32_t hr)
{
    bytes b(4);
    memcpy(b.data(), &hr, 4);
    return b;
}

std::string hex(const bytes& b)
{
    std::string s;
    char two[3];
    for (auto v : b) {
        snprintf(two, sizeof two, "%02x", v);
        s += two;
    }
    return s;
}

bytes from_hex(const std::string& s)
{
    bytes b;
    for (std::size_t i = 0; i + 1 < s.size(); i += 2)
        b.push_back(std::uint8_t(std::strtoul(s.substr(i, 2).c_str(), nullptr, 16)));
    return b;
}

// Text and bool of a convert or delete_folder request; nullopt for a short body.
std::optional<std::pair<std::wstring, bool>> path_and_flag(const bytes& body)
{
    if (body.size() < 4)
        return std::nullopt;
    std::uint32_t count;
    memcpy(&count, body.data(), 4);
    if (body.size() < 4 + std::uint64_t(count) * 2 + 1)
        return std::nullopt;
    std::wstring path(count, L'\0');
    memcpy(path.data(), body.data() + 4, count * 2);
    return std::pair{path, body[4 + count * 2] != 0};
}

bool holds_anything_but_store(const std::wstring& folder)
{
    WIN32_FIND_DATAW data;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
    if (find == INVALID_HANDLE_VALUE)
        return false;
    bool found = false;
    do {
        const std::wstring name = data.cFileName;
        if (name != L"." && name != L".." && name != L".dedup")
            found = true;
    } while (!found && FindNextFileW(find, &data));
    FindClose(find);
    return found;
}

std::uint32_t start_folder_server(const std::wstring& folder)
{
    // --adopt: the folder exists already and holds the user's files.
    std::wstring command = L"\"" + dedup_program + L"\" --nologo --server --adopt \"" + folder + L"\"";
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr,
                        nullptr, &si, &pi))
        return 0x80070000 | GetLastError();
    if (HANDLE job = server_job())
        AssignProcessToJobObject(job, pi.hProcess);
    ResumeThread(pi.hThread);
    CloseHandle(pi.hThread);
    {
        std::lock_guard guard(state_lock);
        servers[folder] = pi.hProcess;
    }
    std::wstring pipe = L"\\\\.\\pipe\\Quvan-dedupapi-v1.0/" + folder;
    for (std::size_t i = 9; i < pipe.size(); ++i)
        if (pipe[i] == L'\\')
            pipe[i] = L'/';
    for (int i = 0; i < 600; ++i) {
        if (WaitNamedPipeW(pipe.c_str(), 100))
            return 0;
        if (WaitForSingleObject(pi.hProcess, 0) == WAIT_OBJECT_0)
            return 0x80004005;
        Sleep(50);
    }
    return 0x800705B4;
}

void stop_folder_server(const std::wstring& folder)
{
    HANDLE process = nullptr;
    {
        std::lock_guard guard(state_lock);
        auto it = servers.find(folder);
        if (it == servers.end())
            return;
        process = it->second;
        servers.erase(it);
    }
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
}

bytes usual_answer(const frame& request)
{
    switch (request.method) {
    case list_folders_id: {
        std::vector<std::wstring> folders;
        {
            std::lock_guard guard(state_lock);
            folders = load_folders();
        }
        bytes body(4);
        std::uint32_t count = std::uint32_t(folders.size());
        memcpy(body.data(), &count, 4);
        for (const auto& f : folders) {
            std::uint32_t n = std::uint32_t(f.size());
            const std::size_t at = body.size();
            body.resize(at + 4 + n * 2);
            memcpy(body.data() + at, &n, 4);
            memcpy(body.data() + at + 4, f.data(), n * 2);
        }
        return body;
    }
    case convert_id: {
        auto args = path_and_flag(request.body);
        if (!args)
            return hresult_body(0x80070057);
        {
            std::lock_guard guard(state_lock);
            for (const auto& f : load_folders())
                if (f == args->first)
                    return hresult_body(0x800700B7);
        }
        if (!dedup_program.empty()) {
            const std::uint32_t hr = start_folder_server(args->first);
            if (hr)
                return hresult_body(hr);
        }
        std::lock_guard guard(state_lock);
        auto folders = load_folders();
        folders.push_back(args->first);
        store_folders(folders);
        return hresult_body(0);
    }
    case delete_folder_id: {
        auto args = path_and_flag(request.body);
        if (!args)
            return hresult_body(0x80070057);
        {
            std::lock_guard guard(state_lock);
            bool listed = false;
            for (const auto& f : load_folders())
                listed = listed || f == args->first;
            if (!listed)
                return hresult_body(0x80070002);
        }
        if (!args->second && holds_anything_but_store(args->first))
            return hresult_body(0x80070091);
        stop_folder_server(args->first);
        std::lock_guard guard(state_lock);
        auto folders = load_folders();
        std::erase(folders, args->first);
        store_folders(folders);
        return hresult_body(0);
    }
    default:
        return {};
    }
}

const char* method_name(std::uint32_t id)
{
    switch (id) {
    case list_folders_id: return "list_folders";
    case convert_id: return "convert";
    case delete_folder_id: return "delete_folder";
    default: return "unknown";
    }
}

void log_request(const frame& request)
{
    char id[16];
    snprintf(id, sizeof id, "0x%08X", request.method);
    switch (request.method) {
    case list_folders_id: log_line("list_folders"); break;
    case convert_id:
    case delete_folder_id: {
        auto args = path_and_flag(request.body);
        log_line(std::string(method_name(request.method)) + " " + (args ? utf8(args->first) : "?") + " " +
                 (args ? (args->second ? "1" : "0") : "?"));
        break;
    }
    default: log_line(std::string("unknown ") + id); break;
    }
}

void serve_client(HANDLE pipe)
{
    while (auto request = read_frame(pipe)) {
        log_request(*request);
        const std::uint32_t id = request->call_word & 0x3FFFFFFF;
        const std::uint32_t kind = request->call_word >> 30;
        if (kind != 0)
            continue;
        if (request->method != list_folders_id && request->method != convert_id && request->method != delete_folder_id) {
            write_frame(pipe, id | 0xC0000000, request->method, hresult_body(0x80004001));
            continue;
        }
        std::optional<script_line> s = take_script(method_name(request->method));
        if (s && s->action == "close")
            break;
        if (s && s->action == "delay")
            Sleep(DWORD(std::strtoul(s->argument.c_str(), nullptr, 10)));
        if (s && s->action == "request") {
            write_frame(pipe, 7, 0x12345678, {});
            if (auto answer = read_frame(pipe))
                log_line("client-answer " + std::to_string(answer->call_word >> 30) + " " + hex(answer->body));
        }
        if (s && s->action == "hresult") {
            write_frame(pipe, id | 0x80000000, request->method,
                        hresult_body(std::uint32_t(std::strtoul(s->argument.c_str(), nullptr, 16))));
        } else if (s && s->action == "error") {
            write_frame(pipe, id | 0xC0000000, request->method,
                        hresult_body(std::uint32_t(std::strtoul(s->argument.c_str(), nullptr, 16))));
        } else if (s && s->action == "error2") {
            write_frame(pipe, id | 0xC0000000, request->method, bytes{0x05, 0x40});
        } else if (s && s->action == "body") {
            write_frame(pipe, id | 0x80000000, request->method, from_hex(s->argument));
        } else {
            write_frame(pipe, id | 0x80000000, request->method, usual_answer(*request));
        }
    }
    FlushFileBuffers(pipe);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
}

} // namespace

int serve(int argc, wchar_t** argv)
{
    state_folder = argv[2];
    for (int i = 3; i + 1 < argc; i += 2) {
        const std::wstring option = argv[i];
        if (option == L"--dedup")
            dedup_program = argv[i + 1];
        else if (option == L"--pipe")
            pipe_name = argv[i + 1];
    }
    const std::wstring path = L"\\\\.\\pipe\\" + pipe_name;
    for (;;) {
        HANDLE pipe = CreateNamedPipeW(path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE)
            return 1;
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            CloseHandle(pipe);
            continue;
        }
        std::thread(serve_client, pipe).detach();
    }
}

} // namespace ebrisk
