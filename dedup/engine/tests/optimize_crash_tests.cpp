// Optimize ended for real: a child process opens a copy of a prepared folder and runs an optimize
// of it, and this process ends it with TerminateProcess at steps spread over the whole writing
// phase (block folders and files, "blocks.ddb", "files.deinfo", each swap, the purge) and at a few
// moments chosen by time. Nothing of the child runs after the kill, but everything it wrote stays,
// flushed or not: what the in-process crash tests cannot show is that the real sequence of real
// calls, cut anywhere, leaves a folder that opens whole.
//
// After each kill: the folder opens (taking the ".backup" pair when the two store files do not
// belong together), the references recounted from the tree equal the index, and the stored files
// are all as they were before the optimize or all as it took them in. A further optimize then
// succeeds, stores what is on disk, and leaves no block file that the index does not use.

#include <dedup/engine/root_folder.h>
#include <dedup/engine/store_names.h>
#include <dedup/engine/tests/optimize_test_support.h>

#include <ostrel/com/ptr.h>

#include <testing/support/child_process.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace dedup::testing;
using namespace std::chrono_literals;

using file_contents = std::map<std::wstring, bytes>;

constexpr std::int32_t level = 7;
// Small block files, so that the run writes many of them and the kills fall among them.
constexpr std::uint32_t block_file_limit = 8 * 1024;
constexpr std::uint32_t kills_at_steps = 92;
constexpr std::uint32_t kills_by_time = 8;
// Children started side by side.
constexpr std::size_t parallel_runs = 6;
constexpr UINT killed_exit_code = 0xDEAD;
const dedup::purge_flags both =
    dedup::purge_flags(dedup::purge_options::purge_cache) | dedup::purge_options::purge_blocks;

std::string narrow(std::wstring_view text)
{
    std::string out;
    for (wchar_t c : text)
        out += c < 0x80 ? char(c) : '?';
    return out;
}

// The real file system, with each mutating step (as fault_file_system counts them: create, write,
// flush, replace, move, delete, folder creation and removal, the lock file) numbered once armed.
// The step numbered `pause_at`, and every one after it on any thread, announces itself and never
// returns: the process waits there to be killed, with exactly the earlier steps done (or under
// way on another thread).
class pausing_file_system final : public dedup::store_file_system {
public:
    explicit pausing_file_system(std::wstring store_folder) : store_folder_(std::move(store_folder)) {}

    void arm(std::uint64_t pause_at, HANDLE paused)
    {
        pause_at_ = pause_at;
        paused_ = paused;
        armed_ = true;
    }

    std::vector<std::string> steps()
    {
        std::lock_guard guard(mutex_);
        return steps_;
    }

    dedup::overlapped_file create_file(const std::wstring& path, bool unbuffered) override
    {
        step("create", path);
        dedup::overlapped_file file = real_.create_file(path, unbuffered);
        std::lock_guard guard(mutex_);
        written_[file.handle()] = path;
        return file;
    }
    dedup::overlapped_file open_file(const std::wstring& path, bool unbuffered) override
    {
        return real_.open_file(path, unbuffered);
    }
    std::uint64_t file_size(const dedup::overlapped_file& file) override { return real_.file_size(file); }
    tavik::details::future<std::uint32_t> read(const dedup::overlapped_file& file, std::uint64_t position, void* data,
                                               std::uint32_t length) override
    {
        return real_.read(file, position, data, length);
    }
    dedup::mapped_file map_file(const std::wstring& path) override { return real_.map_file(path); }
    std::optional<std::vector<dedup::folder_entry>> list_folder(const std::wstring& path) override
    {
        return real_.list_folder(path);
    }
    tavik::details::future<std::uint32_t> write(const dedup::overlapped_file& file, std::uint64_t position,
                                                const void* data, std::uint32_t length) override
    {
        step("write", path_of(file));
        return real_.write(file, position, data, length);
    }
    void flush(const dedup::overlapped_file& file) override
    {
        step("flush", path_of(file));
        real_.flush(file);
    }
    bool replace(const std::wstring& target, const std::wstring& replacement, const std::wstring& backup) override
    {
        step("replace", target);
        return real_.replace(target, replacement, backup);
    }
    bool move(const std::wstring& from, const std::wstring& to) override
    {
        step("move", from + L" -> " + relative(to));
        return real_.move(from, to);
    }
    bool remove(const std::wstring& path) override
    {
        step("remove", path);
        return real_.remove(path);
    }
    bool create_directory(const std::wstring& path) override
    {
        step("make folder", path);
        return real_.create_directory(path);
    }
    bool remove_directory(const std::wstring& path) override
    {
        step("remove folder", path);
        return real_.remove_directory(path);
    }
    dedup::unique_file_keep_last_error create_lock_file(const std::wstring& path) override
    {
        step("lock", path);
        return real_.create_lock_file(path);
    }
    bool file_exists(const std::wstring& path) override { return real_.file_exists(path); }

private:
    std::wstring relative(const std::wstring& path) const
    {
        return path.starts_with(store_folder_ + L"\\") ? path.substr(store_folder_.size() + 1) : path;
    }
    std::wstring path_of(const dedup::overlapped_file& file)
    {
        std::lock_guard guard(mutex_);
        auto it = written_.find(file.handle());
        return it == written_.end() ? std::wstring(L"?") : it->second;
    }

    void step(const char* what, const std::wstring& path)
    {
        if (!armed_)
            return;
        const std::string text = std::string(what) + " " + narrow(relative(path));
        const std::uint64_t number = ++count_;
        {
            std::lock_guard guard(mutex_);
            steps_.push_back(std::to_string(number) + " " + text);
        }
        if (pause_at_ == 0 || number < pause_at_)
            return;
        // Only the step at the point announces it: a later one may come first from another thread.
        if (number == pause_at_) {
            std::printf("paused %llu %s\n", static_cast<unsigned long long>(number), text.c_str());
            std::fflush(stdout);
            SetEvent(paused_);
        }
        Sleep(INFINITE);
    }

    dedup::store_file_system& real_ = dedup::system_store_file_system();
    std::wstring store_folder_;
    std::atomic<bool> armed_{false};
    std::uint64_t pause_at_ = 0;
    HANDLE paused_ = nullptr;
    std::atomic<std::uint64_t> count_{0};
    std::mutex mutex_;
    std::vector<std::string> steps_;
    std::map<HANDLE, std::wstring> written_;
};

std::wstring started_event(const std::wstring& base) { return base + L"-started"; }
std::wstring paused_event(const std::wstring& base) { return base + L"-paused"; }

// The child: arguments folder, step to pause at (0: none), base name of the two events. Sets the
// "started" event once the folder is open and the optimize about to begin; pauses at the step, or,
// with none reached, prints every step, the optimize's duration in microseconds and "finished"
// with the result.
int optimize_until_killed(const test_support::child_arguments& arguments)
{
    if (arguments.size() != 3)
        return 99;
    const std::wstring& folder = arguments[0];
    const std::uint64_t pause_at = std::stoull(arguments[1]);
    HANDLE started = OpenEventW(EVENT_MODIFY_STATE, FALSE, started_event(arguments[2]).c_str());
    HANDLE paused = OpenEventW(EVENT_MODIFY_STATE, FALSE, paused_event(arguments[2]).c_str());
    if (!started || !paused)
        return 98;

    pausing_file_system fs(dedup::store_folder_path(folder));
    tavik::details::cancellation_source lifetime;
    tavik::details::cancellation_source caller;
    dedup::impl::root_folder_options options;
    options.store.eviction_timer = false;
    options.store.file_system = &fs;
    auto root = Ostrel::com::make<dedup::impl::root_folder>(lifetime, options);
    if (auto error = tavik::details::wait_blocking_result(root->open(folder))) {
        std::printf("open failed: %s\n", error.message().c_str());
        return 2;
    }
    fs.arm(pause_at, paused);
    SetEvent(started);
    const auto began = std::chrono::steady_clock::now();
    auto result = tavik::details::wait_blocking_result(root->optimize(caller, level, both, {}));
    const auto took = std::chrono::steady_clock::now() - began;
    for (const std::string& step : fs.steps())
        std::printf("step %s\n", step.c_str());
    std::printf("took %lld\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::microseconds>(took).count()));
    std::printf("finished %lx\n", result ? 0ul : static_cast<unsigned long>(result.error()));
    std::fflush(stdout);
    SetEvent(paused);
    return result ? 0 : 3;
}
const test_support::child_role optimize_role(L"optimize-until-killed", optimize_until_killed);

std::vector<std::string> lines_of(const std::string& output)
{
    std::vector<std::string> lines;
    std::istringstream in(output);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

void copy_tree(const std::wstring& from, const std::wstring& to)
{
    ASSERT_TRUE(CreateDirectoryW(to.c_str(), nullptr)) << narrow(to) << ": " << GetLastError();
    SetFileAttributesW(to.c_str(), GetFileAttributesW(from.c_str()));
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((from + L"\\*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            copy_tree(from + L"\\" + name, to + L"\\" + name);
        else
            ASSERT_TRUE(CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), TRUE)) << GetLastError();
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

// Every file the tree holds, with the content rebuilt from its blocks.
file_contents stored_files(const store_image& image)
{
    file_contents files;
    std::vector<std::pair<std::wstring, const dedup::impl::folder_t*>> pending{{L"", image.tree.get()}};
    while (!pending.empty()) {
        auto [prefix, folder] = pending.back();
        pending.pop_back();
        for (const auto& [name, child] : folder->children) {
            const std::wstring path = prefix.empty() ? name : prefix + L"\\" + name;
            if (child->is_folder())
                pending.emplace_back(path, static_cast<const dedup::impl::folder_t*>(child.get()));
            else
                files[path] = stored_content(image, path).value_or(bytes());
        }
    }
    return files;
}

std::string describe(const file_contents& files)
{
    std::string text;
    for (const auto& [path, content] : files)
        text += narrow(path) + " (" + std::to_string(content.size()) + " bytes) ";
    return text;
}

// Block files on disk that the index does not use.
std::vector<std::wstring> unused_block_files(const std::wstring& store_folder, const store_image& image)
{
    std::set<std::wstring> used;
    for (const auto& [key, entry] : image.store->index())
        used.insert(entry.file->path());
    std::vector<std::wstring> unused;
    const std::wstring blocks = dedup::block_folder_path(store_folder);
    for (const auto& [path, content] : snapshot_folder(blocks)) {
        const std::wstring name = path.substr(path.find_last_of(L'\\') + 1);
        if (dedup::parse_block_file_name(name) && !used.contains(blocks + L"\\" + path))
            unused.push_back(path);
    }
    return unused;
}

class OptimizeKilled : public ::testing::Test {
protected:
    // One run of the child over a copy of the prepared folder of its own.
    struct child_run {
        std::wstring folder;
        tavik::unique_handle started;
        tavik::unique_handle paused;
        test_support::child_process child;
    };

    // Children started side by side may each hold inherited copies of the others' output pipes,
    // so that no output ends before all of them have ended: they are killed together, before the
    // output of any is collected.
    struct child_batch : std::vector<child_run> {
        using std::vector<child_run>::vector;
        child_batch(const child_batch&) = delete;
        ~child_batch() { kill_all(); }
        void kill_all()
        {
            for (child_run& run : *this)
                if (run.child.started())
                    TerminateProcess(run.child.process_handle(), killed_exit_code);
        }
    };

    // The prepared folder: stored by a first optimize, then changed on disk (a file rewritten, one
    // deleted, new ones beside a copy of a stored one). A completed run of the child tells its
    // steps, its duration and the files as it stores them. Made by the first test that runs, so
    // that a failure to make it fails that test (a failure in SetUpTestSuite would only skip).
    static void prepare()
    {
        base_ = new temp_folder;
        const std::wstring folder = prepared();
        {
            tavik::details::cancellation_source lifetime, caller;
            dedup::impl::root_folder_options options;
            options.store.eviction_timer = false;
            auto root = Ostrel::com::make<dedup::impl::root_folder>(lifetime, options);
            dedup::create_params params;
            params.block_file_size_limit = block_file_limit;
            ASSERT_EQ(root->create(folder, params), std::error_code());
            make_folder(folder + L"\\sub");
            write_file(folder + L"\\keep.bin", random_bytes(1, 20000));
            write_file(folder + L"\\change.bin", random_bytes(2, 30000));
            write_file(folder + L"\\gone.bin", random_bytes(3, 20000));
            write_file(folder + L"\\sub\\doc.txt", repeating_bytes(4, 30000));
            ASSERT_TRUE(tavik::details::wait_blocking_result(root->optimize(caller, level, both, {})));
        }
        before_ = new file_contents(stored_files(load_store_image(dedup::store_folder_path(folder))));

        write_file(folder + L"\\change.bin", random_bytes(5, 50000));
        ASSERT_TRUE(DeleteFileW((folder + L"\\gone.bin").c_str()));
        write_file(folder + L"\\new.bin", random_bytes(6, 280000));
        write_file(folder + L"\\sub\\copy.bin", random_bytes(1, 20000));
        make_folder(folder + L"\\sub2");
        write_file(folder + L"\\sub2\\new.txt", repeating_bytes(7, 60000));
        on_disk_ = new file_contents;
        for (const auto& [path, content] : snapshot_folder(folder))
            if (!path.ends_with(L"\\"))
                (*on_disk_)[path] = content;

        // A complete run, from a copy as every other.
        child_run run;
        ASSERT_NO_FATAL_FAILURE(start(run, *base_ / L"Complete", 0));
        const auto ran = run.child.wait(30s);
        ASSERT_EQ(ran.exit_code, 0) << ran.output;
        steps_ = new std::map<std::uint64_t, std::string>;
        for (const std::string& line : lines_of(ran.output)) {
            if (line.starts_with("step ")) {
                const std::string step = line.substr(5);
                (*steps_)[std::stoull(step)] = step.substr(step.find(' ') + 1);
            } else if (line.starts_with("took ")) {
                run_time_ = std::chrono::microseconds(std::stoll(line.substr(5)));
            }
        }
        // Numbered without gaps.
        ASSERT_TRUE(!steps_->empty() && steps_->rbegin()->first == steps_->size());
        after_ = new file_contents(stored_files(load_store_image(dedup::store_folder_path(run.folder))));
        ready_ = true;
    }

    void SetUp() override
    {
        if (!base_)
            prepare();
        ASSERT_TRUE(ready_) << "the prepared folder could not be made";
    }

    static void TearDownTestSuite()
    {
        delete steps_;
        delete after_;
        delete on_disk_;
        delete before_;
        delete base_;
    }

    static std::wstring prepared() { return *base_ / L"Prepared"; }

    // The build puts a copy of this program without its debug information beside it: Wine reads
    // every section of an image it loads, and the copy starts several times faster.
    static std::wstring child_program()
    {
        std::wstring program = test_support::this_program();
        const std::wstring copy = program.substr(0, program.size() - 4) + L"_child.exe";
        return file_exists(copy) ? copy : program;
    }

    // Copies the prepared folder and its store to `folder` and starts the child over it.
    static void start(child_run& run, std::wstring folder, std::uint64_t pause_at)
    {
        static std::atomic<int> runs = 0;
        run.folder = std::move(folder);
        test_support::remove_tree(run.folder);
        test_support::remove_tree(dedup::store_folder_path(run.folder));
        ASSERT_NO_FATAL_FAILURE(copy_tree(prepared(), run.folder));
        ASSERT_NO_FATAL_FAILURE(copy_tree(dedup::store_folder_path(prepared()), dedup::store_folder_path(run.folder)));
        const std::wstring events =
            L"optimize-killed-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++runs);
        run.started.reset(CreateEventW(nullptr, TRUE, FALSE, started_event(events).c_str()));
        run.paused.reset(CreateEventW(nullptr, TRUE, FALSE, paused_event(events).c_str()));
        run.child = test_support::start_self_as_child(L"optimize-until-killed",
                                                      {run.folder, std::to_wstring(pause_at), events},
                                                      {.program = child_program()});
        ASSERT_TRUE(run.child.started());
    }

    // Waits for `event` or the child's end; false when neither came in time.
    static bool wait_for(child_run& run, HANDLE event)
    {
        HANDLE either[] = {event, run.child.process_handle()};
        return WaitForMultipleObjects(2, either, FALSE, 30000) != WAIT_TIMEOUT;
    }

    // What every kill must leave; `expect_after` says which state the kill point implies, when it
    // implies one.
    void check_after_kill(const std::wstring& folder, std::optional<bool> expect_after)
    {
        tavik::details::cancellation_source lifetime, caller;
        dedup::impl::root_folder_options options;
        options.store.eviction_timer = false;
        auto root = Ostrel::com::make<dedup::impl::root_folder>(lifetime, options);
        ASSERT_EQ(tavik::details::wait_blocking_result(root->open(folder)), std::error_code());
        const std::wstring store = dedup::store_folder_path(folder);
        {
            auto image = load_store_image(store);
            EXPECT_EQ(recount_differences(image), "");
            const file_contents files = stored_files(image);
            const bool is_before = files == *before_, is_after = files == *after_;
            EXPECT_TRUE(is_before || is_after) << "the store holds " << describe(files);
            if (expect_after) {
                EXPECT_EQ(is_after, *expect_after) << "the store holds " << describe(files);
            }
        }

        // The folder goes on working: a further optimize stores what is on disk now.
        auto result = tavik::details::wait_blocking_result(root->optimize(caller, level, both, {}));
        ASSERT_TRUE(result) << std::hex << result.error();
        auto image = load_store_image(store);
        EXPECT_EQ(recount_differences(image), "");
        EXPECT_EQ(stored_files(image), *on_disk_);
        // What the killed run wrote and never committed is purged.
        EXPECT_EQ(unused_block_files(store, image), std::vector<std::wstring>());
    }

    static inline temp_folder* base_ = nullptr;
    static inline bool ready_ = false;
    static inline file_contents* before_ = nullptr;
    static inline file_contents* after_ = nullptr;
    static inline file_contents* on_disk_ = nullptr;
    static inline std::map<std::uint64_t, std::string>* steps_ = nullptr;  // number -> what
    static inline std::chrono::microseconds run_time_{};
};

TEST_F(OptimizeKilled, TheCompletedRunStoresWhatIsOnDisk)
{
    EXPECT_EQ(*after_, *on_disk_);
    EXPECT_NE(*before_, *after_);
}

TEST_F(OptimizeKilled, AtStepsSpreadOverTheWritingPhase)
{
    // The step after which the new tree file is in place: a kill before it leaves the folder as it
    // was, after it as the run stored it.
    std::optional<std::uint64_t> tree_swapped;
    for (const auto& [number, step] : *steps_)
        if (step == "replace files.deinfo")
            tree_swapped = number;
    ASSERT_TRUE(tree_swapped) << "no swap of files.deinfo among " << steps_->size() << " steps";
    const std::uint64_t count = steps_->size();
    ASSERT_GE(count, kills_at_steps / 2) << "too few steps to spread the kills over";

    std::set<std::uint64_t> spread;
    for (std::uint64_t k = 0; k < kills_at_steps; ++k)
        spread.insert(1 + k * count / kills_at_steps);
    // The steps next to the swap of each store file, whatever the spread gives.
    for (const auto& [number, step] : *steps_)
        if (step.starts_with("replace "))
            for (std::uint64_t n : {number, number + 1})
                spread.insert(std::min(n, count));
    const std::vector<std::uint64_t> points(spread.begin(), spread.end());

    // The children of a batch run side by side, each over its own copy; the checks, in this
    // process, one after the other.
    for (std::size_t first = 0; first < points.size() && !HasFailure(); first += parallel_runs) {
        const std::size_t batch = std::min<std::size_t>(parallel_runs, points.size() - first);
        child_batch runs(batch);
        {
            // The copies are made side by side; test_support makes the starts one at a time.
            std::vector<std::jthread> starting;
            for (std::size_t i = 0; i < batch; ++i)
                starting.emplace_back(
                    [&, i] { start(runs[i], *base_ / (L"Run" + std::to_wstring(i)), points[first + i]); });
        }
        for (const child_run& run : runs)
            ASSERT_TRUE(run.child.started());
        for (child_run& run : runs)
            ASSERT_TRUE(wait_for(run, run.paused.get())) << "the child neither paused nor ended";
        runs.kill_all();
        std::vector<test_support::child_result> killed;
        for (child_run& run : runs)
            killed.push_back(run.child.terminate(killed_exit_code));
        for (std::size_t i = 0; i < batch && !HasFailure(); ++i) {
            const std::uint64_t point = points[first + i];
            SCOPED_TRACE("killed at step " + std::to_string(point) + " of " + std::to_string(count) + ": " +
                         killed[i].output);
            ASSERT_EQ(killed[i].exit_code, killed_exit_code) << "the child ended by itself";
            const std::string paused = "paused " + std::to_string(point) + " ";
            ASSERT_NE(killed[i].output.find(paused), std::string::npos);
            // The steps of the two store files come one after the other, at the same numbers in
            // every run.
            if (point == *tree_swapped) {
                EXPECT_NE(killed[i].output.find(paused + "replace files.deinfo"), std::string::npos);
            }
            ASSERT_NO_FATAL_FAILURE(check_after_kill(runs[i].folder, *tree_swapped < point));
        }
    }
}

TEST_F(OptimizeKilled, AtMomentsChosenByTime)
{
    std::mt19937 random(20261210);
    ASSERT_GT(run_time_.count(), 0);
    for (std::uint32_t k = 0; k < kills_by_time && !HasFailure(); ++k) {
        const auto delay =
            std::chrono::microseconds(std::uniform_int_distribution<std::int64_t>(0, run_time_.count())(random));
        SCOPED_TRACE("killed " + std::to_string(delay.count()) + " us into the optimize");
        child_run run;
        ASSERT_NO_FATAL_FAILURE(start(run, *base_ / L"Timed", 0));
        ASSERT_TRUE(wait_for(run, run.started.get()));
        std::this_thread::sleep_for(delay);
        const auto killed = run.child.terminate(killed_exit_code);
        // Killed, or finished before the moment came.
        ASSERT_TRUE(killed.exit_code == killed_exit_code || killed.exit_code == 0) << killed.output;
        ASSERT_NO_FATAL_FAILURE(check_after_kill(run.folder, std::nullopt));
    }
}

} // namespace
