#include <dedup/engine/tests/optimize_test_support.h>

#include <dedup/engine/store_names.h>

#include <cstring>
#include <sstream>

namespace dedup::testing {

store_image load_store_image(const std::wstring& store_path)
{
    store_image image;
    const bytes file = read_file(file_info_path(store_path));
    page_buffer tree_image;
    if (decode_file_info({reinterpret_cast<const std::uint8_t*>(file.data()), file.size()}, image.header, tree_image))
        throw std::runtime_error("files.deinfo does not decode");
    image.tree = std::make_shared<impl::folder_t>();
    if (image.tree->deserialize({reinterpret_cast<const std::uint8_t*>(tree_image.data), tree_image.used}))
        throw std::runtime_error("the tree does not deserialize");
    block_store_options options;
    options.eviction_timer = false;
    image.store = std::make_unique<block_store>(options);
    image.store->init(block_folder_path(store_path), static_cast<std::uint32_t>(image.header.creation_parameter),
                      image.header.statistics);
    if (image.store->open_store(image.tree->children.empty()))
        throw std::runtime_error("the block store does not load");
    return image;
}

namespace {

std::vector<block_ref> list_of(block_store& store, const block_key& key)
{
    block_view view = run(fetch_block(store, key));
    std::vector<block_ref> refs(view.size() / sizeof(block_ref));
    if (!refs.empty())
        std::memcpy(refs.data(), view.data(), refs.size() * sizeof(block_ref));
    return refs;
}

struct key_less {
    bool operator()(const block_key& a, const block_key& b) const noexcept
    {
        return a.low != b.low ? a.low < b.low : a.high < b.high;
    }
};

} // namespace

std::string recount_differences(const store_image& image)
{
    std::map<block_key, std::uint64_t, key_less> counted;
    std::vector<const impl::file_t*> pending{image.tree.get()};
    while (!pending.empty()) {
        const impl::file_t* node = pending.back();
        pending.pop_back();
        if (node->is_folder())
            for (const auto& [name, child] : static_cast<const impl::folder_t*>(node)->children)
                pending.push_back(child.get());
        if (node->has_security_descriptor())
            ++counted[node->security_key];
        for (const stream_t& stream : node->streams)
            for (const block_ref& list : stream.refs) {
                ++counted[list.key];
                for (const block_ref& ref : list_of(*image.store, list.key))
                    ++counted[ref.key];
            }
    }
    std::ostringstream out;
    std::uint64_t uncompressed = 0;
    for (const auto& [key, entry] : image.store->index()) {
        auto it = counted.find(key);
        const std::uint64_t count = it == counted.end() ? 0 : it->second;
        if (count != entry.references)
            out << "key " << std::hex << key.low << std::dec << ": index " << entry.references << ", tree " << count
                << "\n";
        uncompressed += std::uint64_t(entry.size) * count;
    }
    for (const auto& [key, count] : counted)
        if (!image.store->index().contains(key))
            out << "key " << std::hex << key.low << std::dec << " held " << count << " times, not in the index\n";
    const folder_statistics stats = image.store->statistics();
    if (stats.uncompressed_size != uncompressed)
        out << "uncompressed size " << stats.uncompressed_size << ", recounted " << uncompressed << "\n";
    return out.str();
}

std::vector<block_ref> data_references(const store_image& image, const std::wstring& relative)
{
    std::vector<block_ref> refs;
    auto found = impl::folder_t::find_path(image.tree, relative);
    if (!found)
        return refs;
    for (const stream_t& stream : found->item->streams)
        for (const block_ref& list : stream.refs)
            for (const block_ref& ref : list_of(*image.store, list.key))
                refs.push_back(ref);
    return refs;
}

std::optional<bytes> stored_content(const store_image& image, const std::wstring& relative)
{
    auto found = impl::folder_t::find_path(image.tree, relative);
    if (!found || found->item->is_folder())
        return std::nullopt;
    bytes content;
    for (const stream_t& stream : found->item->streams)
        for (const block_ref& list : stream.refs)
            for (const block_ref& ref : list_of(*image.store, list.key)) {
                block_view view = run(fetch_block(*image.store, ref.key));
                content.insert(content.end(), view.data(), view.data() + view.size());
            }
    return content;
}

} // namespace dedup::testing
