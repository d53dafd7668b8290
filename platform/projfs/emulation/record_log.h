#pragma once
// The byte format of a root's record file (root_record.h): a header, then an append-only log of
// entries, each putting or erasing what is recorded for one item. The reader and writer of both
// are here and nowhere else; the file they live in is a record_file.
//
// Little-endian:
//
//   header
//   offset  size  field
//   0       8     "PRJEMREC"
//   8       4     version, 1
//   12      4     header length h (bytes, the root path included); the entries start there
//   16      8     generation: a new random value whenever the root is marked anew; a process whose
//                 copy has another generation reads the whole log again
//   24      16    instance id (GUID) given when the root was marked
//   40      8     file index of the root directory when it was marked
//   48      4     root path length in UTF-16 code units
//   52      2n    the root path, as marked
//
//   entry (at h, then one after the other)
//   offset  size  field
//   0       4     entry length e, this field included: 40 + 2L
//   4       1     operation: 1 put, 3 origin, anything else erase
//   5       1     recorded kind (1 virtual: a shell, 2 placeholder, 3 hydrated placeholder)
//   6       2     zero
//   8       8     size
//   16      8     creation time (signed FILETIME ticks)
//   24      8     last write time (signed FILETIME ticks)
//   32      4     attributes (FILE_ATTRIBUTE_*)
//   36      4     path length L in UTF-16 code units
//   40      2L    the path relative to the root, as written
//   An erase entry's kind and look mean nothing; the emulation writes kind 2 and zeros there.
//   An origin entry says under which path a placeholder file that an application moved asks for
//   its data (the path it was written at): its path field holds the item's path, one zero code
//   unit and that path; nothing after the zero means the item asks under its own path again. Its
//   kind and look mean nothing, as an erase's. An erase of a path ends its origin too.
//
// Damage: a file shorter than the fixed header, or one whose magic or version differ, or whose
// header length runs past the end of the file, is an unmarked root. An entry that runs past the end
// of the file or whose length disagrees with its path length (a writer that died mid-append) ends
// the log there; the next append cuts it off.

#include <platform/projfs/emulation/item_state.h>

#include <tavik/unique_handle.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace projfs::emulation {

namespace record_log {

inline constexpr std::size_t header_fixed_length = 52;
inline constexpr std::size_t entry_fixed_length = 40;

enum class operation : std::uint8_t { put = 1, erase = 2, origin = 3 };

// The fixed part of the header: what a process needs to follow the log. The root path after it is
// written for whoever reads the file by hand; the emulation knows the path it opened the record by.
struct header {
    std::uint32_t length = 0;  // where the entries start
    std::uint64_t generation = 0;
    GUID instance_id{};
    std::uint64_t root_file_index = 0;
};

// The header of a record file of `file_size` bytes, read from its first bytes (`fixed` holds
// header_fixed_length of them, or fewer when the file is shorter), or none when the file is not
// the record of a marked root.
std::optional<header> read_header(std::span<const std::byte> fixed, std::uint64_t file_size) noexcept;

// The whole header; its length field covers `root_path`.
std::vector<std::byte> write_header(std::uint64_t generation, const GUID& instance_id, std::uint64_t root_file_index,
                                    std::wstring_view root_path);

struct entry {
    operation op = operation::put;
    std::wstring path;
    std::wstring origin;  // an origin entry's; empty for none
    recorded_item item;  // meaningful for a put
};

// One entry, ready to append.
std::vector<std::byte> write_entry(operation op, std::wstring_view relative, const recorded_item& item);
// An origin entry: `relative` asks for its data under `origin` (empty: under its own path).
std::vector<std::byte> write_origin_entry(std::wstring_view relative, std::wstring_view origin);

// Reads the complete entries at the start of `log`: next() gives them in order and none at the end
// or at a torn or damaged entry, after which consumed() is where the next append belongs.
class entry_reader {
public:
    explicit entry_reader(std::span<const std::byte> log) noexcept : log_(log) {}
    std::optional<entry> next();
    std::size_t consumed() const noexcept { return consumed_; }

private:
    std::span<const std::byte> log_;
    std::size_t consumed_ = 0;
};

} // namespace record_log

// The record file of one root, shared by every process that uses the root (root_record.h says how
// they take turns). Failures leave their code in GetLastError.
class record_file {
public:
    // Opens the record file `path`, made when `create` and missing. Empty when that fails.
    static record_file open(const std::wstring& path, bool create);

    explicit operator bool() const noexcept { return static_cast<bool>(handle_); }

    bool size(std::uint64_t& size) const;
    // Reads up to `buffer.size()` bytes at `offset`; fewer (`read`) only at the end of the file.
    bool read_at(std::uint64_t offset, std::span<std::byte> buffer, std::size_t& read) const;
    bool write_at(std::uint64_t offset, std::span<const std::byte> data);
    // Cuts the file to, or extends it with zeros to, `length` bytes.
    bool set_length(std::uint64_t length);

private:
    explicit record_file(tavik::unique_file handle) noexcept : handle_(std::move(handle)) {}

    tavik::unique_file handle_;
};

} // namespace projfs::emulation
