// A folder server for tests, never shipped: "fake_folder_server.exe <folder> <script>" listens on
// the folder's pipe ("\\.\pipe\Quvan-dedupapi-v1.0/" and the folder with '/' for '\') and answers
// each request it reads with the next line of the script (UTF-8), a list of steps split by ';':
//
//   progress <done> <total> <stage>   send RepoClient::progress (cookie 0) with that stage text
//   reply <hex>                       reply with these bytes as the body
//   error <hex HRESULT>               error reply with that HRESULT
//   sleep <ms>                        wait
//   close                             close this client's pipe
//   exit                              end the process at once, as a folder server that dies
//
// Every request is logged to "<script>.log" as "0xMMMMMMMM <hex body>". A request without a script
// line left is answered E_NOTIMPL. One client at a time; the pipe listens again after each.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;

std::string read_file(const std::wstring& path)
{
    std::string s;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return s;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got)
        s.append(buffer, got);
    CloseHandle(f);
    return s;
}

void append_file(const std::wstring& path, const std::string& text)
{
    HANDLE f = CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return;
    DWORD written = 0;
    WriteFile(f, text.data(), DWORD(text.size()), &written, nullptr);
    CloseHandle(f);
}

std::wstring wide(const std::string& s)
{
    if (s.empty())
        return {};
    int n = MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), nullptr, 0);
    std::wstring w(n, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, s.data(), int(s.size()), w.data(), n);
    return w;
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

void write_frame(HANDLE pipe, std::uint32_t call_word, std::uint32_t method, const bytes& body)
{
    bytes frame(12 + body.size());
    std::uint32_t header[3] = {call_word, method, std::uint32_t(body.size())};
    memcpy(frame.data(), header, 12);
    if (!body.empty())
        memcpy(frame.data() + 12, body.data(), body.size());
    DWORD written = 0;
    WriteFile(pipe, frame.data(), DWORD(frame.size()), &written, nullptr);
}

bytes from_hex(const std::string& s)
{
    bytes b;
    for (std::size_t i = 0; i + 1 < s.size(); i += 2)
        b.push_back(std::uint8_t(std::strtoul(s.substr(i, 2).c_str(), nullptr, 16)));
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

template <class T>
void put(bytes& b, T v)
{
    const std::size_t at = b.size();
    b.resize(at + sizeof(T));
    memcpy(b.data() + at, &v, sizeof(T));
}

std::vector<std::string> split(const std::string& s, char by)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        std::size_t end = s.find(by, start);
        parts.push_back(s.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos)
            return parts;
        start = end + 1;
    }
}

// Plays one script line; false when the client's pipe is to be closed.
bool play(HANDLE pipe, std::uint32_t id, std::uint32_t method, const std::string& line)
{
    for (std::string step : split(line, ';')) {
        while (!step.empty() && step.front() == ' ')
            step.erase(0, 1);
        const std::size_t space = step.find(' ');
        const std::string verb = step.substr(0, space);
        const std::string rest = space == std::string::npos ? std::string() : step.substr(space + 1);
        if (verb == "progress") {
            const auto words = split(rest, ' ');
            std::wstring stage;
            const std::size_t third = rest.find(' ', rest.find(' ') + 1);
            if (third != std::string::npos)
                stage = wide(rest.substr(third + 1));
            bytes body;
            put<std::uint64_t>(body, 0);
            put<std::uint32_t>(body, std::uint32_t(stage.size()));
            for (wchar_t c : stage)
                put<std::uint16_t>(body, std::uint16_t(c));
            put<std::uint64_t>(body, std::strtoull(words.at(0).c_str(), nullptr, 10));
            put<std::uint64_t>(body, std::strtoull(words.size() > 1 ? words[1].c_str() : "0", nullptr, 10));
            write_frame(pipe, 0x40000000, 0xCB084E46, body);
        } else if (verb == "reply") {
            write_frame(pipe, id | 0x80000000, method, from_hex(rest));
        } else if (verb == "error") {
            bytes body;
            put<std::uint32_t>(body, std::uint32_t(std::strtoul(rest.c_str(), nullptr, 16)));
            write_frame(pipe, id | 0xC0000000, method, body);
        } else if (verb == "sleep") {
            Sleep(DWORD(std::strtoul(rest.c_str(), nullptr, 10)));
        } else if (verb == "close") {
            return false;
        } else if (verb == "exit") {
            ExitProcess(3);
        }
    }
    return true;
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    std::wstring pipe_path = std::wstring(L"\\\\.\\pipe\\Quvan-dedupapi-v1.0/") + argv[1];
    for (std::size_t i = 9; i < pipe_path.size(); ++i)
        if (pipe_path[i] == L'\\')
            pipe_path[i] = L'/';
    const std::wstring script_path = argv[2];
    const std::wstring log_path = script_path + L".log";
    std::vector<std::string> lines = split(read_file(script_path), '\n');
    std::size_t next = 0;
    for (;;) {
        HANDLE pipe = CreateNamedPipeW(pipe_path.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                       PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE)
            return 1;
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            CloseHandle(pipe);
            continue;
        }
        for (;;) {
            std::uint32_t header[3];
            if (!read_exact(pipe, header, 12) || header[2] > (1u << 20))
                break;
            bytes body(header[2]);
            if (header[2] && !read_exact(pipe, body.data(), header[2]))
                break;
            char method[16];
            snprintf(method, sizeof method, "0x%08X", header[1]);
            append_file(log_path, std::string(method) + " " + hex(body) + "\n");
            if ((header[0] >> 30) != 0)
                continue;
            std::string line = next < lines.size() ? lines[next++] : std::string();
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            if (line.empty()) {
                bytes hr;
                put<std::uint32_t>(hr, 0x80004001);
                write_frame(pipe, (header[0] & 0x3FFFFFFF) | 0xC0000000, header[1], hr);
                continue;
            }
            if (!play(pipe, header[0] & 0x3FFFFFFF, header[1], line))
                break;
        }
        FlushFileBuffers(pipe);
        DisconnectNamedPipe(pipe);
        CloseHandle(pipe);
    }
}
