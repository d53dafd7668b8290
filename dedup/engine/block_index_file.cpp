#include <dedup/engine/block_index_file.h>

#include <tavik/error_categories.h>

namespace dedup::block_index_file {

void write_header(tavik::byte_writer& out, std::uint64_t next_number)
{
    out.u64(magic1);
    out.u64(magic2);
    out.u64(next_number);
}

void write_record(tavik::byte_writer& out, const record& r)
{
    out.u64(r.key.low);
    out.u64(r.key.high);
    out.u64(r.file_number);
    out.u32(r.offset);
    out.u32(r.size);
    out.u32(r.references);
}

record read_record(tavik::byte_reader& in) noexcept
{
    record r;
    r.key.low = in.u64();
    r.key.high = in.u64();
    r.file_number = in.u64();
    r.offset = in.u32();
    r.size = in.u32();
    r.references = in.u32();
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
    tavik::byte_reader in(image);
    const std::uint64_t first = in.u64();
    const std::uint64_t second = in.u64();
    in.skip(8);  // the next number when written: a load takes it from the block files
    if (first != magic1 || second != magic2)
        return create_error::folder_invalid;

    for (std::uint64_t i = 0; i < count; ++i) {
        // check_size made the image a header and whole records: no read here runs short.
        record r = read_record(in);
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
