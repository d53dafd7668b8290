#pragma once
// The folder tree file "files.deinfo": the folder tree between runs, with the folder's identifier,
// the store statistics and the creation parameter. Little-endian, no alignment anywhere:
//
//   offset  size  field
//   0       16    signature 6D 83 AA 35 8A D8 20 4C B9 17 9E 7A 20 0D D8 BD
//   16      16    folder identifier (a GUID in its in-memory layout)
//   32      32    folder statistics when written: u64 uncompressed, unique, compressed size, blocks
//   64      8     creation parameter: the block-file size limit, zero-extended
//   72      4     n: length of the tree image
//   76      4     c: length of the compressed tree image
//   80      c     the tree image as one LZ4 block (no frame), compressed with LZ4HC
//
// Bytes 0-71 are file_info_header; the file ends at 80 + c. The tree image is the root folder's
// body (the root's own record is not stored; an empty tree is the image 00 00 00 00):
//
//   folder body    u32 child count k, then k item records in the folder's child order
//   item record    u32 name length L and L UTF-16 code units (no terminator); u64 size; 40 bytes
//                  of basic info: i64 creation, last access, last write and change time, u32
//                  attributes, 4 zero bytes; 16-byte security key; u32 stream count s and s stream
//                  records; u8 flags; when flags bit 0 is set, the item's own folder body follows
//   stream record  u32 name length and name as above; u32 reference count r; r block references
//                  of 32 bytes each (16-byte key, u64 offset, u64 reserved)
//
// Reading trusts nothing in the file. "Folder is invalid": a file shorter than 80 bytes, another
// signature, an image length below 4 or beyond what c bytes can decompress to, a compressed length
// past the end of the file, bytes after 80 + c, and any damage of the image itself (folder_tree.h).
// "Internal invariant totally broken": a compressed image that does not decompress to exactly n
// bytes.
//
// The file is replaced through durable_replace ("files.deinfo.new", swapped in with a
// "files.deinfo.backup"); the root folder object writes and reads it (root_folder.h).

#include <dedup/engine/folder_statistics.h>
#include <dedup/engine/file_io.h>

#include <tavik/byte_codec.h>

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <span>
#include <system_error>

namespace dedup {

struct file_info_header {
    std::uint64_t signature[2];
    GUID folder_id;
    folder_statistics statistics;
    std::uint64_t creation_parameter;
};
static_assert(sizeof(file_info_header) == 72);
static_assert(offsetof(file_info_header, folder_id) == 16);
static_assert(offsetof(file_info_header, statistics) == 32);
static_assert(offsetof(file_info_header, creation_parameter) == 64);

inline constexpr std::uint64_t file_info_signature[2] = {0x4C20D88A35AA836Dull, 0xBDD80D207A9E17B9ull};
inline constexpr std::size_t file_info_prefix_length = 80;  // the header, n and c

// A header with the signature and nothing else.
file_info_header new_file_info_header() noexcept;

// Bytes 0-71, field by field. The reader fails (ok() false) on an image shorter than the header.
void write_file_info_header(tavik::byte_writer& out, const file_info_header& header);
file_info_header read_file_info_header(tavik::byte_reader& in) noexcept;

// What follows the header: u32 n, u32 c and the compressed image, in page-granular memory
// (`used` bytes of it). LZ4HC levels run from 1 to 12; a level below 1 means 9, above 12 means 12.
// Raises traceable_error with ERROR_FILE_TOO_LARGE for an image that one LZ4 block cannot hold:
// writing it anyway would leave a file that no load can read.
page_buffer compress_tree_image(std::span<const std::uint8_t> image, int level);

// Checks a whole file and decompresses its tree image into `image` (`used` = n). `header` receives
// bytes 0-71 of any file that has them, also when the signature differs.
std::error_code decode_file_info(std::span<const std::uint8_t> file, file_info_header& header, page_buffer& image);

} // namespace dedup
