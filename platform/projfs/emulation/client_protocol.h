#pragma once
// What the command-line client (platform/projfs/client) and the pipe that the emulation serves in
// the provider's process say to each other. One request per connection: the client writes a
// request, the provider's process answers with a reply header and the reply's bytes, and the
// connection ends.
//
// Pipe: "\\.\pipe\projfs-emulation-<key>", key as root_record::key() gives it for the root.
//
// Little-endian:
//
//   request
//   offset  size  field
//   0       4     total length t of the request, this field included
//   4       4     operation (client_operation)
//   8       8     offset (read, write)
//   16      8     length (read: bytes wanted, all_bytes for the rest of the file; list: the
//                 enumeration buffer's size; attributes: the attributes to clear)
//   24      4     value (attributes: the attributes to set; list: restart the scan after this
//                 many entries, 0 for never)
//   28      4     number of paths n
//   32      4     data length d
//   36      ...   n paths, each a 4-byte length in UTF-16 code units and the code units, relative
//                 to the root; then d bytes of data (write)
//
//   reply
//   0       4     HRESULT of the operation
//   4       8     length p of what follows
//   12      p     list: UTF-8 lines "<attributes, 8 hex digits> <size> <name>\n" in the file
//                 system's name order; read: the bytes; state: the PRJ_FILE_STATE in 8 hex digits
//                 and "\n"; otherwise nothing

#include <windows.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace projfs::emulation {

enum class client_operation : std::uint32_t {
    list = 1,
    read = 2,
    write = 3,
    attributes = 4,
    rename = 5,
    link = 6,
    remove = 7,
    state = 8,
};

struct client_request {
    client_operation operation = client_operation::state;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    std::uint32_t value = 0;
    std::vector<std::wstring> paths;
    std::vector<std::byte> data;

    static constexpr std::uint64_t all_bytes = ~std::uint64_t(0);
};

inline constexpr std::size_t request_fixed_length = 36;
inline constexpr std::size_t reply_header_length = 12;
// A request larger than this is refused unread: nothing the client sends comes near it.
inline constexpr std::uint32_t request_limit = 256u << 20;

// The pipe of the provider's process that serves the root with this key.
std::wstring client_pipe_name(std::wstring_view root_key);

std::vector<std::byte> encode_request(const client_request& request);
// The request in `bytes` (all of it, its length field included), or none when it is malformed.
std::optional<client_request> decode_request(const std::vector<std::byte>& bytes);

std::vector<std::byte> encode_reply_header(HRESULT result, std::uint64_t length);
void decode_reply_header(const std::byte* bytes, HRESULT& result, std::uint64_t& length);

// Whole-buffer pipe transfers; false with GetLastError set when the pipe fails or ends early.
bool write_all(HANDLE pipe, const void* data, std::size_t size);
bool read_all(HANDLE pipe, void* data, std::size_t size);

} // namespace projfs::emulation
