#pragma once
// Helpers of the folder tree file tests: a writer of the image's encoding that knows nothing of the
// tree's own code, the golden tree and its image, and whole files made from an image.

#include <dedup/engine/folder_tree.h>
#include <dedup/engine/folder_tree_file.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace dedup::testing::tree_file {

struct image_writer {
    std::vector<std::uint8_t> bytes;

    template <typename T>
    void raw(const T& value)
    {
        const auto* p = reinterpret_cast<const std::uint8_t*>(&value);
        bytes.insert(bytes.end(), p, p + sizeof(T));
    }
    void u8(std::uint8_t v) { raw(v); }
    void u32(std::uint32_t v) { raw(v); }
    void u64(std::uint64_t v) { raw(v); }
    void name(const std::wstring& text)
    {
        u32(static_cast<std::uint32_t>(text.size()));
        for (wchar_t c : text)
            raw(static_cast<std::uint16_t>(c));
    }
    void key(block_key k)
    {
        u64(k.low);
        u64(k.high);
    }

    struct stream {
        std::wstring name;
        std::vector<block_ref> refs;
    };

    // An item record up to and including its flags; times are derived from `size` so that every
    // record differs; a folder's body follows separately.
    void record(const std::wstring& item, std::uint64_t size, std::uint32_t attributes, block_key security,
                const std::vector<stream>& streams, std::uint8_t flags)
    {
        name(item);
        u64(size);
        for (std::uint64_t t = 1; t <= 4; ++t)
            u64(0x01D0000000000000ull + size * 16 + t);
        u32(attributes);
        u32(0);
        key(security);
        u32(static_cast<std::uint32_t>(streams.size()));
        for (const auto& s : streams) {
            name(s.name);
            u32(static_cast<std::uint32_t>(s.refs.size()));
            for (const auto& r : s.refs) {
                key(r.key);
                u64(r.offset);
                u64(r.reserved);
            }
        }
        u8(flags);
    }
};

inline void set_times(impl::file_t& item)
{
    item.basic_info.CreationTime.QuadPart = static_cast<LONGLONG>(0x01D0000000000000ull + item.size * 16 + 1);
    item.basic_info.LastAccessTime.QuadPart = static_cast<LONGLONG>(0x01D0000000000000ull + item.size * 16 + 2);
    item.basic_info.LastWriteTime.QuadPart = static_cast<LONGLONG>(0x01D0000000000000ull + item.size * 16 + 3);
    item.basic_info.ChangeTime.QuadPart = static_cast<LONGLONG>(0x01D0000000000000ull + item.size * 16 + 4);
}

// root: "a.txt" (a file of two references), "Sub" (a folder holding "x.bin": no security
// descriptor, an empty main stream and a named stream of one reference).
inline std::shared_ptr<impl::folder_t> golden_tree()
{
    auto root = std::make_shared<impl::folder_t>();
    auto a = std::make_shared<impl::file_t>();
    a->size = 5;
    set_times(*a);
    a->basic_info.FileAttributes = FILE_ATTRIBUTE_ARCHIVE;
    a->security_key = block_key{0x1111111111111111ull, 0x2222222222222222ull};
    a->streams.push_back({L"", {block_ref{block_key{0xAAAA, 0xBBBB}, 0, 0}, block_ref{block_key{0xCCCC, 0xDDDD}, 3, 0}}});
    a->parent = root.get();
    auto sub = std::make_shared<impl::folder_t>();
    sub->size = 0;
    set_times(*sub);
    sub->basic_info.FileAttributes = FILE_ATTRIBUTE_DIRECTORY;
    sub->security_key = block_key{0x3333, 0x4444};
    sub->streams.push_back({L"", {}});
    sub->parent = root.get();
    auto x = std::make_shared<impl::file_t>();
    x->size = 7;
    set_times(*x);
    x->basic_info.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    x->streams.push_back({L"", {}});
    x->streams.push_back({L"alt", {block_ref{block_key{5, 6}, 0, 0}}});
    x->flags = impl::file_t::no_security_flag;
    x->parent = sub.get();
    sub->insert_or_assign(L"x.bin", x);
    root->insert_or_assign(L"Sub", sub);
    root->insert_or_assign(L"a.txt", a);
    return root;
}

inline std::vector<std::uint8_t> golden_image()
{
    image_writer w;
    w.u32(2);
    w.record(L"a.txt", 5, FILE_ATTRIBUTE_ARCHIVE, block_key{0x1111111111111111ull, 0x2222222222222222ull},
             {{L"", {block_ref{block_key{0xAAAA, 0xBBBB}, 0, 0}, block_ref{block_key{0xCCCC, 0xDDDD}, 3, 0}}}}, 0);
    w.record(L"Sub", 0, FILE_ATTRIBUTE_DIRECTORY, block_key{0x3333, 0x4444}, {{L"", {}}}, 1);
    w.u32(1);
    w.record(L"x.bin", 7, FILE_ATTRIBUTE_NORMAL, block_key{}, {{L"", {}}, {L"alt", {block_ref{block_key{5, 6}, 0, 0}}}},
             2);
    return w.bytes;
}

inline file_info_header golden_header()
{
    file_info_header header = new_file_info_header();
    header.folder_id = GUID{0x01020304, 0x0506, 0x0708, {9, 10, 11, 12, 13, 14, 15, 16}};
    header.statistics = folder_statistics{100, 50, 30, 2};
    header.creation_parameter = 0x3200000;
    return header;
}

// A whole file: the header, then n, c and the compressed image.
inline std::vector<std::uint8_t> encode(const file_info_header& header, std::span<const std::uint8_t> image,
                                        int level = 7)
{
    std::vector<std::uint8_t> file(sizeof header);
    std::memcpy(file.data(), &header, sizeof header);
    page_buffer tail = compress_tree_image(image, level);
    const auto* p = reinterpret_cast<const std::uint8_t*>(tail.data);
    file.insert(file.end(), p, p + tail.used);
    return file;
}

} // namespace dedup::testing::tree_file
