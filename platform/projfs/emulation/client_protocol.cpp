#include <platform/projfs/emulation/client_protocol.h>

#include <tavik/byte_codec.h>

#include <cstring>

namespace projfs::emulation {

std::wstring client_pipe_name(std::wstring_view root_key)
{
    return L"\\\\.\\pipe\\projfs-emulation-" + std::wstring(root_key);
}

std::vector<std::byte> encode_request(const client_request& request)
{
    std::vector<std::byte> out;
    tavik::byte_writer writer(out);
    writer.u32(0);  // the total length, set below
    writer.u32(static_cast<std::uint32_t>(request.operation));
    writer.u64(request.offset);
    writer.u64(request.length);
    writer.u32(request.value);
    writer.u32(static_cast<std::uint32_t>(request.paths.size()));
    writer.u32(static_cast<std::uint32_t>(request.data.size()));
    for (const auto& path : request.paths) {
        writer.u32(static_cast<std::uint32_t>(path.size()));
        for (wchar_t unit : path)
            writer.u16(static_cast<std::uint16_t>(unit));
    }
    writer.bytes(request.data);
    const auto total = static_cast<std::uint32_t>(out.size());
    std::memcpy(out.data(), &total, sizeof total);
    return out;
}

std::optional<client_request> decode_request(const std::vector<std::byte>& bytes)
{
    tavik::byte_reader reader(bytes);
    client_request request;
    if (reader.u32() != bytes.size())
        return std::nullopt;
    request.operation = static_cast<client_operation>(reader.u32());
    request.offset = reader.u64();
    request.length = reader.u64();
    request.value = reader.u32();
    const std::uint32_t paths = reader.u32();
    const std::uint32_t data = reader.u32();
    if (!reader.ok() || paths > 2)
        return std::nullopt;
    for (std::uint32_t i = 0; i < paths; ++i) {
        const std::uint32_t units = reader.u32();
        std::span<const std::byte> text = reader.bytes(std::size_t(units) * 2);
        if (!reader.ok())
            return std::nullopt;
        std::wstring path(units, L'\0');
        std::memcpy(path.data(), text.data(), text.size());
        request.paths.push_back(std::move(path));
    }
    std::span<const std::byte> payload = reader.bytes(data);
    if (!reader.ok() || !reader.at_end())
        return std::nullopt;
    request.data.assign(payload.begin(), payload.end());
    return request;
}

std::vector<std::byte> encode_reply_header(HRESULT result, std::uint64_t length)
{
    std::vector<std::byte> out;
    tavik::byte_writer writer(out);
    writer.u32(static_cast<std::uint32_t>(result));
    writer.u64(length);
    return out;
}

void decode_reply_header(const std::byte* bytes, HRESULT& result, std::uint64_t& length)
{
    tavik::byte_reader reader(std::span(bytes, reply_header_length));
    result = static_cast<HRESULT>(reader.u32());
    length = reader.u64();
}

bool write_all(HANDLE pipe, const void* data, std::size_t size)
{
    const auto* next = static_cast<const std::byte*>(data);
    while (size > 0) {
        DWORD part = size > (1u << 20) ? (1u << 20) : static_cast<DWORD>(size);
        DWORD written = 0;
        if (!WriteFile(pipe, next, part, &written, nullptr))
            return false;
        next += written;
        size -= written;
    }
    return true;
}

bool read_all(HANDLE pipe, void* data, std::size_t size)
{
    auto* next = static_cast<std::byte*>(data);
    while (size > 0) {
        DWORD part = size > (1u << 20) ? (1u << 20) : static_cast<DWORD>(size);
        DWORD read = 0;
        if (!ReadFile(pipe, next, part, &read, nullptr) && GetLastError() != ERROR_MORE_DATA)
            return false;
        if (read == 0) {
            SetLastError(ERROR_HANDLE_EOF);
            return false;
        }
        next += read;
        size -= read;
    }
    return true;
}

} // namespace projfs::emulation
