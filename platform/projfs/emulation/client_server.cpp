// The pipe an instance serves in the provider's process for the command-line client: each
// connection carries one request (client_protocol.h), which runs on one of the instance's threads
// as the application's I/O would run on the platform, so the provider is called there.

#include <platform/projfs/emulation/client_protocol.h>
#include <platform/projfs/emulation/instance.h>

#include <tavik/unique_handle.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <string>

namespace projfs::emulation {

namespace {

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

// The client's process, which the request's commands watch: the client is the application.
requester requester_of(HANDLE pipe, tavik::unique_handle& process)
{
    requester who;
    ULONG process_id = 0;
    if (GetNamedPipeClientProcessId(pipe, &process_id)) {
        who.process_id = process_id;
        process.reset(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, process_id));
        wchar_t image[MAX_PATH];
        DWORD length = MAX_PATH;
        if (process && QueryFullProcessImageNameW(process.get(), 0, image, &length))
            who.image.assign(image, length);
        who.process = process.get();
    }
    return who;
}

bool reply(HANDLE pipe, HRESULT result, const std::string& text = {})
{
    std::vector<std::byte> header = encode_reply_header(result, text.size());
    return write_all(pipe, header.data(), header.size()) && write_all(pipe, text.data(), text.size());
}

void serve_read(instance& served, HANDLE pipe, const client_request& request, const requester& who)
{
    std::wstring path;
    HRESULT hr = served.open_for_read(request.paths[0], who, path);
    if (FAILED(hr)) {
        reply(pipe, hr);
        return;
    }
    tavik::unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    LARGE_INTEGER size{};
    if (!file || !GetFileSizeEx(file.get(), &size)) {
        reply(pipe, HRESULT_FROM_WIN32(GetLastError()));
        return;
    }
    const auto file_size = static_cast<std::uint64_t>(size.QuadPart);
    const std::uint64_t offset = std::min(request.offset, file_size);
    const std::uint64_t length = std::min(request.length, file_size - offset);
    std::vector<std::byte> header = encode_reply_header(S_OK, length);
    if (!write_all(pipe, header.data(), header.size()))
        return;
    std::vector<std::byte> chunk(std::min<std::uint64_t>(length, 1u << 20));
    for (std::uint64_t done = 0; done < length;) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD read = 0;
        const auto part = static_cast<DWORD>(std::min<std::uint64_t>(length - done, chunk.size()));
        if (!ReadFile(file.get(), chunk.data(), part, &read, &at) || read == 0)
            return;  // the client sees the reply end early
        if (!write_all(pipe, chunk.data(), read))
            return;
        done += read;
    }
}

void serve(instance& served, HANDLE pipe)
{
    std::uint32_t total = 0;
    if (!read_all(pipe, &total, sizeof total))
        return;
    if (total < request_fixed_length || total > request_limit) {
        reply(pipe, E_INVALIDARG);
        return;
    }
    std::vector<std::byte> bytes(total);
    std::memcpy(bytes.data(), &total, sizeof total);
    if (!read_all(pipe, bytes.data() + sizeof total, total - sizeof total))
        return;
    std::optional<client_request> request = decode_request(bytes);
    const std::size_t paths_needed =
        !request ? 0
                 : (request->operation == client_operation::rename || request->operation == client_operation::link) ? 2
                                                                                                                   : 1;
    if (!request || request->paths.size() != paths_needed) {
        reply(pipe, E_INVALIDARG);
        return;
    }
    tavik::unique_handle process;
    const requester who = requester_of(pipe, process);
    const std::wstring& path = request->paths[0];
    switch (request->operation) {
    case client_operation::list: {
        std::vector<listed_item> items;
        std::wstring filter(request->data.size() / 2, L'\0');
        std::memcpy(filter.data(), request->data.data(), filter.size() * 2);
        const std::size_t buffer = request->length ? static_cast<std::size_t>(request->length) : 64 * 1024;
        HRESULT hr = served.list(path, buffer, request->value, filter, who, items);
        std::string text;
        if (SUCCEEDED(hr))
            for (const auto& item : items) {
                char fixed[64];
                std::snprintf(fixed, sizeof fixed, "%08lx %lld ", static_cast<unsigned long>(item.info.FileAttributes),
                              static_cast<long long>(item.info.IsDirectory ? 0 : item.info.FileSize));
                text += fixed + utf8(item.name) + "\n";
            }
        reply(pipe, hr, text);
        return;
    }
    case client_operation::read:
        serve_read(served, pipe, *request, who);
        return;
    case client_operation::write:
        reply(pipe, served.write(path, request->offset, request->data, who));
        return;
    case client_operation::attributes:
        reply(pipe, served.change_attributes(path, request->value, static_cast<std::uint32_t>(request->length), who));
        return;
    case client_operation::rename:
        reply(pipe, served.rename(path, request->paths[1], who));
        return;
    case client_operation::link:
        reply(pipe, served.link(path, request->paths[1], who));
        return;
    case client_operation::remove:
        reply(pipe, served.remove(path, who));
        return;
    case client_operation::state: {
        PRJ_FILE_STATE state{};
        HRESULT hr = served.state(path, who, state);
        char text[16];
        std::snprintf(text, sizeof text, "%08lx\n", static_cast<unsigned long>(state));
        reply(pipe, hr, SUCCEEDED(hr) ? text : "");
        return;
    }
    }
    reply(pipe, E_INVALIDARG);
}

} // namespace

void instance::listen() noexcept
{
    while (WaitForSingleObject(listener_stop_.get(), 0) != WAIT_OBJECT_0) {
        HANDLE pipe = CreateNamedPipeW(pipe_name_.c_str(), PIPE_ACCESS_DUPLEX,
                                       PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, PIPE_UNLIMITED_INSTANCES,
                                       64 * 1024, 64 * 1024, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            // Out of resources for a moment; the client waits for the pipe meanwhile.
            WaitForSingleObject(listener_stop_.get(), 100);
            continue;
        }
        if (!ConnectNamedPipe(pipe, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED) {
            CloseHandle(pipe);
            continue;
        }
        if (WaitForSingleObject(listener_stop_.get(), 0) == WAIT_OBJECT_0) {
            CloseHandle(pipe);  // the stop's own wake-up call
            break;
        }
        bool submitted = false;
        try {
            submitted = submit([this, pipe] {
                try {
                    serve(*this, pipe);
                } catch (const std::bad_alloc&) {
                    // Out of memory for one request: the client sees its connection end.
                }
                FlushFileBuffers(pipe);
                DisconnectNamedPipe(pipe);
                CloseHandle(pipe);
            });
        } catch (const std::bad_alloc&) {
            // Out of memory for one connection: the client sees it end.
        }
        if (!submitted)
            CloseHandle(pipe);
    }
    listener_ended_ = true;
}

} // namespace projfs::emulation
