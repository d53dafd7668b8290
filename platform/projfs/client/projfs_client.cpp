// projfs_client: plays an application on the items of a virtualization root that the emulation
// serves, from a process of its own. Each command goes through the pipe of the provider's process
// (client_protocol.h), so the provider is called there, on the emulation's threads, as the
// platform calls it when an application does the same. A test fixture; never shipped.
//
//   projfs_client list <directory> [--buffer <bytes>] [--restart-after <entries>] [--filter <expression>]
//   projfs_client read <file> [--offset <n>] [--length <n>] [--out <file>]
//   projfs_client write <file> (--text <text> | --from <file>) [--offset <n>]
//   projfs_client attrib <item> {+|-}{R|H|S|A|T|O}...
//   projfs_client rename <from> <to>
//   projfs_client link <existing file> <new link>
//   projfs_client delete <item>
//   projfs_client state <item>
//
// Output: list prints "<attributes, 8 hex digits> <size> <name>" per item in name order; read
// writes the bytes to standard output or to the file; state prints the state's bits in 8 hex
// digits and their names. A failure prints "projfs_client: <command> failed with error
// 0x<HRESULT>: <message>" to standard error, and the exit code is the Win32 error code (the
// HRESULT where it carries none).

#include <platform/projfs/emulation/client_protocol.h>
#include <platform/projfs/emulation/root_record.h>

#include <tavik/unique_handle.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <optional>
#include <string>
#include <vector>

using namespace projfs::emulation;

namespace {

void write_out(HANDLE handle, std::string_view text)
{
    DWORD written;
    WriteFile(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string utf8(std::wstring_view text)
{
    if (text.empty())
        return {};
    int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                   nullptr);
    std::string out(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size, nullptr, nullptr);
    return out;
}

int fail(std::wstring_view command, HRESULT hr, std::wstring_view detail = {})
{
    wchar_t* message = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                   static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    std::wstring text = message ? message : L"";
    if (message)
        LocalFree(message);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' '))
        text.pop_back();
    if (!detail.empty())
        text = std::wstring(detail) + (text.empty() ? L"" : L" (" + text + L")");
    char code[16];
    std::snprintf(code, sizeof code, "0x%08lX", static_cast<unsigned long>(hr));
    write_out(GetStdHandle(STD_ERROR_HANDLE),
              "projfs_client: " + utf8(command) + " failed with error " + code + ": " + utf8(text) + "\n");
    return HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<int>(hr);
}

int usage()
{
    write_out(GetStdHandle(STD_ERROR_HANDLE),
              "usage: projfs_client list|read|write|attrib|rename|link|delete|state <path> [...]\n");
    return ERROR_INVALID_PARAMETER;
}

bool number(const wchar_t* text, std::uint64_t& value)
{
    wchar_t* end = nullptr;
    errno = 0;
    value = std::wcstoull(text, &end, 0);
    return !errno && end && !*end && end != text && *text != L'-';
}

bool read_whole_file(const std::wstring& path, std::vector<std::byte>& data)
{
    tavik::unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size;
    if (!file || !GetFileSizeEx(file.get(), &size))
        return false;
    data.resize(static_cast<std::size_t>(size.QuadPart));
    std::size_t done = 0;
    while (done < data.size()) {
        DWORD read = 0;
        if (!ReadFile(file.get(), data.data() + done, static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 30)),
                      &read, nullptr) ||
            read == 0)
            return false;
        done += read;
    }
    return true;
}

std::uint32_t attribute_of(wchar_t letter)
{
    switch (towupper(letter)) {
    case L'R': return FILE_ATTRIBUTE_READONLY;
    case L'H': return FILE_ATTRIBUTE_HIDDEN;
    case L'S': return FILE_ATTRIBUTE_SYSTEM;
    case L'A': return FILE_ATTRIBUTE_ARCHIVE;
    case L'T': return FILE_ATTRIBUTE_TEMPORARY;
    case L'O': return FILE_ATTRIBUTE_OFFLINE;
    default: return 0;
    }
}

std::string state_names(std::uint32_t state)
{
    static const std::pair<std::uint32_t, const char*> names[] = {
        {PRJ_FILE_STATE_PLACEHOLDER, "placeholder"},      {PRJ_FILE_STATE_HYDRATED_PLACEHOLDER, "hydrated"},
        {PRJ_FILE_STATE_DIRTY_PLACEHOLDER, "dirty"},      {PRJ_FILE_STATE_FULL, "full"},
        {PRJ_FILE_STATE_TOMBSTONE, "tombstone"},
    };
    std::string text;
    for (const auto& [bit, name] : names)
        if (state & bit)
            text += std::string(" ") + name;
    return text;
}

// The pipe of the provider that serves `root`, waiting a while when every instance is busy.
HRESULT connect(const root_record& root, tavik::unique_file& pipe)
{
    const std::wstring name = client_pipe_name(root.key());
    for (int attempt = 0; attempt < 300; ++attempt) {
        pipe.reset(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
        if (pipe)
            return S_OK;
        const DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND)
            return HRESULT_FROM_WIN32(ERROR_FILE_SYSTEM_VIRTUALIZATION_UNAVAILABLE);
        if (error != ERROR_PIPE_BUSY)
            return HRESULT_FROM_WIN32(error);
        WaitNamedPipeW(name.c_str(), 100);
    }
    return HRESULT_FROM_WIN32(ERROR_PIPE_BUSY);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return usage();
    const std::wstring command = argv[1];
    client_request request;
    std::wstring out_file;
    std::vector<std::wstring> paths{argv[2]};
    int next = 3;
    if (command == L"rename" || command == L"link") {
        if (argc < 4)
            return usage();
        paths.push_back(argv[3]);
        next = 4;
    }
    std::uint32_t set = 0, clear = 0;
    bool has_data = false;
    request.length = command == L"read" ? client_request::all_bytes : 0;
    for (int i = next; i < argc; ++i) {
        const std::wstring option = argv[i];
        const bool has_value = i + 1 < argc;
        std::uint64_t value = 0;
        const bool numeric = has_value && number(argv[i + 1], value);
        if (command == L"attrib" && option.size() >= 2 && (option[0] == L'+' || option[0] == L'-')) {
            for (std::size_t c = 1; c < option.size(); ++c) {
                const std::uint32_t bit = attribute_of(option[c]);
                if (!bit)
                    return usage();
                (option[0] == L'+' ? set : clear) |= bit;
            }
        } else if (option == L"--offset" && numeric) {
            request.offset = value;
            ++i;
        } else if ((option == L"--length" || option == L"--buffer") && numeric) {
            request.length = value;
            ++i;
        } else if (option == L"--restart-after" && numeric && value <= 0xFFFFFFFF) {
            request.value = static_cast<std::uint32_t>(value);
            ++i;
        } else if (option == L"--filter" && has_value) {
            const std::wstring filter = argv[++i];
            request.data.resize(filter.size() * 2);
            std::memcpy(request.data.data(), filter.data(), request.data.size());
        } else if (option == L"--out" && has_value) {
            out_file = argv[++i];
        } else if (option == L"--text" && has_value) {
            const std::string text = utf8(argv[++i]);
            request.data.assign(reinterpret_cast<const std::byte*>(text.data()),
                                reinterpret_cast<const std::byte*>(text.data()) + text.size());
            has_data = true;
        } else if (option == L"--from" && has_value) {
            if (!read_whole_file(argv[++i], request.data))
                return fail(command, HRESULT_FROM_WIN32(GetLastError()), L"cannot read " + std::wstring(argv[i]));
            has_data = true;
        } else {
            return usage();
        }
    }

    if (command == L"list")
        request.operation = client_operation::list;
    else if (command == L"read")
        request.operation = client_operation::read;
    else if (command == L"write" && has_data)
        request.operation = client_operation::write;
    else if (command == L"attrib" && (set | clear))
        request.operation = client_operation::attributes;
    else if (command == L"rename")
        request.operation = client_operation::rename;
    else if (command == L"link")
        request.operation = client_operation::link;
    else if (command == L"delete")
        request.operation = client_operation::remove;
    else if (command == L"state")
        request.operation = client_operation::state;
    else
        return usage();
    if (request.operation == client_operation::attributes) {
        request.value = set;
        request.length = clear;
    }

    // Every path names an item of one virtualization root.
    std::shared_ptr<root_record> root;
    for (const auto& path : paths) {
        auto located = root_record::locate(path);
        if (!located)
            return fail(command, HRESULT_FROM_WIN32(ERROR_NOT_A_REPARSE_POINT),
                        path + L" is not in a virtualization root");
        if (root && root != located->root)
            return fail(command, HRESULT_FROM_WIN32(ERROR_NOT_SAME_DEVICE),
                        L"the paths are in different virtualization roots");
        root = located->root;
        request.paths.push_back(located->relative);
    }

    tavik::unique_file pipe;
    if (HRESULT hr = connect(*root, pipe); FAILED(hr))
        return fail(command, hr, L"no provider serves " + root->root_path());
    const std::vector<std::byte> bytes = encode_request(request);
    std::byte header[reply_header_length];
    if (!write_all(pipe.get(), bytes.data(), bytes.size()) || !read_all(pipe.get(), header, sizeof header)) {
        const DWORD error = GetLastError();
        // The instance stopped (or its process ended) while the request waited: an application
        // then sees the virtualization go away, whatever the pipe reports.
        if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_NO_DATA)
            return fail(command, HRESULT_FROM_WIN32(ERROR_FILE_SYSTEM_VIRTUALIZATION_UNAVAILABLE),
                        L"the provider stopped before it answered");
        return fail(command, HRESULT_FROM_WIN32(error), L"the provider's process did not answer");
    }
    HRESULT result;
    std::uint64_t length;
    decode_reply_header(header, result, length);
    if (FAILED(result))
        return fail(command, result);

    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    tavik::unique_file saved;
    if (!out_file.empty()) {
        saved.reset(CreateFileW(out_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        if (!saved)
            return fail(command, HRESULT_FROM_WIN32(GetLastError()), L"cannot write " + out_file);
        out = saved.get();
    }
    std::vector<std::byte> chunk(1u << 20);
    std::string state_text;
    for (std::uint64_t done = 0; done < length;) {
        const auto part = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, chunk.size()));
        if (!read_all(pipe.get(), chunk.data(), part))
            return fail(command, HRESULT_FROM_WIN32(GetLastError()), L"the reply ended early");
        if (request.operation == client_operation::state) {
            state_text.append(reinterpret_cast<const char*>(chunk.data()), part);
        } else {
            DWORD written = 0;
            if (!WriteFile(out, chunk.data(), static_cast<DWORD>(part), &written, nullptr) && saved)
                return fail(command, HRESULT_FROM_WIN32(GetLastError()), L"cannot write " + out_file);
        }
        done += part;
    }
    if (request.operation == client_operation::state) {
        const std::uint32_t state = static_cast<std::uint32_t>(std::strtoul(state_text.c_str(), nullptr, 16));
        char text[16];
        std::snprintf(text, sizeof text, "%08lx", static_cast<unsigned long>(state));
        write_out(out, text + state_names(state) + "\n");
    }
    return 0;
}
