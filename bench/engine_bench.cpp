// Figures of the store engine, one function per area. Run all areas, or name some on the command
// line (engine_bench.exe store).

#include <harness.h>

#include <dedup/engine/block_index.h>
#include <dedup/engine/block_store.h>
#include <dedup/engine/block_writer.h>
#include <dedup/engine/folder_tree.h>
#include <dedup/engine/gear_chunker.h>
#include <dedup/engine/root_folder.h>

#include <ostrel/com/ptr.h>

#include <tavik/future.h>

#include <windows.h>
#include <psapi.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <lz4.h>
#include <lz4hc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;

template <class T>
T run(tavik::details::future<T> f)
{
    return tavik::details::wait_blocking_result(std::move(f));
}

// ---------------------------------------------------------------------------------------------
// Block store

constexpr int level = 7;
constexpr std::uint32_t limit = 0x3200000;  // 50 MiB, as every served folder uses
constexpr std::uint32_t block = 256 * 1024;

// Text-like data that LZ4HC shrinks to about a third, different for every seed.
void fill_text(std::byte* out, std::size_t size, std::uint64_t seed)
{
    static const std::string_view words[] = {"the ", "block ", "store ", "of ", "a ", "folder ", "keeps ", "every ",
                                             "distinct ", "chunk ", "once, ", "and ", "reads ", "them ", "back ",
                                             "through ", "its ", "cache; ", "files ", "are ", "written ", "whole. ",
                                             "\r\n", "data ", "1234 ", "5678 ", "index ", "key ", "hash ", "size ",
                                             "offset ", "count "};
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    std::size_t at = 0;
    while (at < size) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        auto w = words[x % std::size(words)];
        if ((x >> 20) % 16 == 0) {
            // Some noise, so the data is not one long repetition.
            char noise[8];
            std::memcpy(noise, &x, 8);
            w = std::string_view(noise, 8);
            std::size_t n = std::min(w.size(), size - at);
            std::memcpy(out + at, w.data(), n);
            at += n;
            continue;
        }
        std::size_t n = std::min(w.size(), size - at);
        std::memcpy(out + at, w.data(), n);
        at += n;
    }
}

dedup::block_key key_of(const std::byte* data, std::size_t size)
{
    XXH128_hash_t h = XXH3_128bits(data, size);
    return {h.low64, h.high64};
}

std::uint64_t working_set()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    return counters.WorkingSetSize;
}

// Samples the working set while alive; peak() is the highest value seen.
class memory_sampler {
public:
    memory_sampler()
        : thread_([this] {
              while (!stop_) {
                  peak_ = std::max<std::uint64_t>(peak_, working_set());
                  std::this_thread::sleep_for(5ms);
              }
          })
    {
    }
    ~memory_sampler() { finish(); }
    std::uint64_t finish()
    {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
        }
        return peak_;
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> peak_{0};
    std::thread thread_;
};

class temp_store_folder {
public:
    temp_store_folder()
    {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        path_ = std::wstring(base) + L"engine-bench-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(counter_++);
        std::filesystem::create_directories(path_ + L"\\blocks");
    }
    ~temp_store_folder()
    {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    std::wstring blocks() const { return path_ + L"\\blocks"; }

private:
    static inline int counter_ = 0;
    std::wstring path_;
};

std::unique_ptr<dedup::block_store> open_store(const std::wstring& path, std::uint32_t slots = 0)
{
    dedup::block_store_options options;
    options.compression_slots = slots;
    options.eviction_timer = false;
    auto store = std::make_unique<dedup::block_store>(options);
    store->init(path, limit);
    if (store->open_store())
        throw std::runtime_error("open_store failed");
    return store;
}

tavik::details::future<void> add_unique_blocks(dedup::block_writer& writer, std::uint64_t total, std::uint64_t seed)
{
    std::vector<std::byte> data(block);
    for (std::uint64_t done = 0; done < total; done += block) {
        fill_text(data.data(), block, seed + done / block);
        co_await writer.add_block(key_of(data.data(), block), data.data(), block, dedup::block_kind::data, level);
    }
}

void index_figures()
{
    constexpr std::uint32_t count = 1'000'000;
    std::vector<dedup::block_key> keys(count);
    for (std::uint32_t i = 0; i < count; ++i)
        keys[i] = key_of(reinterpret_cast<const std::byte*>(&i), sizeof(i));

    double seconds = bench::median_seconds(5, [&] {
        dedup::block_index index;
        for (const auto& k : keys)
            index.try_emplace(k, dedup::block_entry{nullptr, 0, 64, 1});
    });
    bench::report("store_index_inserts_1M", count / seconds, "inserts/s");

    // Through the writer: key lookup, copy into the open block file, entry, one coroutine each.
    std::vector<std::byte> bytes(32);
    seconds = bench::median_seconds(3, [&] {
        dedup::block_store store(dedup::block_store_options{nullptr, {}, 0, 0, false});
        store.init(L"", limit);
        auto writer = dedup::make_block_writer(store);
        for (std::uint32_t i = 0; i < count; ++i) {
            std::memcpy(bytes.data(), &i, 4);
            run(writer->add_block(keys[i], bytes.data(), 32, dedup::block_kind::data, level));
        }
    });
    bench::report("store_add_block_1M", count / seconds, "adds/s");
}

void compression_figures()
{
    std::vector<std::byte> content(limit);
    fill_text(content.data(), content.size(), 42);
    const int bound = LZ4_compressBound(static_cast<int>(limit));

    int compressed = 0;
    double one = bench::median_seconds(3, [&] {
        std::vector<char> out(bound);
        compressed = LZ4_compress_HC(reinterpret_cast<const char*>(content.data()), out.data(), static_cast<int>(limit),
                                     bound, level);
    });
    bench::report("store_compress_50MiB_level7", limit / one / 1e6, "MB/s");
    bench::report("store_compress_50MiB_ratio", double(limit) / compressed, "x");

    SYSTEM_INFO info;
    GetSystemInfo(&info);
    std::vector<unsigned> counts{1, 2, 4};
    if (info.dwNumberOfProcessors > 4)
        counts.push_back(info.dwNumberOfProcessors);
    double base = 0;
    for (unsigned n : counts) {
        double seconds = bench::median_seconds(1, [&] {
            std::vector<std::thread> threads;
            for (unsigned t = 0; t < n; ++t)
                threads.emplace_back([&] {
                    std::vector<char> out(bound);
                    LZ4_compress_HC(reinterpret_cast<const char*>(content.data()), out.data(), static_cast<int>(limit),
                                    bound, level);
                });
            for (auto& t : threads)
                t.join();
        });
        double throughput = n * double(limit) / seconds / 1e6;
        if (n == 1)
            base = throughput;
        bench::report("store_compress_parallel_" + std::to_string(n) + "_files", throughput, "MB/s");
        bench::report("store_compress_parallel_" + std::to_string(n) + "_speedup", throughput / base, "x");
    }

    // The whole close of one file: compression on the pool, unbuffered write, flush.
    temp_store_folder folder;
    std::vector<double> closes;
    for (int i = 0; i < 3; ++i) {
        auto store = open_store(folder.blocks());
        auto writer = dedup::make_block_writer(*store);
        run(add_unique_blocks(*writer, limit - block, 1000 + i));
        auto start = std::chrono::steady_clock::now();
        run(dedup::complete_compression(*writer, level));
        closes.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(closes.begin(), closes.end());
    bench::report("store_close_50MiB_file", closes[1] * 1000, "ms");
}

void read_figures()
{
    temp_store_folder folder;
    std::vector<dedup::block_key> keys;
    {
        auto store = open_store(folder.blocks());
        auto writer = dedup::make_block_writer(*store);
        std::vector<std::byte> data(block);
        for (std::uint32_t i = 0; i < limit / block; ++i) {
            fill_text(data.data(), block, 5000 + i);
            keys.push_back(key_of(data.data(), block));
            run(writer->add_block(keys.back(), data.data(), block, dedup::block_kind::data, level));
        }
        run(dedup::complete_compression(*writer, level));
        run(dedup::save_block_index(*writer));
    }

    // A cold read loads and decompresses the whole 50 MiB file (from the system's file cache).
    double cold = bench::median_seconds(5, [&] {
        auto store = open_store(folder.blocks());
        dedup::block_view view = run(dedup::fetch_block(*store, keys[7]));
        if (view.size() != block)
            throw std::runtime_error("bad read");
    });
    bench::report("store_cold_read_50MiB_file", cold * 1000, "ms");

    auto store = open_store(folder.blocks());
    run(dedup::fetch_block(*store, keys[0])).reset();
    constexpr int reads = 200'000;
    double warm = bench::median_seconds(3, [&] {
        for (int i = 0; i < reads; ++i) {
            dedup::block_view view = run(dedup::fetch_block(*store, keys[i % keys.size()]));
            if (view.empty())
                throw std::runtime_error("bad read");
        }
    });
    bench::report("store_warm_block_reads", reads / warm, "reads/s");
}

void memory_figures()
{
    constexpr std::uint64_t total = 2ull << 30;
    for (auto [slots, name] : {std::pair<std::uint32_t, const char*>{0, "bounded"}, {100000, "unbounded"}}) {
        temp_store_folder folder;
        std::uint64_t before = working_set();
        memory_sampler sampler;
        auto start = std::chrono::steady_clock::now();
        {
            auto store = open_store(folder.blocks(), slots);
            auto writer = dedup::make_block_writer(*store);
            run(add_unique_blocks(*writer, total, 1'000'000));
            run(dedup::complete_compression(*writer, level));
            run(dedup::save_block_index(*writer));
        }
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::uint64_t peak = sampler.finish();
        std::string prefix = std::string("store_write_2GiB_") + name;
        bench::report(prefix + "_peak_memory", (peak - std::min(peak, before)) / 1048576.0, "MiB");
        bench::report(prefix + "_throughput", total / seconds / 1e6, "MB/s");
    }
}

void store_figures()
{
    index_figures();
    compression_figures();
    read_figures();
    memory_figures();
}

// ---------------------------------------------------------------------------------------------
// Folder tree and "files.deinfo"

// A tree of `folders` folders of `files` files each, every file with one stream of two references,
// as an optimize leaves small files.
std::shared_ptr<dedup::impl::folder_t> make_tree(std::uint32_t folders, std::uint32_t files)
{
    using dedup::impl::file_t;
    using dedup::impl::folder_t;
    auto root = std::make_shared<folder_t>();
    for (std::uint32_t f = 0; f < folders; ++f) {
        auto folder = std::make_shared<folder_t>();
        folder->basic_info.FileAttributes = FILE_ATTRIBUTE_DIRECTORY;
        folder->basic_info.LastWriteTime.QuadPart = 133000000000000000 + f;
        folder->security_key = dedup::block_key{f + 1ull, 1};
        folder->parent = root.get();
        for (std::uint32_t i = 0; i < files; ++i) {
            auto file = std::make_shared<file_t>();
            file->size = 1000 + i;
            file->basic_info.CreationTime.QuadPart = 133000000000000000 + i;
            file->basic_info.LastAccessTime = file->basic_info.CreationTime;
            file->basic_info.LastWriteTime = file->basic_info.CreationTime;
            file->basic_info.ChangeTime = file->basic_info.CreationTime;
            file->basic_info.FileAttributes = FILE_ATTRIBUTE_ARCHIVE;
            file->security_key = dedup::block_key{f + 1ull, 1};
            const std::uint64_t k = std::uint64_t(f) * files + i;
            file->streams.push_back({L"", {dedup::block_ref{dedup::block_key{k * 0x9E3779B97F4A7C15ull, k}, 0, 0},
                                           dedup::block_ref{dedup::block_key{k ^ 0xABCDEFull, ~k}, 700, 0}}});
            file->parent = folder.get();
            wchar_t name[32];
            swprintf(name, 32, L"document-%06u.dat", i);
            folder->insert_or_assign(name, std::move(file));
        }
        wchar_t name[32];
        swprintf(name, 32, L"Folder %04u", f);
        root->insert_or_assign(name, std::move(folder));
    }
    return root;
}

// Load and save of a tree of a million items through the root folder object: the save serializes,
// compresses (LZ4HC level 7) and replaces "files.deinfo"; the load (open) reads, decompresses,
// rebuilds the tree and opens the (empty) block store.
void tree_figures()
{
    constexpr std::uint32_t folders = 1000;
    constexpr std::uint32_t files = 1000;
    constexpr double items = double(folders) * files + folders;
    wchar_t base[MAX_PATH];
    GetTempPathW(MAX_PATH, base);
    const std::wstring parent = std::wstring(base) + L"tree-bench-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring folder = parent + L"\\Data";
    std::filesystem::create_directories(parent);
    tavik::details::cancellation_source lifetime;
    dedup::impl::root_folder_options options;
    options.store.eviction_timer = false;

    std::uint64_t before = working_set();
    auto start = std::chrono::steady_clock::now();
    auto tree = make_tree(folders, files);
    bench::report("tree_build_1M_items", std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count(),
                  "s");
    bench::report("tree_in_memory_1M_items", (working_set() - std::min(working_set(), before)) / 1048576.0, "MiB");

    std::vector<std::uint8_t> image;
    double serialize = bench::median_seconds(3, [&] { image = dedup::impl::serialize_tree(*tree); });
    bench::report("tree_serialize_1M_items", serialize * 1000, "ms");
    bench::report("tree_image_1M_items", image.size() / 1048576.0, "MiB");

    {
        auto root = Ostrel::com::make<dedup::impl::root_folder>(lifetime, options);
        if (root->create(folder, dedup::create_params{}))
            throw std::runtime_error("create failed");
        std::uint64_t save_base = working_set();
        memory_sampler sampler;
        double save = bench::median_seconds(3, [&] { run(root->save_file_info(image, level)); });
        std::uint64_t peak = sampler.finish();
        bench::report("tree_save_1M_items", save * 1000, "ms");
        bench::report("tree_save_1M_items_peak_memory", (peak - std::min(peak, save_base)) / 1048576.0, "MiB");
        bench::report("tree_file_1M_items", std::filesystem::file_size(folder + L".dedup\\files.deinfo") / 1048576.0,
                      "MiB");
        // An empty block index beside the tree, so that the load finds a whole store.
        dedup::block_store store(dedup::block_store_options{nullptr, {}, 0, 0, false});
        store.init(folder + L".dedup\\blocks", limit);
        if (store.open_store(true))
            throw std::runtime_error("open_store failed");
        auto writer = dedup::make_block_writer(store);
        run(dedup::complete_compression(*writer, level));
        run(dedup::save_block_index(*writer));
    }
    image = {};
    image.shrink_to_fit();
    tree.reset();

    std::vector<double> loads;
    std::uint64_t load_peak = 0;
    std::uint64_t load_base = working_set();
    for (int i = 0; i < 3; ++i) {
        memory_sampler sampler;
        auto start_load = std::chrono::steady_clock::now();
        auto root = Ostrel::com::make<dedup::impl::root_folder>(lifetime, options);
        if (run(root->open(folder)))
            throw std::runtime_error("open failed");
        loads.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start_load).count());
        load_peak = std::max(load_peak, sampler.finish());
    }
    std::sort(loads.begin(), loads.end());
    bench::report("tree_load_1M_items", loads[1] * 1000, "ms");
    bench::report("tree_load_1M_items_rate", items / loads[1], "items/s");
    bench::report("tree_load_1M_items_peak_memory", (load_peak - std::min(load_peak, load_base)) / 1048576.0, "MiB");

    std::error_code ignored;
    std::filesystem::remove_all(parent, ignored);
}

// ---------------------------------------------------------------------------------------------
// Cutting and hashing file data: one core, data already in memory, fed in the reader's 256 KiB
// pieces. The chunker is measured beside the bare Gear loop it is built on and beside XXH3-128,
// which hashes every chunk afterwards.

// Hashes each chunk as the file ingestion does (XXH3-128 with one reused state). Without
// `hashing` it only counts, which measures the cutting alone.
class bench_sink final : public dedup::stream_block_sink {
public:
    explicit bench_sink(bool hashing) : hashing_(hashing), state_(XXH3_createState()) {}
    ~bench_sink() { XXH3_freeState(state_); }

    tavik::details::future<void> add_chunk(const std::byte* bytes, std::uint32_t length) override
    {
        ++chunks;
        if (hashing_) {
            XXH3_128bits_reset(state_);
            XXH3_128bits_update(state_, bytes, length);
            digest ^= XXH3_128bits_digest(state_).low64;
        }
        co_return;
    }
    tavik::details::future<void> fold_references() override { co_return; }
    std::vector<dedup::block_ref> take_references() override { return {}; }

    std::uint64_t chunks = 0;
    std::uint64_t digest = 0;

private:
    bool hashing_;
    XXH3_state_t* state_;
};

void chunk_figures()
{
    constexpr std::size_t total = std::size_t(1) << 30;
    constexpr std::size_t piece = dedup::max_pending_length;
    const double gigabytes = double(total) / 1e9;

    std::vector<std::byte> data(total);
    std::uint64_t x = 0x9E3779B97F4A7C15ull;
    for (std::size_t i = 0; i < total; i += 8) {
        x ^= x << 13, x ^= x >> 7, x ^= x << 17;
        std::memcpy(data.data() + i, &x, 8);
    }

    std::uint64_t sink_hole = 0;  // results folded in, so that no loop is optimised away

    double seconds = bench::median_seconds(3, [&] {
        std::uint64_t h = 0, qualifying = 0;
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
        for (std::size_t i = 0; i < total; ++i) {
            h = dedup::gear_table[bytes[i]] + (h << 1);
            qualifying += (h & dedup::gear_cut_mask) == 0;
        }
        sink_hole += h + qualifying;
    });
    const double gear = gigabytes / seconds;
    bench::report("chunk_gear_loop_1GiB", gear, "GB/s");

    auto cut_all = [&](bench_sink& sink) {
        dedup::page_buffer_pool pool;
        dedup::gear_chunker chunker(pool, sink);
        for (std::size_t at = 0; at < total; at += piece)
            run(chunker.feed(data.data() + at, std::int32_t(std::min(piece, total - at))));
        run(chunker.finish());
        sink_hole += sink.chunks + sink.digest;
    };
    seconds = bench::median_seconds(3, [&] {
        bench_sink sink(false);
        cut_all(sink);
    });
    const double cut = gigabytes / seconds;
    bench::report("chunk_cut_1GiB", cut, "GB/s");
    bench::report("chunk_cut_vs_gear_loop", cut / gear, "ratio");

    seconds = bench::median_seconds(3, [&] {
        sink_hole += XXH3_128bits(data.data(), total).low64;
    });
    const double hash = gigabytes / seconds;
    bench::report("chunk_xxh3_128_1GiB", hash, "GB/s");

    seconds = bench::median_seconds(3, [&] {
        bench_sink sink(true);
        cut_all(sink);
    });
    bench::report("chunk_cut_and_hash_1GiB", gigabytes / seconds, "GB/s");
    bench::report("chunk_cut_and_hash_vs_gear_loop", gigabytes / seconds / gear, "ratio");

    if (sink_hole == 42)
        std::puts("");
}

struct area {
    const char* name;
    void (*figures)();
};

const area areas[] = {
    {"store", &store_figures},
    {"tree", &tree_figures},
    {"chunk", &chunk_figures},
};

} // namespace

int main(int argc, char** argv)
{
    for (const area& a : areas) {
        bool wanted = argc < 2;
        for (int i = 1; i < argc; ++i)
            wanted = wanted || std::string_view(argv[i]) == a.name;
        if (wanted) {
            try {
                a.figures();
            } catch (const tavik::details::hresult_error_impl& e) {
                std::fprintf(stderr, "%s: failed with 0x%08lX\n", a.name, static_cast<unsigned long>(e.code()));
                return 1;
            }
        }
    }
    return 0;
}
