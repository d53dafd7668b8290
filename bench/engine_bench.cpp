// Figures of the store engine, one function per area. Run all areas, or name some on the command
// line (engine_bench.exe store).

#include <harness.h>

#include <dedup/engine/block_index.h>
#include <dedup/engine/block_store.h>
#include <dedup/engine/block_writer.h>
#include <dedup/engine/file_io.h>
#include <dedup/engine/folder_tree.h>
#include <dedup/engine/gear_chunker.h>
#include <dedup/engine/root_folder.h>
#include <dedup/engine/store_names.h>

#include <platform/projfs/projfs.h>

#include <ostrel/com/ptr.h>

#include <tavik/future.h>
#include <tavik/unique_handle.h>

#include <windows.h>
#include <psapi.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <lz4.h>
#include <lz4hc.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
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

// Sizes of the optimize figures, scaled to what a bench run has time for.
constexpr unsigned unique_text_mib = 512;
constexpr unsigned copy_text_mib = 200;
const std::uint32_t small_files = std::getenv("ENGINE_BENCH_SMALL_FILES")
                                      ? static_cast<std::uint32_t>(std::atoi(std::getenv("ENGINE_BENCH_SMALL_FILES")))
                                      : 20000;

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

// Private bytes committed by the process.
std::uint64_t commit_charge()
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof(counters));
    return counters.PrivateUsage ? counters.PrivateUsage : counters.PagefileUsage;
}

// Wine leaves PageFaultCount and PrivateUsage at zero. Its PagefileUsage is the private commit,
// and the kernel counts the process's page faults in /proc: the entry of this process is the one
// of our program's name whose minor-fault count rises by the pages that a probe touches.
std::wstring own_proc_stat_path()
{
    auto minor_faults = [](const std::wstring& path) -> std::int64_t {
        tavik::unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                            OPEN_EXISTING, 0, nullptr));
        char text[1024];
        DWORD read = 0;
        if (!file || !ReadFile(file.get(), text, sizeof text - 1, &read, nullptr))
            return -1;
        text[read] = 0;
        const char* end = std::strrchr(text, ')');  // the name may hold blanks
        if (!std::strstr(text, "(engine_bench") || !end)
            return -1;
        // Fields after the name: state ppid pgrp session tty tpgid flags minflt.
        unsigned long long values[6] = {};
        char state = 0;
        if (std::sscanf(end + 1, " %c %llu %llu %llu %llu %llu %llu %llu", &state, &values[0], &values[1], &values[2],
                        &values[3], &values[4], &values[5], &values[5]) != 8)
            return -1;
        return static_cast<std::int64_t>(values[5]);
    };
    std::vector<std::pair<std::wstring, std::int64_t>> candidates;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(L"Z:\\proc", error)) {
        const std::wstring name = entry.path().filename().wstring();
        if (name.empty() || name.find_first_not_of(L"0123456789") != std::wstring::npos)
            continue;
        const std::wstring path = entry.path().wstring() + L"\\stat";
        if (std::int64_t faults = minor_faults(path); faults >= 0)
            candidates.emplace_back(path, faults);
    }
    constexpr std::size_t probe_pages = 1024;
    auto* probe = static_cast<volatile char*>(
        VirtualAlloc(nullptr, probe_pages * 4096, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    for (std::size_t i = 0; probe && i < probe_pages; ++i)
        probe[i * 4096] = 1;
    if (probe)
        VirtualFree(const_cast<char*>(probe), 0, MEM_RELEASE);
    for (const auto& [path, before] : candidates)
        if (minor_faults(path) - before >= std::int64_t(probe_pages))
            return path;
    return {};
}

std::uint64_t page_faults()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof(counters));
    if (counters.PageFaultCount != 0)
        return counters.PageFaultCount;
    static const std::wstring stat = own_proc_stat_path();
    if (stat.empty())
        return 0;
    tavik::unique_file file(CreateFileW(stat.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr));
    char text[1024];
    DWORD read = 0;
    if (!file || !ReadFile(file.get(), text, sizeof text - 1, &read, nullptr))
        return 0;
    text[read] = 0;
    // After the name: state ppid pgrp session tty tpgid flags minflt cminflt majflt; the
    // process's own faults are minflt and majflt.
    const char* end = std::strrchr(text, ')');
    unsigned long long fields[9] = {};
    char state = 0;
    if (!end || std::sscanf(end + 1, " %c %llu %llu %llu %llu %llu %llu %llu %llu %llu", &state, &fields[0], &fields[1],
                            &fields[2], &fields[3], &fields[4], &fields[5], &fields[6], &fields[7], &fields[8]) != 10)
        return 0;
    return fields[6] + fields[8];
}

// Samples the working set and the commit while alive; finish() and peak_commit() give the highest
// values seen.
class memory_sampler {
public:
    memory_sampler()
        : thread_([this] {
              while (!stop_) {
                  peak_ = std::max<std::uint64_t>(peak_, working_set());
                  peak_commit_ = std::max<std::uint64_t>(peak_commit_, commit_charge());
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
    std::uint64_t peak_commit()
    {
        finish();
        return peak_commit_;
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> peak_{0};
    std::atomic<std::uint64_t> peak_commit_{0};
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

// ---------------------------------------------------------------------------------------------
// Optimize and the dry run over real files.
//
// Each case writes its files into a fresh folder (not timed) and measures, in this order: the
// baselines over the same bytes, the dry run on an object that serves no folder, then, after the
// store is created over the existing files and the folder is virtualized, an optimize and a
// second optimize with nothing changed. Every timed part runs with its memory allocated before it
// starts; page faults are counted over the timed part only, and the peaks of working set and
// commit are taken above what the process held before it.
//
// Two kinds of content: the text generator (a 32-word vocabulary with noise, a worst case for
// LZ4HC) and the system's own headers (the mingw-w64 include tree, read through the Z: drive).

constexpr double mb = 1e6;
constexpr double mib = 1048576.0;
constexpr std::uint32_t piece = 256 * 1024;  // the engine's read size

struct input_file {
    std::wstring path;                                        // relative to the folder
    std::function<void(std::vector<std::byte>&)> content;    // fills the vector with the file's bytes
};

struct input_set {
    std::vector<std::wstring> folders;  // relative, parents first
    std::vector<input_file> files;
    std::uint64_t bytes = 0;
};

void write_whole_file(const std::wstring& path, const std::vector<std::byte>& data)
{
    tavik::unique_file file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                        nullptr));
    if (!file)
        throw std::runtime_error("cannot create an input file");
    std::size_t at = 0;
    while (at < data.size()) {
        DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(data.size() - at, 64u << 20));
        DWORD written = 0;
        if (!WriteFile(file.get(), data.data() + at, chunk, &written, nullptr) || written != chunk)
            throw std::runtime_error("cannot write an input file");
        at += chunk;
    }
}

// The mingw-w64 headers as {relative path, bytes}, read once.
const std::vector<std::pair<std::wstring, std::shared_ptr<const std::vector<std::byte>>>>& system_headers()
{
    static const auto headers = [] {
        std::vector<std::pair<std::wstring, std::shared_ptr<const std::vector<std::byte>>>> all;
        const std::filesystem::path root = L"Z:\\usr\\share\\mingw-w64\\include";
        for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
            if (!entry.is_regular_file())
                continue;
            auto bytes = std::make_shared<std::vector<std::byte>>(entry.file_size());
            tavik::unique_file file(CreateFileW(entry.path().c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
            DWORD read = 0;
            if (!file || !ReadFile(file.get(), bytes->data(), static_cast<DWORD>(bytes->size()), &read, nullptr) ||
                read != bytes->size())
                throw std::runtime_error("cannot read a system header");
            all.emplace_back(std::filesystem::relative(entry.path(), root).wstring(), std::move(bytes));
        }
        std::sort(all.begin(), all.end());
        return all;
    }();
    return headers;
}

void add_file(input_set& set, std::wstring path, std::uint64_t size, std::function<void(std::vector<std::byte>&)> content)
{
    set.files.push_back({std::move(path), std::move(content)});
    set.bytes += size;
}

// Folders of every parent of `relative` not yet listed.
void add_parents(input_set& set, const std::wstring& relative)
{
    for (std::size_t at = relative.find(L'\\'); at != std::wstring::npos; at = relative.find(L'\\', at + 1)) {
        std::wstring parent = relative.substr(0, at);
        if (std::find(set.folders.begin(), set.folders.end(), parent) == set.folders.end())
            set.folders.push_back(std::move(parent));
    }
}

input_set text_unique(std::uint64_t total)
{
    constexpr std::uint64_t file_size = 64u << 20;
    input_set set;
    for (std::uint64_t i = 0; i * file_size < total; ++i) {
        const std::uint64_t size = std::min(file_size, total - i * file_size);
        add_file(set, L"text-" + std::to_wstring(i) + L".txt", size, [size, i](std::vector<std::byte>& out) {
            out.resize(size);
            fill_text(out.data(), size, 7000 + i);
        });
    }
    return set;
}

input_set headers_unique()
{
    input_set set;
    for (const auto& [path, bytes] : system_headers()) {
        add_parents(set, path);
        add_file(set, path, bytes->size(), [bytes](std::vector<std::byte>& out) { out = *bytes; });
    }
    return set;
}

input_set text_copies(int copies, std::uint64_t size)
{
    auto data = std::make_shared<std::vector<std::byte>>(size);
    fill_text(data->data(), size, 9999);
    input_set set;
    for (int c = 0; c < copies; ++c) {
        const std::wstring folder = L"copy-" + std::to_wstring(c);
        set.folders.push_back(folder);
        add_file(set, folder + L"\\data.txt", size, [data](std::vector<std::byte>& out) { out = *data; });
    }
    return set;
}

input_set headers_copies(int copies)
{
    input_set set;
    for (int c = 0; c < copies; ++c) {
        const std::wstring folder = L"copy-" + std::to_wstring(c);
        set.folders.push_back(folder);
        for (const auto& [path, bytes] : system_headers()) {
            add_parents(set, folder + L"\\" + path);
            add_file(set, folder + L"\\" + path, bytes->size(), [bytes](std::vector<std::byte>& out) { out = *bytes; });
        }
    }
    return set;
}

// `count` files of 4 KiB, a thousand to a folder.
input_set text_small_files(std::uint32_t count)
{
    input_set set;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (i % 1000 == 0)
            set.folders.push_back(L"f" + std::to_wstring(i / 1000));
        add_file(set, L"f" + std::to_wstring(i / 1000) + L"\\" + std::to_wstring(i) + L".txt", 4096,
                 [i](std::vector<std::byte>& out) {
                     out.resize(4096);
                     fill_text(out.data(), 4096, 100000 + i);
                 });
    }
    return set;
}

void write_input(const std::wstring& folder, const input_set& set)
{
    std::filesystem::create_directories(folder);
    for (const std::wstring& relative : set.folders)
        std::filesystem::create_directories(folder + L"\\" + relative);
    std::vector<std::byte> data;
    for (const input_file& file : set.files) {
        file.content(data);
        write_whole_file(folder + L"\\" + file.path, data);
    }
}

struct measured {
    double seconds = 0;
    double cpu_seconds = 0;  // user and kernel time of the whole process
    std::uint64_t faults = 0;
    std::uint64_t peak_working_set = 0;  // above the start
    std::uint64_t peak_commit = 0;       // above the start
};

double process_cpu_seconds()
{
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    auto seconds = [](FILETIME t) { return (std::uint64_t(t.dwHighDateTime) << 32 | t.dwLowDateTime) / 1e7; };
    return seconds(kernel) + seconds(user);
}

template <class F>
measured measure(F&& body)
{
    const std::uint64_t working_set_before = working_set();
    const std::uint64_t commit_before = commit_charge();
    memory_sampler sampler;
    const std::uint64_t faults_before = page_faults();
    const double cpu_before = process_cpu_seconds();
    const auto start = std::chrono::steady_clock::now();
    body();
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double cpu = process_cpu_seconds() - cpu_before;
    const std::uint64_t faults = page_faults() - faults_before;
    const std::uint64_t peak = sampler.finish();
    const std::uint64_t peak_commit = sampler.peak_commit();
    return {seconds, cpu, faults, peak - std::min(peak, working_set_before),
            peak_commit - std::min(peak_commit, commit_before)};
}

// The baseline of unique data: the same bytes compressed with LZ4HC at the optimize's level on
// one thread, in units of the block-file size limit as the writer fills its files. Only the
// compressions are timed.
double compress_one_thread_seconds(const input_set& set)
{
    std::vector<std::byte> staged(limit);
    std::vector<char> out(LZ4_compressBound(static_cast<int>(limit)));
    std::vector<std::byte> data;
    std::size_t used = 0;
    double seconds = 0;
    auto compress = [&] {
        const auto start = std::chrono::steady_clock::now();
        LZ4_compress_HC(reinterpret_cast<const char*>(staged.data()), out.data(), static_cast<int>(used),
                        static_cast<int>(out.size()), level);
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        used = 0;
    };
    for (const input_file& file : set.files) {
        file.content(data);
        for (std::size_t at = 0; at < data.size();) {
            const std::size_t n = std::min<std::size_t>(data.size() - at, limit - used);
            std::memcpy(staged.data() + used, data.data() + at, n);
            used += n;
            at += n;
            if (used == limit)
                compress();
        }
    }
    if (used)
        compress();
    return seconds;
}

// The other baseline: every file opened, read in the engine's 256 KiB pieces on one thread and
// hashed with XXH3-128, from the system's file cache as the optimize reads it.
measured read_and_hash(const std::wstring& folder, const input_set& set)
{
    std::vector<std::byte> buffer(piece);
    XXH3_state_t* state = XXH3_createState();
    std::uint64_t sink = 0;
    measured m = measure([&] {
        for (const input_file& file : set.files) {
            tavik::unique_file handle(CreateFileW((folder + L"\\" + file.path).c_str(), GENERIC_READ, FILE_SHARE_READ,
                                                  nullptr, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
            if (!handle)
                throw std::runtime_error("cannot open an input file");
            XXH3_128bits_reset(state);
            for (;;) {
                DWORD read = 0;
                if (!ReadFile(handle.get(), buffer.data(), piece, &read, nullptr))
                    throw std::runtime_error("cannot read an input file");
                if (read == 0)
                    break;
                XXH3_128bits_update(state, buffer.data(), read);
            }
            sink += XXH3_128bits_digest(state).low64;
        }
    });
    XXH3_freeState(state);
    if (sink == 42)
        std::puts("");
    return m;
}

// A plain walk of the folder's items, what a scan that finds nothing changed cannot go below.
std::uint64_t walk(const std::wstring& folder)
{
    std::uint64_t items = 0;
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileExW((folder + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0);
    if (h == INVALID_HANDLE_VALUE)
        return 0;
    do {
        if (std::wcscmp(found.cFileName, L".") == 0 || std::wcscmp(found.cFileName, L"..") == 0)
            continue;
        ++items;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            items += walk(folder + L"\\" + found.cFileName);
    } while (FindNextFileW(h, &found));
    FindClose(h);
    return items;
}

enum class baseline { compress, read_hash };
enum class rate { megabytes, files };

void report_run(const std::string& prefix, const measured& m, double data_bytes, double units, rate kind)
{
    const double value = units / m.seconds;
    bench::report(prefix, kind == rate::megabytes ? value / mb : value, kind == rate::megabytes ? "MB/s" : "files/s");
    // How many processors the run kept busy: on a shared machine, what it could get.
    bench::report(prefix + "_cpu_busy", m.cpu_seconds / m.seconds, "cores");
    bench::report(prefix + "_page_faults", m.faults / (data_bytes / mb), "faults/MB");
    bench::report(prefix + "_peak_working_set", m.peak_working_set / mib, "MiB");
    bench::report(prefix + "_peak_commit", m.peak_commit / mib, "MiB");
}

// With ENGINE_BENCH_STAGES set, a progress callback that prints when each stage begins.
dedup::progress_callback stage_timer()
{
    if (!std::getenv("ENGINE_BENCH_STAGES"))
        return {};
    auto start = std::make_shared<std::chrono::steady_clock::time_point>(std::chrono::steady_clock::now());
    return [start](const std::wstring& stage, std::uint64_t, std::uint64_t) {
        if (stage.empty())
            return;
        std::fprintf(stderr, "  %8.3f s  %ls\n",
                     std::chrono::duration<double>(std::chrono::steady_clock::now() - *start).count(), stage.c_str());
    };
}

void optimize_case(const std::string& name, const input_set& set, baseline against, rate kind)
{
    // ENGINE_BENCH_CASE=<part of a case name> runs only the matching cases.
    if (const char* only = std::getenv("ENGINE_BENCH_CASE"); only && name.find(only) == std::string::npos)
        return;
    static int cases = 0;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring base = std::wstring(temp) + L"optimize-bench-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(++cases);
    const std::wstring folder = base + L"\\Data";
    write_input(folder, set);

    const std::string prefix = "optimize_" + name;
    const double bytes = double(set.bytes);
    const double units = kind == rate::megabytes ? bytes : double(set.files.size());
    bench::report(prefix + "_data_size", bytes / mib, "MiB");

    // Baselines.
    double base_rate = 0;
    if (against == baseline::compress) {
        base_rate = bytes / compress_one_thread_seconds(set);
        bench::report(prefix + "_baseline_lz4hc_1_thread", base_rate / mb, "MB/s");
    } else {
        measured m = read_and_hash(folder, set);
        base_rate = units / m.seconds;
        bench::report(prefix + "_baseline_read_hash",
                      kind == rate::megabytes ? base_rate / mb : base_rate, kind == rate::megabytes ? "MB/s" : "files/s");
        bench::report(prefix + "_baseline_read_hash_page_faults", m.faults / (bytes / mb), "faults/MB");
    }
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    auto report_ratio = [&](const std::string& run, const measured& m) {
        const double ratio = units / m.seconds / base_rate;
        if (against == baseline::compress) {
            bench::report(prefix + "_" + run + "_speedup", ratio, "x");
            bench::report(prefix + "_" + run + "_speedup_target", 0.8 * info.dwNumberOfProcessors, "x");
        } else {
            bench::report(prefix + "_" + run + "_vs_read_hash", ratio, "ratio");
        }
    };
    auto check = [&](const std::expected<dedup::resync_stats, long>& result, const char* what) {
        if (!result) {
            std::fprintf(stderr, "%s %s failed with 0x%08lX\n", prefix.c_str(), what,
                         static_cast<unsigned long>(result.error()));
            throw std::runtime_error("operation failed");
        }
        if (result->files_added != set.files.size())
            throw std::runtime_error("operation did not take every file");
    };

    tavik::details::cancellation_source lifetime;
    tavik::details::cancellation_source caller;
    {
        // The dry run, on an object that serves no folder, as the estimate command makes it.
        auto estimator = Ostrel::com::make<dedup::impl::root_folder>(lifetime);
        std::expected<dedup::resync_stats, long> result;
        measured m = measure([&] { result = run(estimator->convert(folder, level, caller, stage_timer())); });
        check(result, "dry run");
        report_run(prefix + "_dry_run", m, bytes, units, kind);
        report_ratio("dry_run", m);
        bench::report(prefix + "_unique_size", result->unique_size / mib, "MiB");
        bench::report(prefix + "_compressed_size", result->compressed_size / mib, "MiB");
    }

    {
        auto root = Ostrel::com::make<dedup::impl::root_folder>(lifetime);
        dedup::create_params params;
        params.flags = dedup::create_params::adopt;
        if (root->create(folder, params))
            throw std::runtime_error("create failed");
        GUID id{0x0be70000u + GetCurrentProcessId(), static_cast<unsigned short>(cases), 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        PrjMarkDirectoryAsPlaceholder(folder.c_str(), nullptr, nullptr, &id);
        PRJ_CALLBACKS callbacks{};
        PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT instance = nullptr;
        if (PrjStartVirtualizing(folder.c_str(), &callbacks, nullptr, nullptr, &instance) != S_OK)
            throw std::runtime_error("cannot virtualize the folder");
        root->set_virtualization_context(instance);

        const dedup::purge_flags flags = dedup::purge_flags(dedup::purge_options::purge_cache) |
                                         dedup::purge_options::purge_blocks;
        std::expected<dedup::resync_stats, long> result;
        measured m = measure([&] { result = run(root->optimize(caller, level, flags, stage_timer())); });
        check(result, "optimize");
        report_run(prefix + "_optimize", m, bytes, units, kind);
        report_ratio("optimize", m);

        // Nothing changed: the scan finds every item a clean placeholder.
        measured again = measure([&] { result = run(root->optimize(caller, level, {}, {})); });
        if (!result)
            throw std::runtime_error("second optimize failed");
        const auto walk_start = std::chrono::steady_clock::now();
        walk(folder);
        const double walked = std::chrono::duration<double>(std::chrono::steady_clock::now() - walk_start).count();
        bench::report(prefix + "_rerun_unchanged", again.seconds * 1000, "ms");
        bench::report(prefix + "_rerun_baseline_walk", walked * 1000, "ms");
        bench::report(prefix + "_rerun_vs_walk", again.seconds / walked, "x");
        bench::report(prefix + "_rerun_peak_working_set", again.peak_working_set / mib, "MiB");

        PrjStopVirtualizing(instance);
    }
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
}


// ---------------------------------------------------------------------------------------------
// Probe: one large file read the engine's way (two overlapped 256 KiB reads on thread-pool I/O)
// against plain synchronous reads of the same pieces.

tavik::details::future<std::uint64_t> read_overlapped(const std::wstring& path, std::uint64_t size)
{
    dedup::overlapped_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_FLAG_OVERLAPPED | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    std::vector<std::byte> buffers[2] = {std::vector<std::byte>(piece), std::vector<std::byte>(piece)};
    std::uint64_t total = 0;
    for (std::uint64_t at = 0; at < size; at += piece)
        total += co_await file.read(at, buffers[(at / piece) & 1].data(), piece);
    co_return total;
}

void read_probe_figures()
{
    constexpr std::uint64_t size = 200u << 20;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"read-probe-" + std::to_wstring(GetCurrentProcessId());
    std::vector<std::byte> data(size);
    fill_text(data.data(), size, 3);
    write_whole_file(path, data);
    for (int i = 0; i < 2; ++i) {
        measured m = measure([&] { run(read_overlapped(path, size)); });
        bench::report("probe_read_overlapped_200MiB", size / m.seconds / mb, "MB/s");
    }
    measured s = measure([&] {
        tavik::unique_file handle(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
        for (;;) {
            DWORD read = 0;
            if (!ReadFile(handle.get(), data.data(), piece, &read, nullptr) || read == 0)
                break;
        }
    });
    bench::report("probe_read_sync_200MiB", size / s.seconds / mb, "MB/s");
    DeleteFileW(path.c_str());
}

void optimize_figures()
{
    // (a) unique compressible data; (b) ten copies; (c) many small files; each ends with (d), a
    // second optimize with nothing changed.
    optimize_case("text_unique_" + std::to_string(unique_text_mib) + "MiB", text_unique(std::uint64_t(unique_text_mib) << 20),
                  baseline::compress, rate::megabytes);
    optimize_case("headers_unique_" + std::to_string(system_headers().size()) + "_files", headers_unique(),
                  baseline::compress, rate::megabytes);
    optimize_case("text_10_copies_of_" + std::to_string(copy_text_mib) + "MiB", text_copies(10, std::uint64_t(copy_text_mib) << 20),
                  baseline::read_hash, rate::megabytes);
    optimize_case("headers_10_copies", headers_copies(10), baseline::read_hash, rate::megabytes);
    optimize_case("text_" + std::to_string(small_files) + "_files_of_4KiB", text_small_files(small_files),
                  baseline::read_hash, rate::files);
}

// ---------------------------------------------------------------------------------------------
// File data: what the projection's reads of a served folder cost

constexpr unsigned file_data_mib = 256;

void file_data_figures()
{
    const std::uint64_t size = std::uint64_t(file_data_mib) << 20;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring base = std::wstring(temp) + L"file-data-bench-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring folder = base + L"\\Data";
    std::filesystem::create_directories(folder);
    std::vector<std::byte> content(size);
    for (std::uint64_t at = 0; at < size; at += block)
        fill_text(content.data() + at, block, 9000 + at / block);
    write_whole_file(folder + L"\\file.dat", content);

    tavik::details::cancellation_source lifetime;
    tavik::details::cancellation_source caller;
    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT instance = nullptr;
    {
        auto root = Ostrel::com::make<dedup::impl::root_folder>(lifetime);
        dedup::create_params params;
        params.flags = dedup::create_params::adopt;
        if (root->create(folder, params))
            throw std::runtime_error("create failed");
        GUID id{0x0be80000u + GetCurrentProcessId(), 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        PrjMarkDirectoryAsPlaceholder(folder.c_str(), nullptr, nullptr, &id);
        PRJ_CALLBACKS callbacks{};
        if (PrjStartVirtualizing(folder.c_str(), &callbacks, nullptr, nullptr, &instance) != S_OK)
            throw std::runtime_error("cannot virtualize the folder");
        root->set_virtualization_context(instance);
        if (!run(root->optimize(caller, level, {}, {})))
            throw std::runtime_error("optimize failed");
    }

    std::vector<std::byte> buffer(1u << 20);
    auto read = [&](dedup::IRoot& root, std::uint64_t offset, std::uint32_t length) {
        if (run(root.read_file_data(L"file.dat", offset, length, buffer.data(), caller)))
            throw std::runtime_error("read failed");
        if (std::memcmp(buffer.data(), content.data() + offset, length) != 0)
            throw std::runtime_error("read returned other bytes");
    };

    // Baseline of the cold read: decompressing one 50 MiB block file into memory already touched.
    {
        std::vector<char> text(limit);
        fill_text(reinterpret_cast<std::byte*>(text.data()), limit, 77);
        std::vector<char> packed(LZ4_compressBound(static_cast<int>(limit)));
        const int packed_size = LZ4_compress_HC(text.data(), packed.data(), static_cast<int>(limit),
                                                static_cast<int>(packed.size()), level);
        std::vector<char> out(limit, 1);
        const double decompress = bench::median_seconds(5, [&] {
            if (LZ4_decompress_safe(packed.data(), out.data(), packed_size, static_cast<int>(limit)) != int(limit))
                throw std::runtime_error("decompress failed");
        });
        bench::report("file_data_baseline_decompress_50MiB_warm_buffer", decompress * 1000, "ms");
    }

    // First byte from a cold store: a new object opens the folder, and the read loads the block
    // file holding the file's first chunk.
    std::vector<double> firsts;
    for (int i = 0; i < 5; ++i) {
        auto root = Ostrel::com::make<dedup::impl::root_folder>(lifetime);
        if (run(root->open(folder)))
            throw std::runtime_error("open failed");
        root->set_virtualization_context(instance);
        const auto start = std::chrono::steady_clock::now();
        read(*root, 0, 1);
        firsts.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(firsts.begin(), firsts.end());
    bench::report("file_data_cold_first_byte", firsts[2] * 1000, "ms");

    auto root = Ostrel::com::make<dedup::impl::root_folder>(lifetime);
    if (run(root->open(folder)))
        throw std::runtime_error("open failed");
    root->set_virtualization_context(instance);
    for (std::uint64_t at = 0; at < size; at += buffer.size())
        read(*root, at, static_cast<std::uint32_t>(buffer.size()));  // loads every block file

    // Warm sequential reads in the projection's 1 MiB pieces, against copying the same bytes.
    constexpr int passes = 4;
    const double sequential = bench::median_seconds(3, [&] {
        for (int pass = 0; pass < passes; ++pass)
            for (std::uint64_t at = 0; at < size; at += buffer.size())
                if (run(root->read_file_data(L"file.dat", at, static_cast<std::uint32_t>(buffer.size()), buffer.data(),
                                             caller)))
                    throw std::runtime_error("read failed");
    });
    const double copy = bench::median_seconds(3, [&] {
        for (int pass = 0; pass < passes; ++pass)
            for (std::uint64_t at = 0; at < size; at += buffer.size())
                std::memcpy(buffer.data(), content.data() + at, buffer.size());
    });
    const double gb = double(size) * passes / 1e9;
    bench::report("file_data_warm_sequential_1MiB_reads", gb / sequential, "GB/s");
    bench::report("file_data_baseline_memcpy_1MiB", gb / copy, "GB/s");
    bench::report("file_data_warm_sequential_vs_memcpy", copy / sequential, "ratio");

    // Warm random 64 KiB reads.
    constexpr int reads = 20000;
    std::uint64_t state = 12345;
    const double random = bench::median_seconds(3, [&] {
        for (int i = 0; i < reads; ++i) {
            state = state * 6364136223846793005ull + 1442695040888963407ull;
            const std::uint64_t offset = (state >> 11) % (size - 65536);
            if (run(root->read_file_data(L"file.dat", offset, 65536, buffer.data(), caller)))
                throw std::runtime_error("read failed");
        }
    });
    bench::report("file_data_warm_random_64KiB_reads", reads / random, "reads/s");

    root = nullptr;
    PrjStopVirtualizing(instance);
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
}

struct area {
    const char* name;
    void (*figures)();
};

const area areas[] = {
    {"store", &store_figures},
    {"tree", &tree_figures},
    {"chunk", &chunk_figures},
    {"optimize", &optimize_figures},
    {"file_data", &file_data_figures},
    {"read_probe", &read_probe_figures},
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
