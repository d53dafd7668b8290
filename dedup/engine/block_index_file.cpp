#include <dedup/engine/block_index_file.h>

#include <tavik/error_categories.h>

namespace dedup::block_index_file {

void write_header(std::byte* out, std::uint64_t next_number) noexcept
{
    put_u64(out, magic1);
    put_u64(out + 8, magic2);
    put_u64(out + 16, next_number);
}

void write_record(std::byte* out, const record& r) noexcept
{
    put_u64(out, r.key.low);
    put_u64(out + 8, r.key.high);
    put_u64(out + 16, r.file_number);
    put_u32(out + 24, r.offset);
    put_u32(out + 28, r.size);
    put_u32(out + 32, r.references);
}

record read_record(const std::byte* in) noexcept
{
    record r;
    r.key.low = get_u64(in);
    r.key.high = get_u64(in + 8);
    r.file_number = get_u64(in + 16);
    r.offset = get_u32(in + 24);
    r.size = get_u32(in + 28);
    r.references = get_u32(in + 32);
    return r;
}

std::error_code check_size(std::uint64_t size, std::uint64_t& record_count) noexcept
{
    record_count = 0;
    if (size == 0)
        return {};
    if (size < header_size || (size - header_size) % record_size != 0)
        return create_error::folder_invalid;
    record_count = (size - header_size) / record_size;
    return {};
}

std::error_code parse(std::span<const std::byte> image, const std::function<file_extent(std::uint64_t)>& find_file,
                      block_index& index)
{
    std::uint64_t count = 0;
    if (auto error = check_size(image.size(), count))
        return error;
    if (image.empty())
        return {};
    if (get_u64(image.data()) != magic1 || get_u64(image.data() + 8) != magic2)
        return create_error::folder_invalid;

    const std::byte* p = image.data() + header_size;
    for (std::uint64_t i = 0; i < count; ++i, p += record_size) {
        record r = read_record(p);
        file_extent extent = find_file(r.file_number);
        if (!extent.file)
            return internal_error::invariant_broken;
        if (r.size == 0 || r.references == 0 || std::uint64_t(r.offset) + r.size > extent.content_bound)
            return create_error::folder_invalid;
        index.try_emplace(r.key, block_entry{extent.file, r.offset, r.size, r.references});
    }
    return {};
}

} // namespace dedup::block_index_file
