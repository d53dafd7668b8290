#include <dedup/engine/folder_tree_file.h>

#include <tavik/error.h>
#include <tavik/error_categories.h>

#include <lz4.h>
#include <lz4hc.h>


namespace dedup {

namespace {

// One LZ4 block never decompresses to more than about 255 times its length; a claimed image
// length beyond this bound is damage, and is refused before anything is allocated for it.
constexpr std::uint64_t lz4_max_ratio = 255;
constexpr std::uint64_t lz4_ratio_slack = 64;

} // namespace

file_info_header new_file_info_header() noexcept
{
    file_info_header header{};
    header.signature[0] = file_info_signature[0];
    header.signature[1] = file_info_signature[1];
    return header;
}

void write_file_info_header(tavik::byte_writer& out, const file_info_header& header)
{
    out.u64(header.signature[0]);
    out.u64(header.signature[1]);
    out.u32(static_cast<std::uint32_t>(header.folder_id.Data1));
    out.u16(header.folder_id.Data2);
    out.u16(header.folder_id.Data3);
    for (unsigned char b : header.folder_id.Data4)
        out.u8(b);
    out.u64(header.statistics.uncompressed_size);
    out.u64(header.statistics.unique_size);
    out.u64(header.statistics.compressed_size);
    out.u64(header.statistics.block_count);
    out.u64(header.creation_parameter);
}

file_info_header read_file_info_header(tavik::byte_reader& in) noexcept
{
    file_info_header header{};
    header.signature[0] = in.u64();
    header.signature[1] = in.u64();
    header.folder_id.Data1 = in.u32();
    header.folder_id.Data2 = in.u16();
    header.folder_id.Data3 = in.u16();
    for (unsigned char& b : header.folder_id.Data4)
        b = in.u8();
    header.statistics.uncompressed_size = in.u64();
    header.statistics.unique_size = in.u64();
    header.statistics.compressed_size = in.u64();
    header.statistics.block_count = in.u64();
    header.creation_parameter = in.u64();
    return header;
}

page_buffer compress_tree_image(std::span<const std::uint8_t> image, int level)
{
    if (image.size() > LZ4_MAX_INPUT_SIZE)
        tavik::details::throw_win32_error(ERROR_FILE_TOO_LARGE);
    const int length = static_cast<int>(image.size());
    const int bound = LZ4_compressBound(length);
    page_buffer buffer;
    buffer.reserve(static_cast<std::uint32_t>(bound) + 8);
    const int compressed = LZ4_compress_HC(reinterpret_cast<const char*>(image.data()),
                                           reinterpret_cast<char*>(buffer.data) + 8, length, bound, level);
    if (compressed <= 0)
        tavik::details::throw_win32_error(ERROR_FILE_TOO_LARGE);
    const auto n = static_cast<std::uint32_t>(length);
    const auto c = static_cast<std::uint32_t>(compressed);
    tavik::byte_writer lengths(std::span<std::byte>(buffer.data, 8));
    lengths.u32(n);
    lengths.u32(c);
    buffer.used = c + 8;
    return buffer;
}

std::error_code decode_file_info(std::span<const std::uint8_t> file, file_info_header& header, page_buffer& image)
{
    tavik::byte_reader in(std::as_bytes(file));
    const file_info_header read = read_file_info_header(in);
    if (in.ok())
        header = read;
    const std::uint32_t n = in.u32();
    const std::uint32_t c = in.u32();
    if (!in.ok() || header.signature[0] != file_info_signature[0] || header.signature[1] != file_info_signature[1])
        return create_error::folder_invalid;
    if (in.remaining() != c || n < 4 || c > LZ4_MAX_INPUT_SIZE ||
        n > std::uint64_t(c) * lz4_max_ratio + lz4_ratio_slack || n > LZ4_MAX_INPUT_SIZE)
        return create_error::folder_invalid;
    if (image.capacity < n)
        image.reserve(n);
    const int decompressed = LZ4_decompress_safe(reinterpret_cast<const char*>(file.data() + file_info_prefix_length),
                                                 reinterpret_cast<char*>(image.data), static_cast<int>(c),
                                                 static_cast<int>(n));
    if (decompressed < 0 || static_cast<std::uint32_t>(decompressed) != n)
        return internal_error::invariant_broken;
    image.used = n;
    return {};
}

} // namespace dedup
