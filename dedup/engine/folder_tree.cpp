#include <dedup/engine/folder_tree.h>

#include <tavik/byte_codec.h>
#include <tavik/error_categories.h>

#include <cstring>
#include <stdexcept>

namespace dedup::impl {

namespace {

// The smallest possible item record and stream record of the tree image, for checking counts
// against the bytes that are left before anything is reserved for them.
constexpr std::size_t min_item_record = 4 + 8 + 40 + 16 + 4 + 1;
constexpr std::size_t min_stream_record = 4 + 4;

void put_key(tavik::byte_writer& out, const block_key& key)
{
    out.u64(key.low);
    out.u64(key.high);
}

void put_name(tavik::byte_writer& out, const std::wstring& name)
{
    out.u32(static_cast<std::uint32_t>(name.size()));
    out.bytes(std::as_bytes(std::span(name)));
}

void put_record(tavik::byte_writer& out, const std::wstring& name, const file_t& item)
{
    put_name(out, name);
    out.u64(item.size);
    // Field by field, then four zero bytes: the structure's padding may hold anything.
    out.u64(static_cast<std::uint64_t>(item.basic_info.CreationTime.QuadPart));
    out.u64(static_cast<std::uint64_t>(item.basic_info.LastAccessTime.QuadPart));
    out.u64(static_cast<std::uint64_t>(item.basic_info.LastWriteTime.QuadPart));
    out.u64(static_cast<std::uint64_t>(item.basic_info.ChangeTime.QuadPart));
    out.u32(static_cast<std::uint32_t>(item.basic_info.FileAttributes));
    out.u32(0);
    put_key(out, item.security_key);
    out.u32(static_cast<std::uint32_t>(item.streams.size()));
    for (const stream_t& stream : item.streams) {
        put_name(out, stream.name);
        out.u32(static_cast<std::uint32_t>(stream.refs.size()));
        out.bytes(std::as_bytes(std::span(stream.refs)));
    }
    out.u8(item.flags);
}

// The tree image's reads over the shared reader: each answers false instead of passing the end.
class image_reader {
public:
    explicit image_reader(std::span<const std::uint8_t> bytes) noexcept : in_(std::as_bytes(bytes)) {}

    std::size_t remaining() const noexcept { return in_.remaining(); }

    template <std::unsigned_integral T>
    bool read(T& value) noexcept
    {
        value = in_.get<T>();
        return in_.ok();
    }

    bool read(std::int64_t& value) noexcept
    {
        value = static_cast<std::int64_t>(in_.u64());
        return in_.ok();
    }

    bool read(block_key& key) noexcept
    {
        key.low = in_.u64();
        key.high = in_.u64();
        return in_.ok();
    }

    bool skip(std::size_t length) noexcept
    {
        in_.skip(length);
        return in_.ok();
    }

    // u32 length and that many UTF-16 code units; a NUL inside a name is damage (names are
    // compared as terminated strings).
    bool read_name(std::wstring& name)
    {
        std::uint32_t length;
        if (!read(length) || length > remaining() / sizeof(wchar_t))
            return false;
        name.resize(length);
        auto raw = in_.bytes(std::size_t(length) * sizeof(wchar_t));
        std::memcpy(name.data(), raw.data(), raw.size());
        return name.find(L'\0') == std::wstring::npos;
    }

    // A count of records of at least `record_size` bytes each, no more than the bytes left hold.
    bool read_count(std::uint32_t& count, std::size_t record_size) noexcept
    {
        return read(count) && count <= remaining() / record_size;
    }

    // `count` block references, stored as they lie in memory (the checked count fits).
    void read_refs(std::vector<block_ref>& refs, std::uint32_t count)
    {
        refs.resize(count);
        auto raw = in_.bytes(std::size_t(count) * sizeof(block_ref));
        std::memcpy(refs.data(), raw.data(), raw.size());
    }

private:
    tavik::byte_reader in_;
};

bool read_streams(image_reader& reader, std::vector<stream_t>& streams, std::uint32_t count)
{
    streams.clear();
    streams.reserve(count);
    for (std::uint32_t i = 0; i < count; ++i) {
        stream_t& stream = streams.emplace_back();
        std::uint32_t refs;
        if (!reader.read_name(stream.name) || !reader.read_count(refs, sizeof(block_ref)))
            return false;
        reader.read_refs(stream.refs, refs);
    }
    return true;
}

// Everything of an item record up to and including its flags.
bool read_record(image_reader& reader, std::wstring& name, file_t& item)
{
    std::uint32_t attributes, streams;
    if (!reader.read_name(name) || !reader.read(item.size) || !reader.read(item.basic_info.CreationTime.QuadPart) ||
        !reader.read(item.basic_info.LastAccessTime.QuadPart) || !reader.read(item.basic_info.LastWriteTime.QuadPart) ||
        !reader.read(item.basic_info.ChangeTime.QuadPart) || !reader.read(attributes) || !reader.skip(4) ||
        !reader.read(item.security_key) || !reader.read_count(streams, min_stream_record) ||
        !read_streams(reader, item.streams, streams) || !reader.read(item.flags))
        return false;
    item.basic_info.FileAttributes = attributes;
    if (item.flags & file_t::no_security_flag)
        item.security_key = block_key{};
    return true;
}

std::size_t name_size(const std::wstring& name) noexcept
{
    return 4 + name.size() * sizeof(wchar_t);
}

// Bytes of the folder's body, so that serialization allocates once: an image grown by doubling
// would pass through twice its size (a million items make an image of some 170 MiB).
std::size_t body_size(const folder_t& top)
{
    std::size_t size = 0;
    std::vector<const folder_t*> pending{&top};
    while (!pending.empty()) {
        const folder_t* folder = pending.back();
        pending.pop_back();
        size += 4;
        for (const auto& [name, child] : folder->children) {
            size += name_size(name) + 8 + 40 + 16 + 4 + 1;
            for (const stream_t& stream : child->streams)
                size += name_size(stream.name) + 4 + stream.refs.size() * sizeof(block_ref);
            if (child->is_folder())
                pending.push_back(static_cast<const folder_t*>(child.get()));
        }
    }
    return size;
}

// Moves every child of `folder` into `pending` and empties the map.
void drain(folder_t::children_map& children, std::vector<std::shared_ptr<file_t>>& pending)
{
    for (auto& [name, child] : children)
        pending.push_back(std::move(child));
    children.clear();
}

} // namespace

folder_t::folder_t(const file_t& record, folder_t* parent_folder) : file_t(record)
{
    parent = parent_folder;
    if (flags & no_security_flag)
        security_key = block_key{};
    flags = folder_flag;
}

folder_t::~folder_t()
{
    std::vector<std::shared_ptr<file_t>> pending;
    drain(children, pending);
    while (!pending.empty()) {
        std::shared_ptr<file_t> node = std::move(pending.back());
        pending.pop_back();
        // A folder nobody else holds gives up its children here, so its own destruction below
        // finds nothing left to release. One that is still held keeps them.
        if (node->is_folder() && node.use_count() == 1)
            drain(static_cast<folder_t&>(*node).children, pending);
    }
}

std::shared_ptr<file_t> folder_t::find_child(const std::wstring& name) const
{
    auto found = children.lower_bound(name);
    if (found == children.end() || projfs::file_name_compare(name.c_str(), found->first.c_str()) < 0)
        return nullptr;
    return found->second;
}

std::optional<found_item> folder_t::find_path(const std::shared_ptr<folder_t>& folder, std::wstring_view path)
{
    if (path.empty())
        return found_item{folder, std::wstring()};
    const folder_t* current = folder.get();
    std::wstring component;
    std::size_t start = 0;
    for (;;) {
        const std::size_t end = path.find(L'\\', start);
        component.assign(path.substr(start, end == std::wstring_view::npos ? std::wstring_view::npos : end - start));
        auto found = current->children.lower_bound(component);
        if (found == current->children.end() ||
            projfs::file_name_compare(component.c_str(), found->first.c_str()) < 0)
            return std::nullopt;
        if (end == std::wstring_view::npos)
            return found_item{found->second, found->first};
        if (!found->second->is_folder())
            return std::nullopt;
        current = static_cast<const folder_t*>(found->second.get());
        start = end + 1;
    }
}

std::pair<folder_t::children_map::iterator, bool> folder_t::insert_or_assign(const std::wstring& name,
                                                                             std::shared_ptr<file_t> node)
{
    auto found = children.lower_bound(name);
    if (found != children.end() && projfs::file_name_compare(name.c_str(), found->first.c_str()) >= 0) {
        found->second = std::move(node);
        return {found, false};
    }
    if (children.size() >= children.max_size())
        throw std::length_error("folder tree: too many children");
    return {children.emplace_hint(found, name, std::move(node)), true};
}

std::shared_ptr<folder_t> folder_t::copy(const folder_t& source, folder_t* new_parent)
{
    auto top = std::make_shared<folder_t>(source, new_parent);
    std::vector<std::pair<const folder_t*, folder_t*>> pending{{&source, top.get()}};
    while (!pending.empty()) {
        auto [from, to] = pending.back();
        pending.pop_back();
        for (const auto& [name, child] : from->children) {
            if (child->is_folder()) {
                auto copied = std::make_shared<folder_t>(*child, to);
                pending.emplace_back(static_cast<const folder_t*>(child.get()), copied.get());
                to->children.emplace_hint(to->children.end(), name, std::move(copied));
            } else {
                auto copied = std::make_shared<file_t>(*child);
                copied->parent = to;
                to->children.emplace_hint(to->children.end(), name, std::move(copied));
            }
        }
    }
    return top;
}

void folder_t::serialize(std::vector<std::uint8_t>& out) const
{
    const std::size_t start = out.size();
    const std::size_t size = body_size(*this);
    out.resize(start + size);
    tavik::byte_writer at(std::span(reinterpret_cast<std::byte*>(out.data()) + start, size));
    std::vector<std::pair<const folder_t*, children_map::const_iterator>> pending{{this, children.begin()}};
    at.u32(static_cast<std::uint32_t>(children.size()));
    while (!pending.empty()) {
        auto& [folder, next] = pending.back();
        if (next == folder->children.end()) {
            pending.pop_back();
            continue;
        }
        const auto& [name, child] = *next++;
        put_record(at, name, *child);
        if (child->is_folder()) {
            const auto* child_folder = static_cast<const folder_t*>(child.get());
            at.u32(static_cast<std::uint32_t>(child_folder->children.size()));
            pending.emplace_back(child_folder, child_folder->children.begin());  // invalidates the references above
        }
    }
    // body_size and the writes above describe one layout: a difference is a fault of this file.
    if (!at.ok() || at.position() != size)
        throw std::logic_error("folder tree image size mismatch");
}

std::error_code folder_t::deserialize(std::span<const std::uint8_t> image)
{
    image_reader reader(image);
    struct frame {
        folder_t* folder;
        std::shared_ptr<folder_t> keep;  // a duplicate folder is read, then dropped with its frame
        std::uint32_t remaining;
    };
    std::vector<frame> pending;
    std::uint32_t count;
    if (!reader.read_count(count, min_item_record)) {
        return create_error::folder_invalid;
    }
    pending.push_back({this, nullptr, count});
    std::wstring name;
    file_t record;
    while (!pending.empty()) {
        if (pending.back().remaining == 0) {
            pending.pop_back();
            continue;
        }
        --pending.back().remaining;
        folder_t* into = pending.back().folder;
        if (!read_record(reader, name, record)) {
            children.clear();
            return create_error::folder_invalid;
        }
        if (record.flags & folder_flag) {
            if (!reader.read_count(count, min_item_record)) {
                children.clear();
                return create_error::folder_invalid;
            }
            auto node = std::make_shared<folder_t>(record, into);
            folder_t* raw = node.get();
            auto position = into->children.emplace_hint(into->children.end(), name, node);
            const bool inserted = position->second.get() == raw;
            pending.push_back({raw, inserted ? nullptr : std::move(node), count});
        } else {
            auto node = std::make_shared<file_t>(std::move(record));
            node->parent = into;
            into->children.emplace_hint(into->children.end(), name, std::move(node));
            record = file_t{};
        }
    }
    if (reader.remaining() != 0) {
        children.clear();
        return create_error::folder_invalid;
    }
    return {};
}

std::vector<std::uint8_t> serialize_tree(const folder_t& folder)
{
    std::vector<std::uint8_t> image;
    folder.serialize(image);
    return image;
}

} // namespace dedup::impl
