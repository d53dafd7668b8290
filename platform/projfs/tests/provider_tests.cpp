// The provider's side of the emulation: a small provider of the tests' own is started on a root,
// and the command-line client plays the applications from processes of their own. The provider's
// callbacks then run in this process, on the emulation's threads, as the platform runs them.

#include <platform/projfs/availability.h>
#include <platform/projfs/emulation/root_record.h>

#include <testing/support/child_process.h>
#include <testing/support/test_support.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

using projfs::emulation::recorded_kind;
using projfs::emulation::root_record;
using test_support::bytes;

constexpr HRESULT io_pending = HRESULT_FROM_WIN32(ERROR_IO_PENDING);
constexpr std::int64_t provider_time = 132000000000000000;

std::wstring fold(std::wstring_view text)
{
    return projfs::emulation::fold_case(text);
}

// The provider's bytes of a file: a pattern that differs from file to file and from byte to byte.
std::byte content_byte(const std::wstring& path, std::uint64_t offset)
{
    std::uint32_t seed = 2166136261u;
    for (wchar_t c : fold(path))
        seed = (seed ^ static_cast<std::uint32_t>(c)) * 16777619u;
    return static_cast<std::byte>((offset * 131 + (offset >> 9) + seed) & 0xFF);
}

bytes content_of(const std::wstring& path, std::uint64_t size, std::uint64_t offset = 0)
{
    bytes data(static_cast<std::size_t>(size));
    for (std::uint64_t i = 0; i < size; ++i)
        data[i] = content_byte(path, offset + i);
    return data;
}

enum class answer { at_once, later, never };

// What the provider projects, and how it answers: a tree kept in memory, callbacks that answer at
// once, later from a thread of their own (PrjCompleteCommand), or never (until cancelled).
class test_provider {
public:
    struct item {
        std::wstring name;  // as the provider spells it
        bool directory = false;
        std::uint64_t size = 0;
        UINT32 attributes = 0;
    };

    void add(const std::wstring& path, bool directory, std::uint64_t size = 0, UINT32 attributes = 0)
    {
        std::lock_guard held(lock);
        const auto cut = path.rfind(L'\\');
        items[fold(path)] = item{cut == std::wstring::npos ? path : path.substr(cut + 1), directory, size, attributes};
    }

    // Callback settings; set before the instance starts or between client calls.
    answer placeholders = answer::at_once;
    answer data = answer::at_once;
    answer enumerations = answer::at_once;
    std::chrono::milliseconds data_delay{0};
    std::uint32_t data_chunk = 1u << 20;
    bool try_misaligned_write = false;
    std::map<PRJ_NOTIFICATION, HRESULT> vetoes;  // answers to notifications of paths not below "free"

    // What the provider saw.
    std::mutex lock;
    std::condition_variable changed;
    std::map<std::wstring, item> items;  // by folded path
    std::vector<std::wstring> placeholder_requests;
    std::vector<std::tuple<std::wstring, UINT64, UINT32>> data_requests;
    std::vector<std::pair<PRJ_NOTIFICATION, std::wstring>> notifications;
    std::vector<INT32> held;       // commands answered never
    std::vector<INT32> cancelled;  // by the cancel-command callback
    std::set<DWORD> threads;
    int get_calls = 0;
    int restarts = 0;
    int single_entry_calls_with_more = 0;
    HRESULT misaligned_write_result = S_OK;
    PRJ_DIR_ENTRY_BUFFER_HANDLE last_buffer = nullptr;
    HRESULT wrong_completion_result = S_OK;
    std::atomic<int> active{0};
    std::atomic<int> most_active{0};

    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context = nullptr;

    PRJ_CALLBACKS callbacks() const
    {
        PRJ_CALLBACKS table{};
        table.StartDirectoryEnumerationCallback = start_enumeration;
        table.EndDirectoryEnumerationCallback = end_enumeration;
        table.GetDirectoryEnumerationCallback = get_enumeration;
        table.GetPlaceholderInfoCallback = get_placeholder_info;
        table.GetFileDataCallback = get_file_data;
        table.NotificationCallback = notification;
        table.CancelCommandCallback = cancel_command;
        return table;
    }

    std::vector<std::wstring> requested_placeholders()
    {
        std::lock_guard held_lock(lock);
        return placeholder_requests;
    }

private:
    struct enumeration {
        std::vector<item> entries;
        std::size_t cursor = 0;
        bool started = false;
        std::wstring filter;
    };
    std::map<std::wstring, enumeration> enumerations_;  // by GUID text

    static test_provider& of(const PRJ_CALLBACK_DATA* data)
    {
        return *static_cast<test_provider*>(data->InstanceContext);
    }

    static std::wstring key(const GUID* id)
    {
        std::wstring text(sizeof(GUID) / sizeof(wchar_t), L'\0');
        std::memcpy(text.data(), id, sizeof(GUID));
        return text;
    }

    // Counts the callbacks that run at once, and on which threads.
    class visit {
    public:
        explicit visit(test_provider& provider) : provider_(provider)
        {
            int now = ++provider_.active;
            int most = provider_.most_active.load();
            while (now > most && !provider_.most_active.compare_exchange_weak(most, now)) {
            }
            std::lock_guard held(provider_.lock);
            provider_.threads.insert(GetCurrentThreadId());
        }
        ~visit() { --provider_.active; }

    private:
        test_provider& provider_;
    };

    // Runs `work` now or later, as `how` says, and answers as the platform expects.
    static HRESULT answer_with(test_provider& self, answer how, INT32 command, std::function<HRESULT()> work,
                               PRJ_COMPLETE_COMMAND_EXTENDED_PARAMETERS* extended = nullptr)
    {
        switch (how) {
        case answer::at_once:
            return work();
        case answer::later: {
            std::optional<PRJ_COMPLETE_COMMAND_EXTENDED_PARAMETERS> parameters;
            if (extended)
                parameters = *extended;
            std::thread([&self, command, work, parameters]() mutable {
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
                HRESULT hr = work();
                PrjCompleteCommand(self.context, command, hr, parameters ? &*parameters : nullptr);
            }).detach();
            return io_pending;
        }
        case answer::never: {
            std::lock_guard held(self.lock);
            self.held.push_back(command);
            self.changed.notify_all();
            return io_pending;
        }
        }
        return E_UNEXPECTED;
    }

    static HRESULT CALLBACK start_enumeration(const PRJ_CALLBACK_DATA* data, const GUID* id)
    {
        test_provider& self = of(data);
        visit counted(self);
        std::lock_guard held(self.lock);
        enumeration& made = self.enumerations_[key(id)];
        const std::wstring prefix = data->FilePathName[0] ? fold(data->FilePathName) + L"\\" : L"";
        for (const auto& [path, entry] : self.items)
            if (path.starts_with(prefix) && path.find(L'\\', prefix.size()) == std::wstring::npos)
                made.entries.push_back(entry);
        std::ranges::sort(made.entries, [](const item& a, const item& b) {
            return PrjFileNameCompare(a.name.c_str(), b.name.c_str()) < 0;
        });
        return S_OK;
    }

    static HRESULT CALLBACK end_enumeration(const PRJ_CALLBACK_DATA* data, const GUID* id)
    {
        test_provider& self = of(data);
        visit counted(self);
        std::lock_guard held(self.lock);
        self.enumerations_.erase(key(id));
        return S_OK;
    }

    static HRESULT CALLBACK get_enumeration(const PRJ_CALLBACK_DATA* data, const GUID* id, PCWSTR expression,
                                            PRJ_DIR_ENTRY_BUFFER_HANDLE buffer)
    {
        test_provider& self = of(data);
        visit counted(self);
        enumeration* running;
        {
            std::lock_guard held(self.lock);
            auto found = self.enumerations_.find(key(id));
            if (found == self.enumerations_.end())
                return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
            running = &found->second;
            self.last_buffer = buffer;
            ++self.get_calls;
            if (data->Flags & PRJ_CB_DATA_FLAG_ENUM_RESTART_SCAN)
                ++self.restarts;
        }
        const bool single = (data->Flags & PRJ_CB_DATA_FLAG_ENUM_RETURN_SINGLE_ENTRY) != 0;
        const bool restart = (data->Flags & PRJ_CB_DATA_FLAG_ENUM_RESTART_SCAN) != 0;
        std::wstring filter = expression ? expression : L"";
        auto fill = [&self, running, buffer, single, restart, filter]() -> HRESULT {
            if (!running->started || restart) {
                running->started = true;
                running->cursor = 0;
                running->filter = filter;
            }
            int added = 0;
            // The single-entry flag is a hint: this provider gives as many as fit.
            for (; running->cursor < running->entries.size(); ++running->cursor) {
                const item& entry = running->entries[running->cursor];
                if (!running->filter.empty() && !PrjFileNameMatch(entry.name.c_str(), running->filter.c_str()))
                    continue;
                PRJ_FILE_BASIC_INFO info = basic_info(entry);
                HRESULT hr = PrjFillDirEntryBuffer(entry.name.c_str(), &info, buffer);
                if (hr == HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER))
                    break;
                if (FAILED(hr))
                    return hr;
                ++added;
            }
            if (single && added > 1) {
                std::lock_guard held(self.lock);
                ++self.single_entry_calls_with_more;
            }
            if (added == 0 && running->cursor < running->entries.size())
                return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
            return S_OK;
        };
        PRJ_COMPLETE_COMMAND_EXTENDED_PARAMETERS extended{};
        extended.CommandType = PRJ_COMPLETE_COMMAND_TYPE_ENUMERATION;
        extended.Enumeration.DirEntryBufferHandle = buffer;
        return answer_with(self, self.enumerations == answer::never ? answer::at_once : self.enumerations,
                           data->CommandId, fill, &extended);
    }

    static PRJ_FILE_BASIC_INFO basic_info(const item& entry)
    {
        PRJ_FILE_BASIC_INFO info{};
        info.IsDirectory = entry.directory;
        info.FileSize = entry.directory ? 0 : static_cast<INT64>(entry.size);
        info.CreationTime.QuadPart = provider_time;
        info.LastAccessTime.QuadPart = provider_time;
        info.LastWriteTime.QuadPart = provider_time;
        info.ChangeTime.QuadPart = provider_time;
        info.FileAttributes = entry.attributes | (entry.directory ? FILE_ATTRIBUTE_DIRECTORY : 0);
        return info;
    }

    static HRESULT CALLBACK get_placeholder_info(const PRJ_CALLBACK_DATA* data)
    {
        test_provider& self = of(data);
        visit counted(self);
        const std::wstring path = data->FilePathName;
        std::optional<item> found;
        {
            std::lock_guard held(self.lock);
            self.placeholder_requests.push_back(path);
            auto at = self.items.find(fold(path));
            if (at != self.items.end())
                found = at->second;
        }
        if (!found)
            return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        // Under the name as the provider spells it, in the directory asked about.
        const auto cut = path.rfind(L'\\');
        const std::wstring destination = cut == std::wstring::npos ? found->name : path.substr(0, cut + 1) + found->name;
        const bool later = self.placeholders == answer::later;
        INT32 command = data->CommandId;
        return answer_with(self, self.placeholders, command, [&self, destination, found, later, command] {
            if (later) {
                // A completion that does not fit the command is refused.
                PRJ_COMPLETE_COMMAND_EXTENDED_PARAMETERS wrong{};
                wrong.CommandType = PRJ_COMPLETE_COMMAND_TYPE_ENUMERATION;
                std::lock_guard held(self.lock);
                self.wrong_completion_result = PrjCompleteCommand(self.context, command, S_OK, &wrong);
            }
            PRJ_PLACEHOLDER_INFO info{};
            info.FileBasicInfo = basic_info(*found);
            return PrjWritePlaceholderInfo(self.context, destination.c_str(), &info, sizeof info);
        });
    }

    static HRESULT CALLBACK get_file_data(const PRJ_CALLBACK_DATA* data, UINT64 offset, UINT32 length)
    {
        test_provider& self = of(data);
        visit counted(self);
        const std::wstring path = data->FilePathName;
        {
            std::lock_guard held(self.lock);
            self.data_requests.emplace_back(path, offset, length);
        }
        if (self.data_delay.count())
            std::this_thread::sleep_for(self.data_delay);
        const GUID stream = data->DataStreamId;
        const std::uint32_t chunk = self.data_chunk;
        const bool misaligned = self.try_misaligned_write;
        return answer_with(self, self.data, data->CommandId, [&self, path, stream, offset, length, chunk, misaligned] {
            void* buffer = PrjAllocateAlignedBuffer(self.context, chunk);
            if (!buffer)
                return E_OUTOFMEMORY;
            if (misaligned) {
                GUID id = stream;
                HRESULT hr = PrjWriteFileData(self.context, &id, buffer, offset + 1, 4096);
                std::lock_guard held(self.lock);
                self.misaligned_write_result = hr;
            }
            HRESULT hr = S_OK;
            for (UINT64 done = 0; done < length && SUCCEEDED(hr);) {
                const UINT32 part = static_cast<UINT32>(std::min<UINT64>(length - done, chunk));
                const bytes piece = content_of(path, part, offset + done);
                std::memcpy(buffer, piece.data(), part);
                GUID id = stream;
                hr = PrjWriteFileData(self.context, &id, buffer, offset + done, part);
                done += part;
            }
            PrjFreeAlignedBuffer(buffer);
            return hr;
        });
    }

    static HRESULT CALLBACK notification(const PRJ_CALLBACK_DATA* data, BOOLEAN, PRJ_NOTIFICATION kind,
                                         PCWSTR destination, PRJ_NOTIFICATION_PARAMETERS*)
    {
        test_provider& self = of(data);
        visit counted(self);
        std::lock_guard held(self.lock);
        const std::wstring path = data->FilePathName;
        self.notifications.emplace_back(kind, path + L">" + (destination ? destination : L""));
        auto veto = self.vetoes.find(kind);
        if (veto != self.vetoes.end() && !fold(path).starts_with(L"FREE"))
            return veto->second;
        return S_OK;
    }

    static void CALLBACK cancel_command(const PRJ_CALLBACK_DATA* data)
    {
        test_provider& self = of(data);
        std::lock_guard held(self.lock);
        self.cancelled.push_back(data->CommandId);
        self.changed.notify_all();
    }
};

struct client_result {
    long exit_code = -1;
    std::string output;  // standard output and error
};

std::wstring client_program()
{
    std::wstring program = test_support::this_program();
    return program.substr(0, program.rfind(L'\\') + 1) + L"projfs_client.exe";
}

// A client process; its output is drained while it runs.
class client_process {
public:
    explicit client_process(const std::vector<std::wstring>& arguments)
    {
        std::wstring command = L"\"" + client_program() + L"\"";
        for (const auto& argument : arguments)
            command += L" \"" + argument + L"\"";
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        HANDLE write_end = nullptr;
        CreatePipe(&read_end_, &write_end, &inherit, 0);
        SetHandleInformation(read_end_, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdOutput = write_end;
        startup.hStdError = write_end;
        startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
        PROCESS_INFORMATION process{};
        // A start Wine loses while the process loads is made again by the helper.
        if (test_support::create_process(nullptr, command.data(), TRUE, 0, nullptr, nullptr, &startup, &process)) {
            CloseHandle(process.hThread);
            process_ = process.hProcess;
        } else {
            ADD_FAILURE() << "cannot start the client: " << GetLastError();
        }
        CloseHandle(write_end);
        drain_ = std::thread([this] {
            char chunk[4096];
            DWORD read = 0;
            while (ReadFile(read_end_, chunk, sizeof chunk, &read, nullptr) && read)
                output_.append(chunk, read);
        });
    }
    void terminate()
    {
        if (process_) {
            TerminateProcess(process_, 0xDEAD);
            WaitForSingleObject(process_, INFINITE);
        }
    }

    ~client_process()
    {
        if (process_) {
            if (WaitForSingleObject(process_, 0) == WAIT_TIMEOUT)
                TerminateProcess(process_, 0xDEAD);
            WaitForSingleObject(process_, INFINITE);
        }
        if (drain_.joinable())
            drain_.join();
        if (process_)
            CloseHandle(process_);
        CloseHandle(read_end_);
    }

    client_result wait(std::chrono::milliseconds timeout = std::chrono::seconds(60))
    {
        client_result result;
        if (!process_)
            return result;
        if (WaitForSingleObject(process_, static_cast<DWORD>(timeout.count())) != WAIT_OBJECT_0) {
            ADD_FAILURE() << "the client did not end in time";
            TerminateProcess(process_, 0xDEAD);
            WaitForSingleObject(process_, INFINITE);
        }
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        if (drain_.joinable())
            drain_.join();
        result.exit_code = static_cast<long>(code);
        result.output = output_;
        return result;
    }

private:
    HANDLE process_ = nullptr;
    HANDLE read_end_ = nullptr;
    std::thread drain_;
    std::string output_;
};

client_result run_client(const std::vector<std::wstring>& arguments)
{
    client_process client(arguments);
    return client.wait();
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

struct listed {
    std::uint32_t attributes = 0;
    std::uint64_t size = 0;
    std::string name;
};

std::vector<listed> parse_listing(const std::string& text)
{
    std::vector<listed> items;
    for (const auto& line : lines_of(text)) {
        listed item;
        std::istringstream in(line);
        std::string attributes;
        in >> attributes >> item.size;
        item.attributes = static_cast<std::uint32_t>(std::stoul(attributes, nullptr, 16));
        std::getline(in >> std::ws, item.name);
        items.push_back(item);
    }
    return items;
}

class ProvidedRoot : public testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(projfs::available()); }

    void TearDown() override { stop(); }

    void start(PRJ_STARTVIRTUALIZING_OPTIONS* options = nullptr)
    {
        GUID id{};
        id.Data1 = 0x0b5e0000u + GetCurrentProcessId();
        id.Data4[7] = 0x17;
        ASSERT_EQ(PrjMarkDirectoryAsPlaceholder(root_.c_str(), nullptr, nullptr, &id), S_OK);
        PRJ_CALLBACKS callbacks = provider_.callbacks();
        PRJ_NOTIFICATION_MAPPING mappings[2] = {
            {PRJ_NOTIFY_PRE_RENAME | PRJ_NOTIFY_PRE_SET_HARDLINK | PRJ_NOTIFY_PRE_DELETE, L""},
            {PRJ_NOTIFY_SUPPRESS_NOTIFICATIONS, L"quiet"},
        };
        PRJ_STARTVIRTUALIZING_OPTIONS defaults{};
        if (!options)
            options = &defaults;
        if (!options->NotificationMappings) {
            options->NotificationMappings = mappings;
            options->NotificationMappingsCount = 2;
        }
        ASSERT_EQ(PrjStartVirtualizing(root_.c_str(), &callbacks, &provider_, options, &provider_.context), S_OK);
    }

    void stop()
    {
        if (provider_.context)
            PrjStopVirtualizing(provider_.context);
        provider_.context = nullptr;
    }

    std::wstring full(const std::wstring& relative) const
    {
        return relative.empty() ? root_ : root_ + L"\\" + relative;
    }

    client_result client(std::wstring command, const std::wstring& relative, std::vector<std::wstring> more = {})
    {
        std::vector<std::wstring> arguments{std::move(command), full(relative)};
        arguments.insert(arguments.end(), more.begin(), more.end());
        return run_client(arguments);
    }

    std::uint32_t client_state(const std::wstring& relative)
    {
        client_result result = client(L"state", relative);
        EXPECT_EQ(result.exit_code, 0) << result.output;
        return result.exit_code == 0 ? static_cast<std::uint32_t>(std::stoul(result.output, nullptr, 16)) : 0;
    }

    bytes client_read(const std::wstring& relative, std::vector<std::wstring> more = {})
    {
        const std::wstring saved = output_folder_ / (L"read-" + std::to_wstring(reads_++));
        more.push_back(L"--out");
        more.push_back(saved);
        client_result result = client(L"read", relative, more);
        EXPECT_EQ(result.exit_code, 0) << result.output;
        return result.exit_code == 0 ? test_support::read_file(saved) : bytes{};
    }

    std::vector<listed> client_list(const std::wstring& relative, std::vector<std::wstring> more = {})
    {
        client_result result = client(L"list", relative, more);
        EXPECT_EQ(result.exit_code, 0) << result.output;
        return result.exit_code == 0 ? parse_listing(result.output) : std::vector<listed>{};
    }

    std::optional<recorded_kind> recorded_as(const std::wstring& relative)
    {
        auto record = root_record::open(root_);
        auto found = record ? record->find(relative) : std::nullopt;
        return found ? std::optional<recorded_kind>(found->kind) : std::nullopt;
    }

    test_support::temp_folder root_folder_;
    test_support::temp_folder output_folder_;
    std::wstring root_ = root_folder_.path();
    test_provider provider_;
    int reads_ = 0;
};

constexpr std::uint32_t placeholder = PRJ_FILE_STATE_PLACEHOLDER;
constexpr std::uint32_t hydrated = placeholder | std::uint32_t(PRJ_FILE_STATE_HYDRATED_PLACEHOLDER);

TEST_F(ProvidedRoot, OpenAsksForEachComponentFromTheTop)
{
    provider_.add(L"a", true);
    provider_.add(L"a\\b", true);
    provider_.add(L"a\\b\\c.txt", false, 10);
    start();
    // Every projected item shows to any program from the start, as a shell.
    EXPECT_EQ(test_support::file_size(full(L"a\\b\\c.txt")), 10u);
    EXPECT_EQ(recorded_as(L"a\\b\\c.txt"), recorded_kind::virtual_item);

    EXPECT_EQ(client_state(L"a\\b\\c.txt"), placeholder);
    EXPECT_EQ(provider_.requested_placeholders(), (std::vector<std::wstring>{L"a", L"a\\b", L"a\\b\\c.txt"}));
    EXPECT_EQ(recorded_as(L"a\\b"), recorded_kind::placeholder);

    // Projected after the start: nothing on disk, and an open asks all the same.
    provider_.add(L"Late", true);
    provider_.add(L"Late\\X.txt", false, 3);
    EXPECT_EQ(client_state(L"late\\x.txt"), placeholder);
    auto requests = provider_.requested_placeholders();
    EXPECT_EQ(std::vector<std::wstring>(requests.begin() + 3, requests.end()),
              (std::vector<std::wstring>{L"late", L"late\\x.txt"}));
    // The placeholder has the name as the provider spells it.
    EXPECT_EQ(test_support::list_files(full(L"Late")), std::vector<std::wstring>{L"X.txt"});

    EXPECT_EQ(client(L"state", L"nothing.txt").exit_code, ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(client(L"state", L"a\\nothing\\x.txt").exit_code, ERROR_PATH_NOT_FOUND);

    // The provider was called on the emulation's threads, never on this one.
    std::lock_guard held(provider_.lock);
    EXPECT_FALSE(provider_.threads.contains(GetCurrentThreadId()));
}

struct answer_case {
    const char* name;
    answer placeholders;
    answer data;
    answer enumerations;
};

class ProvidedRootAnswers : public ProvidedRoot, public testing::WithParamInterface<answer_case> {};

TEST_P(ProvidedRootAnswers, ReadsHydrateWithTheProvidersBytes)
{
    provider_.placeholders = GetParam().placeholders;
    provider_.data = GetParam().data;
    provider_.enumerations = GetParam().enumerations;
    provider_.data_chunk = 64 * 1024;
    const std::uint64_t size = (1u << 20) + 123;
    provider_.add(L"dir", true);
    provider_.add(L"dir\\data.bin", false, size);
    provider_.add(L"range.bin", false, 20000);
    provider_.add(L"empty.bin", false, 0);
    start();

    const auto listing = client_list(L"dir");
    ASSERT_EQ(listing.size(), 1u);
    EXPECT_EQ(listing[0].name, "data.bin");
    EXPECT_EQ(listing[0].size, size);

    EXPECT_EQ(client_read(L"dir\\data.bin"), content_of(L"dir\\data.bin", size));
    EXPECT_EQ(client_state(L"dir\\data.bin"), hydrated);
    // A hydrated file is read from disk: no second request.
    EXPECT_EQ(client_read(L"dir\\data.bin"), content_of(L"dir\\data.bin", size));
    {
        std::lock_guard held(provider_.lock);
        ASSERT_EQ(provider_.data_requests.size(), 1u);
        EXPECT_EQ(provider_.data_requests[0], std::make_tuple(std::wstring(L"dir\\data.bin"), UINT64(0), UINT32(size)));
        if (GetParam().placeholders == answer::later) {
            EXPECT_EQ(provider_.wrong_completion_result, E_INVALIDARG);
        }
    }

    // A range: the file is hydrated whole, and the range is what comes back.
    EXPECT_EQ(client_read(L"range.bin", {L"--offset", L"5000", L"--length", L"100"}),
              content_of(L"range.bin", 100, 5000));
    EXPECT_EQ(client_state(L"range.bin"), hydrated);
    EXPECT_EQ(client_read(L"range.bin", {L"--offset", L"19990"}), content_of(L"range.bin", 10, 19990));

    EXPECT_EQ(client_read(L"empty.bin"), bytes{});
    EXPECT_EQ(client_state(L"empty.bin"), hydrated);
}

INSTANTIATE_TEST_SUITE_P(Answers, ProvidedRootAnswers,
                         testing::Values(answer_case{"AtOnce", answer::at_once, answer::at_once, answer::at_once},
                                         answer_case{"Later", answer::later, answer::later, answer::later}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ProvidedRoot, StatesAfterWhatApplicationsDo)
{
    for (const wchar_t* name : {L"written.txt", L"attributes.txt", L"deleted.txt", L"dirty-then-read.txt"})
        provider_.add(name, false, 5000);
    start();

    ASSERT_EQ(client(L"write", L"written.txt", {L"--text", L"hello"}).exit_code, 0);
    EXPECT_EQ(client_state(L"written.txt"), PRJ_FILE_STATE_FULL);
    // The write went over the provider's bytes, which came first.
    bytes expected = content_of(L"written.txt", 5000);
    std::memcpy(expected.data(), "hello", 5);
    EXPECT_EQ(client_read(L"written.txt"), expected);

    ASSERT_EQ(client(L"attrib", L"attributes.txt", {L"+H"}).exit_code, 0);
    EXPECT_EQ(client_state(L"attributes.txt"), placeholder | PRJ_FILE_STATE_DIRTY_PLACEHOLDER);
    EXPECT_TRUE(GetFileAttributesW(full(L"attributes.txt").c_str()) & FILE_ATTRIBUTE_HIDDEN);

    // Reading a dirty placeholder hydrates it and keeps it dirty.
    ASSERT_EQ(client(L"attrib", L"dirty-then-read.txt", {L"+R"}).exit_code, 0);
    EXPECT_EQ(client_read(L"dirty-then-read.txt"), content_of(L"dirty-then-read.txt", 5000));
    EXPECT_EQ(client_state(L"dirty-then-read.txt"), hydrated | PRJ_FILE_STATE_DIRTY_PLACEHOLDER);

    ASSERT_EQ(client(L"delete", L"deleted.txt").exit_code, 0);
    EXPECT_EQ(client_state(L"deleted.txt"), PRJ_FILE_STATE_TOMBSTONE);
    auto names = [&] {
        std::vector<std::string> shown;
        for (const auto& item : client_list(L""))
            shown.push_back(item.name);
        return shown;
    };
    EXPECT_EQ(names(), (std::vector<std::string>{"attributes.txt", "dirty-then-read.txt", "written.txt"}));
    EXPECT_EQ(client(L"read", L"deleted.txt").exit_code, ERROR_FILE_NOT_FOUND);

    ASSERT_EQ(client(L"write", L"new.txt", {L"--text", L"made here"}).exit_code, 0);
    EXPECT_EQ(client_state(L"new.txt"), PRJ_FILE_STATE_FULL);

    // PrjDeleteFile hands items back: the tombstone goes and the provider's item shows again.
    PRJ_UPDATE_FAILURE_CAUSES causes{};
    EXPECT_EQ(PrjDeleteFile(provider_.context, L"deleted.txt", PRJ_UPDATE_NONE, &causes),
              HRESULT_FROM_WIN32(ERROR_FILE_SYSTEM_VIRTUALIZATION_INVALID_OPERATION));
    EXPECT_EQ(causes, PRJ_UPDATE_FAILURE_CAUSE_TOMBSTONE);
    EXPECT_EQ(PrjDeleteFile(provider_.context, L"deleted.txt", PRJ_UPDATE_ALLOW_TOMBSTONE, &causes), S_OK);
    const auto listing = client_list(L"");
    ASSERT_EQ(listing.size(), 5u);
    EXPECT_EQ(listing[1].name, "deleted.txt");
    EXPECT_TRUE(listing[1].attributes & FILE_ATTRIBUTE_RECALL_ON_OPEN);
    EXPECT_EQ(client_read(L"deleted.txt"), content_of(L"deleted.txt", 5000));

    EXPECT_EQ(PrjDeleteFile(provider_.context, L"written.txt", PRJ_UPDATE_NONE, &causes),
              HRESULT_FROM_WIN32(ERROR_FILE_SYSTEM_VIRTUALIZATION_INVALID_OPERATION));
    EXPECT_EQ(causes, PRJ_UPDATE_FAILURE_CAUSE_DIRTY_DATA);
    EXPECT_EQ(PrjDeleteFile(provider_.context, L"attributes.txt", PRJ_UPDATE_ALLOW_DIRTY_METADATA, &causes), S_OK);
    EXPECT_EQ(client_state(L"attributes.txt"), placeholder);
}

TEST_F(ProvidedRoot, LargeDirectoriesPageThroughSmallBuffers)
{
    provider_.add(L"big", true);
    constexpr int count = 10000;
    std::vector<std::string> expected;
    for (int i = 0; i < count; ++i) {
        wchar_t name[32];
        swprintf(name, 32, L"f%05d.txt", i);
        provider_.add(std::wstring(L"big\\") + name, false, static_cast<std::uint64_t>(i));
        char narrow[32];
        std::snprintf(narrow, sizeof narrow, "f%05d.txt", i);
        expected.emplace_back(narrow);
    }
    start();
    auto names_of = [](const std::vector<listed>& items) {
        std::vector<std::string> names;
        for (const auto& item : items)
            names.push_back(item.name);
        return names;
    };

    // About eight entries a call; the first call of the scan asks for one and is given more.
    const auto listing = client_list(L"big", {L"--buffer", L"1024"});
    EXPECT_EQ(names_of(listing), expected);
    ASSERT_EQ(listing.size(), expected.size());
    EXPECT_EQ(listing[1234].size, 1234u);
    {
        std::lock_guard held(provider_.lock);
        EXPECT_GT(provider_.get_calls, count / 8);
        EXPECT_GE(provider_.single_entry_calls_with_more, 1);
    }

    // A scan restarted part way gives every entry once.
    EXPECT_EQ(names_of(client_list(L"big", {L"--buffer", L"2048", L"--restart-after", L"25"})), expected);
    {
        std::lock_guard held(provider_.lock);
        EXPECT_EQ(provider_.restarts, 1);
    }

    const auto filtered = client_list(L"big", {L"--buffer", L"512", L"--filter", L"F0001?.TXT"});
    EXPECT_EQ(names_of(filtered), std::vector<std::string>(expected.begin() + 10, expected.begin() + 20));

    // Not even one entry fits.
    client_result tiny = client(L"list", L"big", {L"--buffer", L"64"});
    EXPECT_EQ(tiny.exit_code, ERROR_INSUFFICIENT_BUFFER) << tiny.output;
}

TEST_F(ProvidedRoot, PendingCommandsAreCancelledWhenTheInstanceStops)
{
    provider_.add(L"held.bin", false, 10000);
    provider_.data = answer::never;
    start();
    client_process reader({L"read", full(L"held.bin"), L"--out", output_folder_ / L"held"});
    INT32 held = 0;
    {
        std::unique_lock lock(provider_.lock);
        ASSERT_TRUE(provider_.changed.wait_for(lock, std::chrono::seconds(30), [&] { return !provider_.held.empty(); }));
        held = provider_.held[0];
    }
    stop();
    {
        std::lock_guard lock(provider_.lock);
        EXPECT_NE(std::ranges::find(provider_.cancelled, held), provider_.cancelled.end());
    }
    client_result result = reader.wait();
    EXPECT_EQ(result.exit_code, ERROR_OPERATION_ABORTED) << result.output;
    EXPECT_NE(result.output.find("0x800703E3"), std::string::npos) << result.output;
    // The file took none of the data: still a placeholder as it was.
    EXPECT_EQ(recorded_as(L"held.bin"), recorded_kind::placeholder);
    // The instance is gone, and with it the command.
    EXPECT_EQ(PrjCompleteCommand(nullptr, held, S_OK, nullptr), E_INVALIDARG);
    EXPECT_EQ(client(L"state", L"held.bin").exit_code, ERROR_FILE_SYSTEM_VIRTUALIZATION_UNAVAILABLE);
}

TEST_F(ProvidedRoot, ApplicationThatEndsCancelsItsCommand)
{
    provider_.add(L"held.bin", false, 10000);
    provider_.data = answer::never;
    start();
    client_process reader({L"read", full(L"held.bin"), L"--out", output_folder_ / L"held"});
    INT32 held = 0;
    {
        std::unique_lock lock(provider_.lock);
        ASSERT_TRUE(provider_.changed.wait_for(lock, std::chrono::seconds(30), [&] { return !provider_.held.empty(); }));
        held = provider_.held[0];
    }
    reader.terminate();
    {
        std::unique_lock lock(provider_.lock);
        EXPECT_TRUE(provider_.changed.wait_for(lock, std::chrono::seconds(30), [&] {
            return std::ranges::find(provider_.cancelled, held) != provider_.cancelled.end();
        }));
    }
    // A cancelled command takes no completion, and the file stays as it was.
    EXPECT_EQ(PrjCompleteCommand(provider_.context, held, S_OK, nullptr), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
    EXPECT_EQ(recorded_as(L"held.bin"), recorded_kind::placeholder);
    // The instance goes on serving.
    provider_.data = answer::at_once;
    EXPECT_EQ(client_read(L"held.bin"), content_of(L"held.bin", 10000));
}

TEST_F(ProvidedRoot, CompletionsOfNoPendingCommandAreRefused)
{
    start();
    EXPECT_EQ(PrjCompleteCommand(provider_.context, 424242, S_OK, nullptr), HRESULT_FROM_WIN32(ERROR_NOT_FOUND));
}

struct concurrency_case {
    const char* name;
    UINT32 concurrent_threads;
    int most_expected_at_least;
    int most_allowed;
};

class ProvidedRootConcurrency : public ProvidedRoot, public testing::WithParamInterface<concurrency_case> {};

TEST_P(ProvidedRootConcurrency, ConcurrentReadersGetTheirOwnBytes)
{
    constexpr int files = 4;
    for (int i = 0; i < files; ++i)
        provider_.add(L"file" + std::to_wstring(i) + L".bin", false, 300000 + i);
    provider_.data_delay = std::chrono::milliseconds(200);
    PRJ_STARTVIRTUALIZING_OPTIONS options{};
    options.ConcurrentThreadCount = GetParam().concurrent_threads;
    start(&options);
    provider_.most_active = 0;

    // Two readers for each file: one hydrates it, the other waits for that and reads it too.
    std::vector<std::unique_ptr<client_process>> readers;
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < files; ++i)
            readers.push_back(std::make_unique<client_process>(std::vector<std::wstring>{
                L"read", full(L"file" + std::to_wstring(i) + L".bin"), L"--out",
                output_folder_ / (L"out" + std::to_wstring(round) + L"-" + std::to_wstring(i))}));
    for (auto& reader : readers) {
        client_result result = reader->wait();
        EXPECT_EQ(result.exit_code, 0) << result.output;
    }
    for (int round = 0; round < 2; ++round)
        for (int i = 0; i < files; ++i) {
            const std::wstring name = L"file" + std::to_wstring(i) + L".bin";
            EXPECT_EQ(test_support::read_file(output_folder_ / (L"out" + std::to_wstring(round) + L"-" +
                                                                 std::to_wstring(i))),
                      content_of(name, 300000 + i));
        }
    std::lock_guard held(provider_.lock);
    EXPECT_EQ(provider_.data_requests.size(), static_cast<std::size_t>(files));
    EXPECT_GE(provider_.most_active.load(), GetParam().most_expected_at_least);
    EXPECT_LE(provider_.most_active.load(), GetParam().most_allowed);
}

INSTANTIATE_TEST_SUITE_P(Threads, ProvidedRootConcurrency,
                         testing::Values(concurrency_case{"Four", 4, 2, 4}, concurrency_case{"One", 1, 1, 1}),
                         [](const auto& info) { return std::string(info.param.name); });

// Listings and reads of one directory at the same time, every answer given later: each listing
// sees every item once, each reader its bytes. Bounded: a few rounds of a few clients.
TEST_F(ProvidedRoot, ConcurrentListingsAndReads)
{
    provider_.placeholders = answer::later;
    provider_.data = answer::later;
    provider_.enumerations = answer::later;
    provider_.add(L"d", true);
    constexpr int count = 60;
    for (int i = 0; i < count; ++i)
        provider_.add(L"d\\item" + std::to_wstring(i) + L".bin", false, 1000 + i);
    start();
    // Projected after the start too: the listings race to make their shells.
    for (int i = count; i < 2 * count; ++i)
        provider_.add(L"d\\item" + std::to_wstring(i) + L".bin", false, 1000 + i);
    for (int round = 0; round < 3; ++round) {
        std::vector<std::unique_ptr<client_process>> listers, readers;
        for (int i = 0; i < 3; ++i)
            listers.push_back(std::make_unique<client_process>(
                std::vector<std::wstring>{L"list", full(L"d"), L"--buffer", L"700"}));
        for (int i = 0; i < 3; ++i) {
            const int file = count - 3 + round * 3 + i;  // made at the start and after it
            readers.push_back(std::make_unique<client_process>(std::vector<std::wstring>{
                L"read", full(L"d\\item" + std::to_wstring(file) + L".bin"), L"--out",
                output_folder_ / (L"mixed" + std::to_wstring(file))}));
        }
        for (auto& lister : listers) {
            client_result result = lister->wait();
            ASSERT_EQ(result.exit_code, 0) << result.output;
            EXPECT_EQ(parse_listing(result.output).size(), static_cast<std::size_t>(2 * count));
        }
        for (int i = 0; i < 3; ++i) {
            const int file = count - 3 + round * 3 + i;
            client_result result = readers[i]->wait();
            ASSERT_EQ(result.exit_code, 0) << result.output;
            const std::wstring name = L"d\\item" + std::to_wstring(file) + L".bin";
            EXPECT_EQ(test_support::read_file(output_folder_ / (L"mixed" + std::to_wstring(file))),
                      content_of(name, 1000 + file));
        }
    }
}

TEST_F(ProvidedRoot, NotificationsDecideRenamesLinksAndDeletes)
{
    provider_.add(L"move.bin", false, 7000);
    provider_.add(L"keep.txt", false, 10);
    provider_.add(L"link.txt", false, 10);
    provider_.add(L"sub", true);
    provider_.add(L"quiet", true);
    provider_.add(L"quiet\\q.txt", false, 10);
    provider_.add(L"free.txt", false, 10);
    provider_.vetoes[PRJ_NOTIFICATION_PRE_SET_HARDLINK] = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);
    provider_.vetoes[PRJ_NOTIFICATION_PRE_RENAME] = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    provider_.vetoes[PRJ_NOTIFICATION_PRE_DELETE] = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    start();

    client_result linked = run_client({L"link", full(L"link.txt"), full(L"sub\\other.txt")});
    EXPECT_EQ(linked.exit_code, ERROR_NOT_SUPPORTED);
    EXPECT_NE(linked.output.find("failed with error 0x80070032"), std::string::npos) << linked.output;
    EXPECT_FALSE(test_support::file_exists(full(L"sub\\other.txt")));

    EXPECT_EQ(run_client({L"rename", full(L"keep.txt"), full(L"kept.txt")}).exit_code, ERROR_ACCESS_DENIED);
    EXPECT_EQ(client(L"delete", L"keep.txt").exit_code, ERROR_ACCESS_DENIED);
    EXPECT_EQ(client_state(L"keep.txt"), placeholder);

    // Where the mapping suppresses notifications, nothing is asked and nothing vetoed.
    EXPECT_EQ(run_client({L"rename", full(L"quiet\\q.txt"), full(L"quiet\\r.txt")}).exit_code, 0);

    // An allowed rename: the old name is a tombstone, and the placeholder still takes its data from
    // the provider's item it was written for.
    provider_.vetoes.erase(PRJ_NOTIFICATION_PRE_RENAME);
    ASSERT_EQ(run_client({L"rename", full(L"move.bin"), full(L"sub\\moved.bin")}).exit_code, 0);
    EXPECT_EQ(client_state(L"move.bin"), PRJ_FILE_STATE_TOMBSTONE);
    EXPECT_EQ(client_state(L"sub\\moved.bin"), placeholder);
    // The record says so, for every process.
    EXPECT_EQ(root_record::open(root_)->data_path(L"sub\\moved.bin"), L"move.bin");
    EXPECT_EQ(client_read(L"sub\\moved.bin"), content_of(L"move.bin", 7000));
    EXPECT_EQ(root_record::open(root_)->data_path(L"sub\\moved.bin"), L"sub\\moved.bin");
    {
        std::lock_guard held(provider_.lock);
        ASSERT_FALSE(provider_.data_requests.empty());
        EXPECT_EQ(std::get<0>(provider_.data_requests.back()), L"move.bin");
        // Renamed-after notifications were not asked for.
        for (const auto& [kind, path] : provider_.notifications)
            EXPECT_NE(kind, PRJ_NOTIFICATION_FILE_RENAMED);
        EXPECT_NE(std::ranges::find(provider_.notifications,
                                    std::make_pair(PRJ_NOTIFICATION_PRE_RENAME, std::wstring(L"move.bin>sub\\moved.bin"))),
                  provider_.notifications.end());
    }
    // The files of a renamed directory too, once more after a second move.
    provider_.add(L"olddir", true);
    provider_.add(L"olddir\\f.bin", false, 3000);
    ASSERT_EQ(client_state(L"olddir\\f.bin"), placeholder);
    ASSERT_EQ(run_client({L"rename", full(L"olddir"), full(L"newdir")}).exit_code, 0);
    ASSERT_EQ(run_client({L"rename", full(L"newdir"), full(L"sub\\lastdir")}).exit_code, 0);
    EXPECT_EQ(client_state(L"olddir"), PRJ_FILE_STATE_TOMBSTONE);
    EXPECT_EQ(client_read(L"sub\\lastdir\\f.bin"), content_of(L"olddir\\f.bin", 3000));
    {
        std::lock_guard held(provider_.lock);
        EXPECT_EQ(std::get<0>(provider_.data_requests.back()), L"olddir\\f.bin");
    }

    // Handed back after the rename, it is the provider's item at its new path.
    provider_.add(L"again.bin", false, 5000);
    ASSERT_EQ(client_state(L"again.bin"), placeholder);
    ASSERT_EQ(run_client({L"rename", full(L"again.bin"), full(L"sub\\again2.bin")}).exit_code, 0);
    provider_.add(L"sub\\again2.bin", false, 6000);
    ASSERT_EQ(PrjDeleteFile(provider_.context, L"sub\\again2.bin", PRJ_UPDATE_NONE, nullptr), S_OK);
    EXPECT_EQ(client_read(L"sub\\again2.bin"), content_of(L"sub\\again2.bin", 6000));
    {
        std::lock_guard held(provider_.lock);
        EXPECT_EQ(std::get<0>(provider_.data_requests.back()), L"sub\\again2.bin");
    }

    // An allowed link: a second name of the placeholder's file, which an application made.
    ASSERT_EQ(run_client({L"link", full(L"free.txt"), full(L"sub\\free-link.txt")}).exit_code, 0);
    EXPECT_EQ(client_state(L"sub\\free-link.txt"), PRJ_FILE_STATE_FULL);
    EXPECT_EQ(client_state(L"free.txt"), placeholder);

    EXPECT_EQ(client(L"delete", L"free.txt").exit_code, 0);
    EXPECT_EQ(client_state(L"free.txt"), PRJ_FILE_STATE_TOMBSTONE);
}

TEST_F(ProvidedRoot, AnswersAreChecked)
{
    provider_.add(L"data.bin", false, 10000);
    provider_.try_misaligned_write = true;
    start();
    PRJ_VIRTUALIZATION_INSTANCE_INFO info{};
    ASSERT_EQ(PrjGetVirtualizationInstanceInfo(provider_.context, &info), S_OK);
    EXPECT_EQ(info.WriteAlignment, 4096u);
    EXPECT_EQ(info.InstanceID.Data1, 0x0b5e0000u + GetCurrentProcessId());

    void* buffer = PrjAllocateAlignedBuffer(provider_.context, 100);
    ASSERT_NE(buffer, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffer) % info.WriteAlignment, 0u);
    GUID unknown{};
    EXPECT_EQ(PrjWriteFileData(provider_.context, &unknown, buffer, 0, 100), E_INVALIDARG);
    PrjFreeAlignedBuffer(buffer);

    // A write that is not aligned is refused; the provider's aligned writes then hydrate the file.
    EXPECT_EQ(client_read(L"data.bin"), content_of(L"data.bin", 10000));
    {
        std::lock_guard held(provider_.lock);
        EXPECT_EQ(provider_.misaligned_write_result, E_INVALIDARG);
    }

    // Placeholder information: the fixed structure is the least, and a security descriptor after it
    // must be a whole self-relative one inside what was given.
    PRJ_PLACEHOLDER_INFO basic{};
    basic.FileBasicInfo.FileSize = 3;
    EXPECT_EQ(PrjWritePlaceholderInfo(provider_.context, L"small.txt", &basic, 300), E_INVALIDARG);
    SECURITY_DESCRIPTOR absolute;
    ASSERT_TRUE(InitializeSecurityDescriptor(&absolute, SECURITY_DESCRIPTOR_REVISION));
    DWORD length = 0;
    MakeSelfRelativeSD(&absolute, nullptr, &length);
    std::vector<std::byte> with_descriptor(sizeof(PRJ_PLACEHOLDER_INFO) + length);
    ASSERT_TRUE(MakeSelfRelativeSD(&absolute, with_descriptor.data() + sizeof(PRJ_PLACEHOLDER_INFO), &length));
    auto* info_with = reinterpret_cast<PRJ_PLACEHOLDER_INFO*>(with_descriptor.data());
    info_with->FileBasicInfo.FileSize = 3;
    info_with->SecurityInformation.OffsetToSecurityDescriptor = sizeof(PRJ_PLACEHOLDER_INFO);
    info_with->SecurityInformation.SecurityBufferSize = length;
    const auto size = static_cast<UINT32>(with_descriptor.size());
    EXPECT_EQ(PrjWritePlaceholderInfo(provider_.context, L"secured.txt", info_with, size), S_OK);
    EXPECT_EQ(test_support::file_size(full(L"secured.txt")), 3u);
    info_with->SecurityInformation.SecurityBufferSize = length + 1;
    EXPECT_EQ(PrjWritePlaceholderInfo(provider_.context, L"outside.txt", info_with, size), E_INVALIDARG);
    info_with->SecurityInformation.SecurityBufferSize = length;
    std::memset(with_descriptor.data() + sizeof(PRJ_PLACEHOLDER_INFO), 0x77, length);
    EXPECT_EQ(PrjWritePlaceholderInfo(provider_.context, L"broken.txt", info_with, size),
              HRESULT_FROM_WIN32(ERROR_INVALID_SECURITY_DESCR));
    EXPECT_FALSE(test_support::file_exists(full(L"broken.txt")));

    // An enumeration buffer handle that is none, or one kept past its callback.
    PRJ_FILE_BASIC_INFO entry{};
    EXPECT_EQ(PrjFillDirEntryBuffer(L"x", &entry, nullptr), E_INVALIDARG);
    ASSERT_EQ(client_list(L"").size(), 2u);  // data.bin and secured.txt
    PRJ_DIR_ENTRY_BUFFER_HANDLE kept;
    {
        std::lock_guard held(provider_.lock);
        kept = provider_.last_buffer;
    }
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(PrjFillDirEntryBuffer(L"x", &entry, kept), E_INVALIDARG);
}

// Stopping while readers wait for data answered later: every reader ends, with the bytes or with
// the cancellation, and the stop returns. Bounded: a few rounds.
TEST_F(ProvidedRoot, StopWhileReadsArePending)
{
    constexpr int files = 4;
    for (int i = 0; i < files; ++i)
        provider_.add(L"file" + std::to_wstring(i) + L".bin", false, 100000);
    provider_.data = answer::later;
    provider_.data_delay = std::chrono::milliseconds(30);
    for (int round = 0; round < 4; ++round) {
        start();
        std::vector<std::unique_ptr<client_process>> readers;
        for (int i = 0; i < files; ++i)
            readers.push_back(std::make_unique<client_process>(std::vector<std::wstring>{
                L"read", full(L"file" + std::to_wstring(i) + L".bin"), L"--out",
                output_folder_ / (L"stop" + std::to_wstring(round) + L"-" + std::to_wstring(i))}));
        std::this_thread::sleep_for(std::chrono::milliseconds(20 * round));
        stop();
        for (int i = 0; i < files; ++i) {
            client_result result = readers[i]->wait();
            const std::wstring saved = output_folder_ / (L"stop" + std::to_wstring(round) + L"-" + std::to_wstring(i));
            if (result.exit_code == 0)
                EXPECT_EQ(test_support::read_file(saved), content_of(L"file" + std::to_wstring(i) + L".bin", 100000));
            else
                EXPECT_TRUE(result.exit_code == ERROR_OPERATION_ABORTED ||
                            result.exit_code == ERROR_FILE_SYSTEM_VIRTUALIZATION_UNAVAILABLE)
                    << result.exit_code << " " << result.output;
        }
        // What was not hydrated is still a placeholder the next round reads from the start.
        for (int i = 0; i < files; ++i) {
            auto kind = recorded_as(L"file" + std::to_wstring(i) + L".bin");
            EXPECT_TRUE(kind == recorded_kind::placeholder || kind == recorded_kind::hydrated_placeholder ||
                        kind == recorded_kind::virtual_item);
        }
    }
}

TEST(NameMatch, ExpressionsMatchAsTheFileSystemDoes)
{
    struct match_case {
        const wchar_t* name;
        const wchar_t* expression;
        bool matches;
    };
    const match_case cases[] = {
        {L"file.txt", L"", true},           {L"file.txt", L"*", true},
        {L"file.txt", L"*.TXT", true},      {L"file.txt", L"*.doc", false},
        {L"file.txt", L"f?le.txt", true},   {L"file.txt", L"f?e.txt", false},
        {L"File.Txt", L"file.txt", true},   {L"file.txt", L"file.tx", false},
        {L"a.b.c", L"<.c", true},           {L"a.b", L"<.b", true},
        {L"a.b.c", L"<.b", false},          {L"abc", L"abc\"", true},
        {L"abc.", L"abc\"", true},          {L"abc.d", L"abc\"", false},
        {L"ab", L"ab>>", true},             {L"ab.x", L"ab>>.x", true},
        {L"abcd", L"ab>", false},           {L"f00012.txt", L"F0001?.TXT", true},
        {L"", L"*", true},                  {L"x", L"**x*", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(PrjFileNameMatch(c.name, c.expression) != FALSE, c.matches)
            << testing::PrintToString(std::wstring(c.name)) << " ~ " << testing::PrintToString(std::wstring(c.expression));
    EXPECT_FALSE(PrjFileNameMatch(nullptr, L"*"));
}

} // namespace
