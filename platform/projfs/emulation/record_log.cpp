#include <platform/projfs/emulation/record_log.h>

#include <tavik/byte_codec.h>

#include <cstring>

namespace projfs::emulation {

namespace record_log {

namespace {

constexpr char magic[8] = {'P', 'R', 'J', 'E', 'M', 'R', 'E', 'C'};
constexpr std::uint32_t version = 1;

std::span<const std::byte> bytes_of(std::wstring_view text) noexcept
{
    return std::as_bytes(std::span(text.data(), text.size()));
}

} // namespace

std::optional<header> read_header(std::span<const std::byte> fixed, std::uint64_t file_size) noexcept
{
    tavik::byte_reader in(fixed);
    const std::span<const std::byte> found_magic = in.bytes(sizeof magic);
    const std::uint32_t found_version = in.u32();
    header result;
    result.length = in.u32();
    result.generation = in.u64();
    if (const std::span<const std::byte> id = in.bytes(sizeof(GUID)); id.size() == sizeof(GUID))
        std::memcpy(&result.instance_id, id.data(), sizeof(GUID));
    result.root_file_index = in.u64();
    in.u32();  // the root path's length: the path is not read back
    if (!in.ok() || std::memcmp(found_magic.data(), magic, sizeof magic) != 0 || found_version != version ||
        result.length > file_size)
        return std::nullopt;
    return result;
}

std::vector<std::byte> write_header(std::uint64_t generation, const GUID& instance_id, std::uint64_t root_file_index,
                                    std::wstring_view root_path)
{
    std::vector<std::byte> image;
    image.reserve(header_fixed_length + root_path.size() * sizeof(wchar_t));
    tavik::byte_writer out(image);
    out.bytes(std::as_bytes(std::span(magic)));
    out.u32(version);
    out.u32(static_cast<std::uint32_t>(header_fixed_length + root_path.size() * sizeof(wchar_t)));
    out.u64(generation);
    out.bytes(std::as_bytes(std::span(&instance_id, 1)));
    out.u64(root_file_index);
    out.u32(static_cast<std::uint32_t>(root_path.size()));
    out.bytes(bytes_of(root_path));
    return image;
}

std::vector<std::byte> write_entry(operation op, std::wstring_view relative, const recorded_item& item)
{
    std::vector<std::byte> image;
    image.reserve(entry_fixed_length + relative.size() * sizeof(wchar_t));
    tavik::byte_writer out(image);
    out.u32(static_cast<std::uint32_t>(entry_fixed_length + relative.size() * sizeof(wchar_t)));
    out.u8(static_cast<std::uint8_t>(op));
    out.u8(static_cast<std::uint8_t>(item.kind));
    out.u16(0);
    out.u64(item.look.size);
    out.u64(static_cast<std::uint64_t>(item.look.creation_time));
    out.u64(static_cast<std::uint64_t>(item.look.last_write_time));
    out.u32(item.look.attributes);
    out.u32(static_cast<std::uint32_t>(relative.size()));
    out.bytes(bytes_of(relative));
    return image;
}

std::vector<std::byte> write_origin_entry(std::wstring_view relative, std::wstring_view origin)
{
    std::wstring both(relative);
    both.push_back(L'\0');
    both.append(origin);
    return write_entry(operation::origin, both, recorded_item{});
}

std::optional<entry> entry_reader::next()
{
    tavik::byte_reader in(log_.subspan(consumed_));
    const std::uint32_t length = in.u32();
    const std::uint8_t op = in.u8();
    const std::uint8_t kind = in.u8();
    in.skip(2);
    entry found;
    found.item.look.size = in.u64();
    found.item.look.creation_time = static_cast<std::int64_t>(in.u64());
    found.item.look.last_write_time = static_cast<std::int64_t>(in.u64());
    found.item.look.attributes = in.u32();
    const std::uint32_t path_length = in.u32();
    if (!in.ok() || length != entry_fixed_length + std::uint64_t(path_length) * sizeof(wchar_t))
        return std::nullopt;
    const std::span<const std::byte> path = in.bytes(std::size_t(path_length) * sizeof(wchar_t));
    if (!in.ok())
        return std::nullopt;  // torn: its writer died mid-append
    found.path.resize(path_length);
    std::memcpy(found.path.data(), path.data(), path.size());
    found.op = op == static_cast<std::uint8_t>(operation::put)      ? operation::put
               : op == static_cast<std::uint8_t>(operation::origin) ? operation::origin
                                                                    : operation::erase;
    if (found.op == operation::origin) {
        const auto zero = found.path.find(L'\0');
        if (zero != std::wstring::npos) {
            found.origin = found.path.substr(zero + 1);
            found.path.resize(zero);
        }
    }
    found.item.kind = static_cast<recorded_kind>(kind);
    consumed_ += length;
    return found;
}

} // namespace record_log

record_file record_file::open(const std::wstring& path, bool create)
{
    return record_file(tavik::unique_file(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                                      create ? OPEN_ALWAYS : OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                                                      nullptr)));
}

bool record_file::size(std::uint64_t& size) const
{
    LARGE_INTEGER found;
    if (!GetFileSizeEx(handle_.get(), &found))
        return false;
    size = static_cast<std::uint64_t>(found.QuadPart);
    return true;
}

bool record_file::read_at(std::uint64_t offset, std::span<std::byte> buffer, std::size_t& read) const
{
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD done = 0;
    const bool ok = ReadFile(handle_.get(), buffer.data(), static_cast<DWORD>(buffer.size()), &done, &position) ||
                    GetLastError() == ERROR_HANDLE_EOF;
    read = done;
    return ok;
}

bool record_file::write_at(std::uint64_t offset, std::span<const std::byte> data)
{
    OVERLAPPED position{};
    position.Offset = static_cast<DWORD>(offset);
    position.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD written = 0;
    return WriteFile(handle_.get(), data.data(), static_cast<DWORD>(data.size()), &written, &position) &&
           written == data.size();
}

bool record_file::set_length(std::uint64_t length)
{
    FILE_END_OF_FILE_INFO end{};
    end.EndOfFile.QuadPart = static_cast<LONGLONG>(length);
    return SetFileInformationByHandle(handle_.get(), FileEndOfFileInfo, &end, sizeof end);
}

} // namespace projfs::emulation
