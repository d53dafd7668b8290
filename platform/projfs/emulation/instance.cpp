#include <platform/projfs/emulation/instance.h>

#include <platform/projfs/emulation/client_protocol.h>
#include <platform/projfs/emulation/disk_items.h>
#include <platform/projfs/emulation/name_match.h>

#include <rpc.h>

#include <algorithm>
#include <cstring>
#include <unordered_set>

namespace projfs::emulation {

namespace {

constexpr HRESULT io_pending = HRESULT_FROM_WIN32(ERROR_IO_PENDING);
constexpr HRESULT aborted = HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED);
constexpr HRESULT insufficient_buffer = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);

struct instances {
    SRWLOCK lock = SRWLOCK_INIT;
    std::unordered_map<const void*, std::shared_ptr<instance>> running;
};

instances& the_instances()
{
    // Never destroyed: the DLL may be detached after other static objects are gone.
    static instances* all = new instances;
    return *all;
}

std::wstring parent_of(std::wstring_view relative)
{
    auto cut = relative.rfind(L'\\');
    return cut == std::wstring_view::npos ? std::wstring() : std::wstring(relative.substr(0, cut));
}

std::wstring join(std::wstring_view directory, std::wstring_view name)
{
    return directory.empty() ? std::wstring(name) : std::wstring(directory) + L"\\" + std::wstring(name);
}

bool is_not_found(HRESULT hr) noexcept
{
    return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) || hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
}

std::vector<std::byte> key_of(const GUID& id)
{
    std::vector<std::byte> key(sizeof id);
    std::memcpy(key.data(), &id, sizeof id);
    return key;
}

// Nothing is projected: a shell asked about through it is stale and goes.
class nothing_projected final : public projection {
public:
    std::optional<PRJ_FILE_BASIC_INFO> placeholder_info(std::wstring_view) override { return std::nullopt; }
};

} // namespace

namespace {

// The buffers of the get callbacks that run: a handle kept past its callback (a provider that
// fills it after its command was cancelled) is refused, never followed.
struct live_buffers {
    SRWLOCK lock = SRWLOCK_INIT;
    std::unordered_set<const void*> buffers;
};

live_buffers& the_live_buffers()
{
    static live_buffers* all = new live_buffers;  // never destroyed, as the instances
    return *all;
}

} // namespace

dir_entry_buffer::dir_entry_buffer(std::size_t capacity) : capacity(capacity)
{
    live_buffers& live = the_live_buffers();
    AcquireSRWLockExclusive(&live.lock);
    try {
        live.buffers.insert(this);
    } catch (...) {
        ReleaseSRWLockExclusive(&live.lock);
        throw;
    }
    ReleaseSRWLockExclusive(&live.lock);
}

dir_entry_buffer::~dir_entry_buffer()
{
    live_buffers& live = the_live_buffers();
    AcquireSRWLockExclusive(&live.lock);
    live.buffers.erase(this);
    ReleaseSRWLockExclusive(&live.lock);
}

HRESULT dir_entry_buffer::fill(PRJ_DIR_ENTRY_BUFFER_HANDLE handle, std::wstring_view name,
                               const PRJ_FILE_BASIC_INFO& info)
{
    live_buffers& live = the_live_buffers();
    AcquireSRWLockShared(&live.lock);
    auto* buffer = reinterpret_cast<dir_entry_buffer*>(handle);
    HRESULT hr = E_INVALIDARG;
    try {
        if (live.buffers.contains(buffer)) {
            const std::size_t size = cost(name.size());
            hr = insufficient_buffer;
            if (size <= buffer->capacity - buffer->used) {
                buffer->entries.emplace_back(std::wstring(name), info);
                buffer->used += size;
                hr = S_OK;
            }
        }
    } catch (const std::bad_alloc&) {
        hr = E_OUTOFMEMORY;
    }
    ReleaseSRWLockShared(&live.lock);
    return hr;
}

// One call of the provider: the callback data and what it points to.
class instance::callback_call {
public:
    callback_call(instance& owner, std::wstring_view relative, const requester& who)
        : application_(who.process), path_(relative), image_(who.image)
    {
        data.Size = sizeof data;
        data.NamespaceVirtualizationContext = owner.context();
        data.FilePathName = path_.c_str();
        data.VersionInfo = &version_;
        data.TriggeringProcessId = who.process_id;
        data.TriggeringProcessImageFileName = image_.c_str();
        data.InstanceContext = const_cast<void*>(owner.instance_context_);
    }
    callback_call(const callback_call&) = delete;
    callback_call& operator=(const callback_call&) = delete;

    // The process of the application whose I/O this is; null for the instance's own calls.
    HANDLE application() const noexcept { return application_; }

    PRJ_CALLBACK_DATA data{};

private:
    HANDLE application_;
    std::wstring path_;
    std::wstring image_;
    PRJ_PLACEHOLDER_VERSION_INFO version_{};
};

struct instance::command {
    command_kind kind = command_kind::plain;
    dir_entry_buffer* buffer = nullptr;
    PRJ_NOTIFICATION_PARAMETERS* parameters = nullptr;
    bool completed = false;  // by PrjCompleteCommand
    bool cancelled = false;
    HRESULT result = S_OK;
};

// A file being hydrated: where PrjWriteFileData writes for its data stream id.
struct instance::data_stream {
    tavik::unique_file file;
    std::uint64_t size = 0;
};

instance::instance(std::shared_ptr<root_record> root, const PRJ_CALLBACKS& callbacks, const void* instance_context,
                   const PRJ_STARTVIRTUALIZING_OPTIONS* options)
    : root_(std::move(root)), callbacks_(callbacks), instance_context_(instance_context)
{
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    concurrent_threads_ = std::max<DWORD>(system.dwNumberOfProcessors, 1);
    if (options) {
        flags_ = options->Flags;
        if (options->ConcurrentThreadCount)
            concurrent_threads_ = options->ConcurrentThreadCount;
        pool_threads_ = options->PoolThreadCount;
        for (UINT32 i = 0; i < options->NotificationMappingsCount && options->NotificationMappings; ++i) {
            const PRJ_NOTIFICATION_MAPPING& mapping = options->NotificationMappings[i];
            notification_mappings_.emplace_back(mapping.NotificationBitMask,
                                                fold_case(mapping.NotificationRoot ? mapping.NotificationRoot : L""));
        }
    }
    // The pool needs room for the callbacks that run and for the client's requests that wait for
    // pending ones.
    if (pool_threads_ < 2 * concurrent_threads_)
        pool_threads_ = 2 * concurrent_threads_;
    pool_threads_ = std::max<std::uint32_t>(pool_threads_, 4);
}

instance::~instance()
{
    shut_down();
}

HRESULT instance::begin()
{
    concurrency_.reset(CreateSemaphoreW(nullptr, static_cast<LONG>(concurrent_threads_),
                                        static_cast<LONG>(concurrent_threads_), nullptr));
    listener_stop_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    pool_ = CreateThreadpool(nullptr);
    group_ = CreateThreadpoolCleanupGroup();
    if (!concurrency_ || !listener_stop_ || !pool_ || !group_)
        return last_error();
    SetThreadpoolThreadMaximum(pool_, pool_threads_);
    if (!SetThreadpoolThreadMinimum(pool_, 1))
        return last_error();
    InitializeThreadpoolEnvironment(&environment_);
    SetThreadpoolCallbackPool(&environment_, pool_);
    SetThreadpoolCallbackCleanupGroup(&environment_, group_, nullptr);

    // Shells for what the provider projects, on one of the instance's threads as the platform
    // would call it.
    requester self{GetCurrentProcessId(), L""};
    tavik::unique_handle scanned(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!scanned)
        return last_error();
    if (callbacks_.StartDirectoryEnumerationCallback && callbacks_.GetDirectoryEnumerationCallback &&
        callbacks_.EndDirectoryEnumerationCallback) {
        HANDLE done = scanned.get();
        if (!submit([this, self, done] {
                try {
                    project_shells(L"", self, 0);
                } catch (const std::bad_alloc&) {
                    // Out of memory: the items without shells show once a listing asks for them.
                }
                SetEvent(done);
            }))
            return E_FAIL;
        WaitForSingleObject(done, INFINITE);
    }

    pipe_name_ = client_pipe_name(root_->key());
    listener_ = std::thread([this] { listen(); });
    return S_OK;
}

namespace {

struct submitted_work {
    std::function<void()> work;
};

void CALLBACK run_submitted(PTP_CALLBACK_INSTANCE, void* context)
{
    std::unique_ptr<submitted_work> work(static_cast<submitted_work*>(context));
    work->work();
}

} // namespace

bool instance::submit(std::function<void()> work)
{
    auto item = std::make_unique<submitted_work>(submitted_work{std::move(work)});
    if (!TrySubmitThreadpoolCallback(run_submitted, item.get(), &environment_))
        return false;
    item.release();
    return true;
}

HRESULT instance::start(std::wstring_view root_path, const PRJ_CALLBACKS& callbacks, const void* instance_context,
                        const PRJ_STARTVIRTUALIZING_OPTIONS* options, PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT& context)
{
    auto root = root_record::open(root_path);
    if (!root)
        return HRESULT_FROM_WIN32(ERROR_NOT_A_REPARSE_POINT);
    std::shared_ptr<instance> started(new instance(std::move(root), callbacks, instance_context, options));
    instances& all = the_instances();
    AcquireSRWLockExclusive(&all.lock);
    all.running.emplace(started.get(), started);
    ReleaseSRWLockExclusive(&all.lock);
    // The provider may be called before this returns, and answers with the context.
    context = started->context();
    if (HRESULT hr = started->begin(); FAILED(hr)) {
        stop(context);
        context = nullptr;
        return hr;
    }
    return S_OK;
}

void instance::stop(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context) noexcept
{
    std::shared_ptr<instance> stopped = from(context);
    if (!stopped)
        return;
    // The instance stays reachable while it stops: callbacks that still run answer through it.
    stopped->shut_down();
    instances& all = the_instances();
    AcquireSRWLockExclusive(&all.lock);
    all.running.erase(context);
    ReleaseSRWLockExclusive(&all.lock);
}

void instance::shut_down() noexcept
{
    // A second stop waits until the first is done.
    std::lock_guard one_stop(stop_lock_);
    if (stopped_.exchange(true))
        return;
    if (listener_stop_)
        SetEvent(listener_stop_.get());
    if (listener_.joinable()) {
        // The listener waits for a client to connect: the stop connects as one until it has seen
        // the stop (there may be no pipe instance to connect to at the moment).
        while (!listener_ended_) {
            HANDLE waking = CreateFileW(pipe_name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                        0, nullptr);
            for (int i = 0; i < 200 && !listener_ended_ && waking != INVALID_HANDLE_VALUE; ++i)
                Sleep(5);
            if (waking != INVALID_HANDLE_VALUE)
                CloseHandle(waking);
            else
                Sleep(5);
        }
        listener_.join();
    }

    std::vector<INT32> cancelled;
    {
        std::lock_guard held(commands_lock_);
        stopping_ = true;
        for (auto& [id, running] : commands_)
            if (!running->completed && !running->cancelled) {
                running->cancelled = true;
                cancelled.push_back(id);
            }
    }
    commands_changed_.notify_all();
    if (callbacks_.CancelCommandCallback && !cancelled.empty()) {
        // On a thread of the instance's own, as the platform cancels: never the provider's thread
        // that stops the instance.
        std::thread canceller([&] {
            for (INT32 id : cancelled) {
                callback_call call(*this, L"", requester{GetCurrentProcessId(), L""});
                call.data.CommandId = id;
                callbacks_.CancelCommandCallback(&call.data);
            }
        });
        canceller.join();
    }
    if (group_) {
        CloseThreadpoolCleanupGroupMembers(group_, FALSE, nullptr);
        CloseThreadpoolCleanupGroup(group_);
        group_ = nullptr;
    }
    if (pool_) {
        DestroyThreadpoolEnvironment(&environment_);
        CloseThreadpool(pool_);
        pool_ = nullptr;
    }
}

std::shared_ptr<instance> instance::from(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context)
{
    instances& all = the_instances();
    AcquireSRWLockShared(&all.lock);
    auto found = all.running.find(context);
    std::shared_ptr<instance> running = found == all.running.end() ? nullptr : found->second;
    ReleaseSRWLockShared(&all.lock);
    return running;
}

PRJ_VIRTUALIZATION_INSTANCE_INFO instance::info() const
{
    PRJ_VIRTUALIZATION_INSTANCE_INFO result{};
    result.InstanceID = root_->instance_id();
    result.WriteAlignment = write_alignment;
    return result;
}

std::wstring instance::full_path(std::wstring_view relative) const
{
    return relative.empty() ? root_->root_path() : root_->root_path() + L"\\" + std::wstring(relative);
}

// Commands

HRESULT instance::call(command_kind kind, callback_call& made, const std::function<HRESULT()>& body,
                       dir_entry_buffer* buffer, PRJ_NOTIFICATION_PARAMETERS* parameters)
{
    PRJ_CALLBACK_DATA& data = made.data;
    auto running = std::make_shared<command>();
    running->kind = kind;
    running->buffer = buffer;
    running->parameters = parameters;
    INT32 id;
    {
        std::lock_guard held(commands_lock_);
        if (stopping_)
            return aborted;
        id = next_command_++;
        if (next_command_ <= 0)
            next_command_ = 1;
        commands_.emplace(id, running);
    }
    data.CommandId = id;
    WaitForSingleObject(concurrency_.get(), INFINITE);
    bool cancelled_before;
    {
        std::lock_guard held(commands_lock_);
        cancelled_before = running->cancelled;
    }
    // A command cancelled while it waited for its turn never reaches the provider.
    HRESULT hr = cancelled_before ? aborted : body();
    ReleaseSemaphore(concurrency_.get(), 1, nullptr);

    std::unique_lock held(commands_lock_);
    if (hr == io_pending) {
        auto answered = [&] { return running->completed || running->cancelled; };
        const HANDLE application = made.application();
        while (!commands_changed_.wait_for(held, std::chrono::milliseconds(50), answered)) {
            // An application that ends while it waits cancels its I/O, and the platform the
            // command.
            if (application && WaitForSingleObject(application, 0) == WAIT_OBJECT_0) {
                running->cancelled = true;
                held.unlock();
                if (callbacks_.CancelCommandCallback)
                    callbacks_.CancelCommandCallback(&data);
                held.lock();
                break;
            }
        }
        hr = running->completed ? running->result : aborted;
    }
    commands_.erase(id);
    return hr;
}

HRESULT instance::complete_command(INT32 command_id, HRESULT result,
                                   const PRJ_COMPLETE_COMMAND_EXTENDED_PARAMETERS* parameters)
{
    {
        std::lock_guard held(commands_lock_);
        auto found = commands_.find(command_id);
        if (found == commands_.end() || found->second->completed || found->second->cancelled)
            return HRESULT_FROM_WIN32(ERROR_NOT_FOUND);
        command& pending = *found->second;
        if (parameters) {
            switch (parameters->CommandType) {
            case PRJ_COMPLETE_COMMAND_TYPE_ENUMERATION:
                if (pending.kind != command_kind::enumeration || !pending.buffer ||
                    parameters->Enumeration.DirEntryBufferHandle != pending.buffer->handle())
                    return E_INVALIDARG;
                break;
            case PRJ_COMPLETE_COMMAND_TYPE_NOTIFICATION:
                if (pending.kind != command_kind::notification)
                    return E_INVALIDARG;
                if (pending.parameters)
                    pending.parameters->PostCreate.NotificationMask = parameters->Notification.NotificationMask;
                break;
            default:
                return E_INVALIDARG;
            }
        }
        pending.completed = true;
        pending.result = result;
    }
    commands_changed_.notify_all();
    return S_OK;
}

// Enumeration

HRESULT instance::enumerate(std::wstring_view relative, std::size_t buffer_size, std::uint32_t restart_after,
                            std::wstring_view filter, const requester& who, std::vector<listed_item>& items)
{
    items.clear();
    if (!callbacks_.StartDirectoryEnumerationCallback || !callbacks_.GetDirectoryEnumerationCallback ||
        !callbacks_.EndDirectoryEnumerationCallback)
        return S_OK;
    GUID id;
    UuidCreate(&id);
    {
        callback_call begun(*this, relative, who);
        HRESULT hr = call(command_kind::plain, begun,
                          [&] { return callbacks_.StartDirectoryEnumerationCallback(&begun.data, &id); });
        if (FAILED(hr))
            return hr;
    }
    const std::wstring expression(filter);
    bool first = true;
    bool restart = false;
    bool restarted = false;
    HRESULT hr = S_OK;
    for (;;) {
        dir_entry_buffer buffer(buffer_size);
        callback_call get(*this, relative, who);
        // The first call of a scan asks for one entry, as a directory query's first call does; the
        // flag is a hint, and whatever more the provider adds is kept.
        int flags = 0;
        if (first)
            flags |= PRJ_CB_DATA_FLAG_ENUM_RETURN_SINGLE_ENTRY;
        if (restart)
            flags |= PRJ_CB_DATA_FLAG_ENUM_RESTART_SCAN | PRJ_CB_DATA_FLAG_ENUM_RETURN_SINGLE_ENTRY;
        get.data.Flags = static_cast<PRJ_CALLBACK_DATA_FLAGS>(flags);
        hr = call(
            command_kind::enumeration, get,
            [&] {
                return callbacks_.GetDirectoryEnumerationCallback(
                    &get.data, &id, expression.empty() ? nullptr : expression.c_str(), buffer.handle());
            },
            &buffer);
        // A provider that filled the buffer and says so still gave what fits.
        if (hr == insufficient_buffer && !buffer.entries.empty())
            hr = S_OK;
        if (FAILED(hr))
            break;
        if (buffer.entries.empty())
            break;  // the end of the directory
        first = false;
        restart = false;
        for (auto& [name, info] : buffer.entries)
            items.push_back(listed_item{std::move(name), info});
        if (restart_after && !restarted && items.size() >= restart_after) {
            items.clear();
            restart = restarted = true;
        }
    }
    callback_call ended(*this, relative, who);
    // The end's answer changes nothing of what the enumeration gave.
    call(command_kind::plain, ended, [&] { return callbacks_.EndDirectoryEnumerationCallback(&ended.data, &id); });
    return hr;
}

HRESULT instance::list(std::wstring_view relative, std::size_t buffer_size, std::uint32_t restart_after,
                       std::wstring_view filter, const requester& who, std::vector<listed_item>& items)
{
    items.clear();
    if (HRESULT hr = open_path(relative, who); FAILED(hr))
        return hr;
    const std::wstring directory = full_path(relative);
    item_look look;
    DWORD error = 0;
    if (!stat_item(directory, look, error))
        return HRESULT_FROM_WIN32(error);
    if (!look.directory())
        return HRESULT_FROM_WIN32(ERROR_DIRECTORY);

    // The provider is asked about its own directories only: one an application made holds
    // nothing of the provider's.
    std::vector<listed_item> provided;
    const bool projected = relative.empty() || root_->find(relative).has_value();
    if (projected)
        if (HRESULT hr = enumerate(relative, buffer_size, restart_after, filter, who, provided); FAILED(hr))
            return hr;
    std::unordered_map<std::wstring, recorded_item> recorded;
    for (auto& [name, item] : root_->children(relative))
        recorded.emplace(fold_case(name), item);
    std::unordered_set<std::wstring> provided_names;
    for (const auto& item : provided)
        provided_names.insert(fold_case(item.name));

    std::unordered_set<std::wstring> shown;
    for (const auto& [name, now] : list_items(directory)) {
        if (!name_matches(name, filter))
            continue;
        const std::wstring child = join(relative, name);
        const std::wstring key = fold_case(name);
        listed_item item{name, basic_info_of(now)};
        auto found = recorded.find(key);
        if (found != recorded.end() && observe(&found->second, &now).what == condition::virtual_item) {
            if (projected && filter.empty() && !provided_names.contains(key)) {
                // A shell of an item the provider no longer projects: nothing is there.
                PRJ_FILE_STATE ignored;
                nothing_projected none;
                root_->query_state(child, ignored, &none);
                continue;
            }
            item.info.FileAttributes |= FILE_ATTRIBUTE_RECALL_ON_OPEN;
        }
        shown.insert(key);
        items.push_back(std::move(item));
    }
    for (auto& item : provided) {
        const std::wstring key = fold_case(item.name);
        if (shown.contains(key))
            continue;
        if (recorded.contains(key)) {
            // A tombstone, unless another listing or an open made it after this one looked.
            const std::wstring child = join(relative, item.name);
            item_look now;
            if (!stat_item(full_path(child), now, error))
                continue;
            listed_item made{item.name, basic_info_of(now)};
            const std::optional<recorded_item> current = root_->find(child);
            if (current && observe(&*current, &now).what == condition::virtual_item)
                made.info.FileAttributes |= FILE_ATTRIBUTE_RECALL_ON_OPEN;
            shown.insert(key);
            items.push_back(std::move(made));
            continue;
        }
        // Listed by any program from now on.
        root_->make_shell(join(relative, item.name), item.info);
        item.info.FileAttributes |= FILE_ATTRIBUTE_RECALL_ON_OPEN;
        shown.insert(key);
        items.push_back(std::move(item));
    }
    std::ranges::sort(items, [](const listed_item& a, const listed_item& b) {
        return CompareStringOrdinal(a.name.c_str(), -1, b.name.c_str(), -1, TRUE) == CSTR_LESS_THAN;
    });
    return S_OK;
}

void instance::project_shells(std::wstring_view relative, const requester& who, int depth)
{
    // Roots are not deeper than paths allow; the bound only guards against a provider that
    // projects a directory inside itself forever.
    if (depth > 128)
        return;
    std::vector<listed_item> provided;
    if (FAILED(enumerate(relative, 64 * 1024, 0, L"", who, provided)))
        return;
    std::unordered_map<std::wstring, recorded_item> recorded;
    for (auto& [name, item] : root_->children(relative))
        recorded.emplace(fold_case(name), item);
    // One listing tells what is on disk: a lookup of each missing name would read the whole
    // directory under Wine.
    std::unordered_map<std::wstring, item_look> on_disk;
    for (auto& [name, look] : list_items(full_path(relative)))
        on_disk.emplace(fold_case(name), look);
    for (const auto& item : provided) {
        const std::wstring child = join(relative, item.name);
        const std::wstring key = fold_case(item.name);
        auto there = on_disk.find(key);
        auto found = recorded.find(key);
        if (there != on_disk.end()) {
            const item_look& now = there->second;
            // The provider's directories hold more of its items; one an application made does not.
            if (now.directory() && found != recorded.end())
                project_shells(child, who, depth + 1);
            continue;
        }
        if (found != recorded.end())
            continue;  // a tombstone
        if (FAILED(root_->make_shell(child, item.info)))
            continue;
        if (item.info.IsDirectory)
            project_shells(child, who, depth + 1);
    }
}

// Opens

HRESULT instance::open_path(std::wstring_view relative, const requester& who)
{
    for (std::size_t start = 0; !relative.empty();) {
        const std::size_t cut = relative.find(L'\\', start);
        const bool last = cut == std::wstring_view::npos;
        if (HRESULT hr = open_component(relative.substr(0, cut), last, who); FAILED(hr))
            return hr;
        if (last)
            break;
        start = cut + 1;
    }
    return S_OK;
}

HRESULT instance::open_component(std::wstring_view component, bool last, const requester& who)
{
    const HRESULT missing = HRESULT_FROM_WIN32(last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    // Opens of one item ask the provider one at a time, as the file system serializes them: the
    // second finds the placeholder the first made. The first look goes without the lock.
    std::shared_ptr<std::mutex> lock;
    std::unique_lock<std::mutex> one_at_a_time;
    for (;;) {
        const std::optional<recorded_item> recorded = root_->find(component);
        item_look now;
        DWORD error = 0;
        if (stat_item(full_path(component), now, error)) {
            if (!recorded || observe(&*recorded, &now).what != condition::virtual_item)
                return S_OK;
        } else {
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
                return HRESULT_FROM_WIN32(error);
            if (recorded)
                return missing;  // a tombstone hides the provider's item
            const std::wstring parent = parent_of(component);
            if (!parent.empty() && !root_->find(parent))
                return missing;  // a directory an application made holds nothing of the provider's
        }
        if (lock)
            return request_placeholder(component, missing, who);
        lock = path_lock(component);
        one_at_a_time = std::unique_lock(*lock);
    }
}

HRESULT instance::request_placeholder(std::wstring_view component, HRESULT missing, const requester& who)
{
    if (!callbacks_.GetPlaceholderInfoCallback)
        return missing;
    HRESULT hr;
    {
        callback_call asked(*this, component, who);
        hr = call(command_kind::plain, asked, [&] { return callbacks_.GetPlaceholderInfoCallback(&asked.data); });
    }
    if (is_not_found(hr)) {
        // The provider no longer projects it: a shell there is stale and goes.
        PRJ_FILE_STATE ignored;
        nothing_projected none;
        root_->query_state(component, ignored, &none);
        return missing;
    }
    if (FAILED(hr))
        return hr;
    item_look now;
    DWORD error = 0;
    if (!stat_item(full_path(component), now, error))
        return missing;  // the provider answered without writing a placeholder
    const std::optional<recorded_item> recorded = root_->find(component);
    if (recorded && observe(&*recorded, &now).what == condition::virtual_item) {
        // Still the shell: it becomes a placeholder as it stands.
        PRJ_FILE_STATE ignored;
        return root_->query_state(component, ignored);
    }
    return S_OK;
}

// Data

std::shared_ptr<std::mutex> instance::path_lock(std::wstring_view relative)
{
    std::lock_guard held(commands_lock_);
    if (path_locks_.size() >= 1024)
        std::erase_if(path_locks_, [](const auto& entry) { return entry.second.expired(); });
    std::weak_ptr<std::mutex>& slot = path_locks_[fold_case(relative)];
    std::shared_ptr<std::mutex> lock = slot.lock();
    if (!lock) {
        lock = std::make_shared<std::mutex>();
        slot = lock;
    }
    return lock;
}

HRESULT instance::hydrate(std::wstring_view relative, const requester& who)
{
    auto needs_data = [&](std::optional<recorded_item>& recorded, item_look& now) {
        recorded = root_->find(relative);
        DWORD error = 0;
        if (!recorded || !stat_item(full_path(relative), now, error) || now.directory())
            return false;
        const observation seen = observe(&*recorded, &now);
        return seen.what == condition::placeholder && !(seen.state & PRJ_FILE_STATE_HYDRATED_PLACEHOLDER);
    };
    std::optional<recorded_item> recorded;
    item_look before;
    if (!needs_data(recorded, before))
        return S_OK;
    std::shared_ptr<std::mutex> lock = path_lock(relative);
    std::lock_guard one_at_a_time(*lock);
    if (!needs_data(recorded, before))
        return S_OK;  // another reader hydrated it meanwhile
    if (!callbacks_.GetFileDataCallback)
        return HRESULT_FROM_WIN32(ERROR_FILE_SYSTEM_VIRTUALIZATION_UNAVAILABLE);

    const std::wstring path = full_path(relative);
    // A read-only placeholder takes its data too: the attribute is off while it is written.
    const bool read_only = (before.attributes & FILE_ATTRIBUTE_READONLY) != 0;
    const DWORD kept_attributes = before.attributes & settable_attributes;
    if (read_only && !SetFileAttributesW(path.c_str(), (kept_attributes & ~FILE_ATTRIBUTE_READONLY)
                                                           ? kept_attributes & ~FILE_ATTRIBUTE_READONLY
                                                           : FILE_ATTRIBUTE_NORMAL))
        return last_error();
    auto stream = std::make_shared<data_stream>();
    stream->size = before.size;
    stream->file.reset(CreateFileW(path.c_str(), GENERIC_WRITE | FILE_WRITE_ATTRIBUTES,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                   0, nullptr));
    if (!stream->file) {
        HRESULT failure = last_error();
        if (read_only)
            SetFileAttributesW(path.c_str(), kept_attributes);
        return failure;
    }
    GUID id;
    UuidCreate(&id);
    {
        std::lock_guard held(commands_lock_);
        streams_[key_of(id)] = stream;
    }
    const std::wstring data_path = root_->data_path(relative);
    HRESULT hr = S_OK;
    for (std::uint64_t offset = 0; offset < before.size && SUCCEEDED(hr);) {
        const auto length = static_cast<UINT32>(std::min<std::uint64_t>(before.size - offset, largest_data_request));
        callback_call asked(*this, data_path, who);
        asked.data.DataStreamId = id;
        hr = call(command_kind::plain, asked,
                  [&] { return callbacks_.GetFileDataCallback(&asked.data, offset, length); });
        offset += length;
    }
    {
        std::lock_guard held(commands_lock_);
        streams_.erase(key_of(id));
    }
    // Writing the data is no change of the file's own: its times stay as they were.
    FILE_BASIC_INFO times{};
    times.CreationTime.QuadPart = before.creation_time;
    times.LastWriteTime.QuadPart = before.last_write_time;
    if (!SetFileInformationByHandle(stream->file.get(), FileBasicInfo, &times, sizeof times) && SUCCEEDED(hr))
        hr = last_error();
    stream.reset();
    if (read_only && !SetFileAttributesW(path.c_str(), kept_attributes) && SUCCEEDED(hr))
        hr = last_error();
    if (FAILED(hr))
        return hr;
    return root_->hydrated(relative);
}

HRESULT instance::write_file_data(const GUID& data_stream_id, const void* buffer, UINT64 byte_offset, UINT32 length)
{
    std::shared_ptr<data_stream> stream;
    {
        std::lock_guard held(commands_lock_);
        auto found = streams_.find(key_of(data_stream_id));
        if (found != streams_.end())
            stream = found->second;
    }
    if (!stream || !buffer || length == 0)
        return E_INVALIDARG;
    // Whole units of the write alignment, but for the file's last piece.
    if (byte_offset % write_alignment != 0 || byte_offset > stream->size || length > stream->size - byte_offset ||
        (length % write_alignment != 0 && byte_offset + length != stream->size))
        return E_INVALIDARG;
    const auto* next = static_cast<const std::byte*>(buffer);
    while (length > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(byte_offset);
        at.OffsetHigh = static_cast<DWORD>(byte_offset >> 32);
        DWORD written = 0;
        if (!WriteFile(stream->file.get(), next, length, &written, &at))
            return last_error();
        if (written == 0)
            return E_FAIL;
        next += written;
        byte_offset += written;
        length -= written;
    }
    return S_OK;
}

HRESULT instance::open_for_read(std::wstring_view relative, const requester& who, std::wstring& path)
{
    if (HRESULT hr = open_path(relative, who); FAILED(hr))
        return hr;
    path = full_path(relative);
    item_look now;
    DWORD error = 0;
    if (!stat_item(path, now, error))
        return HRESULT_FROM_WIN32(error);
    if (now.directory())
        return HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
    return hydrate(relative, who);
}

// Changes

HRESULT instance::write(std::wstring_view relative, std::uint64_t offset, const std::vector<std::byte>& data,
                        const requester& who)
{
    HRESULT hr = open_path(relative, who);
    if (is_not_found(hr)) {
        hr = open_path(parent_of(relative), who);  // a new file
        if (FAILED(hr))
            return hr;
    } else if (FAILED(hr)) {
        return hr;
    } else {
        // A placeholder's data comes first: what is not written keeps the provider's bytes.
        if (hr = hydrate(relative, who); FAILED(hr))
            return hr;
    }
    tavik::unique_file file(CreateFileW(full_path(relative).c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                        nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return last_error();
    LARGE_INTEGER at;
    at.QuadPart = static_cast<LONGLONG>(offset);
    if (!SetFilePointerEx(file.get(), at, nullptr, FILE_BEGIN))
        return last_error();
    std::size_t done = 0;
    while (done < data.size()) {
        DWORD written = 0;
        const auto part = static_cast<DWORD>(std::min<std::size_t>(data.size() - done, 1u << 30));
        if (!WriteFile(file.get(), data.data() + done, part, &written, nullptr))
            return last_error();
        done += written;
    }
    return S_OK;
}

HRESULT instance::change_attributes(std::wstring_view relative, std::uint32_t set, std::uint32_t clear,
                                    const requester& who)
{
    if (HRESULT hr = open_path(relative, who); FAILED(hr))
        return hr;
    const std::wstring path = full_path(relative);
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return last_error();
    DWORD changed = ((attributes & settable_attributes) & ~clear) | (set & settable_attributes);
    if (!SetFileAttributesW(path.c_str(), changed ? changed : FILE_ATTRIBUTE_NORMAL))
        return last_error();
    return S_OK;
}

PRJ_NOTIFY_TYPES instance::notification_mask(std::wstring_view relative) const
{
    const std::wstring path = fold_case(relative);
    std::size_t best = 0;
    bool matched = false;
    PRJ_NOTIFY_TYPES mask = PRJ_NOTIFY_NONE;
    // The deepest mapping that holds the item decides.
    for (const auto& [bits, root] : notification_mappings_) {
        const bool holds = root.empty() || path == root || (path.starts_with(root) && path[root.size()] == L'\\');
        if (holds && (!matched || root.size() >= best)) {
            matched = true;
            best = root.size();
            mask = bits;
        }
    }
    return (mask & PRJ_NOTIFY_SUPPRESS_NOTIFICATIONS) ? PRJ_NOTIFY_NONE : mask;
}

HRESULT instance::notify(PRJ_NOTIFICATION notification, std::wstring_view relative, const wchar_t* destination,
                         bool directory, const requester& who)
{
    if (!callbacks_.NotificationCallback)
        return S_OK;
    PRJ_NOTIFY_TYPES mask = notification_mask(relative);
    if (destination)
        mask |= notification_mask(destination);
    if (!(mask & static_cast<PRJ_NOTIFY_TYPES>(notification)))
        return S_OK;
    callback_call told(*this, relative, who);
    PRJ_NOTIFICATION_PARAMETERS parameters{};
    const std::wstring target = destination ? destination : L"";
    return call(
        command_kind::notification, told,
        [&] {
            return callbacks_.NotificationCallback(&told.data, directory, notification,
                                                   destination ? target.c_str() : nullptr, &parameters);
        },
        nullptr, &parameters);
}

HRESULT instance::rename(std::wstring_view from, std::wstring_view to, const requester& who)
{
    if (from.empty() || to.empty())
        return E_INVALIDARG;
    if (HRESULT hr = open_path(from, who); FAILED(hr))
        return hr;
    if (HRESULT hr = open_path(parent_of(to), who); FAILED(hr))
        return hr;
    // A name already taken, projected or on disk, stays taken, as a rename without replacing
    // finds it so.
    if (fold_case(from) != fold_case(to)) {
        HRESULT hr = open_path(to, who);
        if (SUCCEEDED(hr))
            return HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS);
        if (!is_not_found(hr))
            return hr;
    }
    item_look look;
    DWORD error = 0;
    if (!stat_item(full_path(from), look, error))
        return HRESULT_FROM_WIN32(error);
    const std::wstring target(to);
    if (HRESULT hr = notify(PRJ_NOTIFICATION_PRE_RENAME, from, target.c_str(), look.directory(), who); FAILED(hr))
        return hr;
    const std::optional<recorded_item> recorded = root_->find(from);
    if (!MoveFileExW(full_path(from).c_str(), full_path(to).c_str(), 0))
        return last_error();
    if (recorded) {
        if (HRESULT hr = root_->moved(from, to); FAILED(hr))
            return hr;
    }
    // What the provider answers after the fact changes nothing.
    notify(PRJ_NOTIFICATION_FILE_RENAMED, from, target.c_str(), look.directory(), who);
    return S_OK;
}

HRESULT instance::link(std::wstring_view existing, std::wstring_view link_path, const requester& who)
{
    if (existing.empty() || link_path.empty())
        return E_INVALIDARG;
    if (HRESULT hr = open_path(existing, who); FAILED(hr))
        return hr;
    if (HRESULT hr = open_path(parent_of(link_path), who); FAILED(hr))
        return hr;
    const std::wstring target(link_path);
    if (HRESULT hr = notify(PRJ_NOTIFICATION_PRE_SET_HARDLINK, existing, target.c_str(), false, who); FAILED(hr))
        return hr;
    if (!CreateHardLinkW(full_path(link_path).c_str(), full_path(existing).c_str(), nullptr))
        return last_error();
    notify(PRJ_NOTIFICATION_HARDLINK_CREATED, existing, target.c_str(), false, who);
    return S_OK;
}

HRESULT instance::remove(std::wstring_view relative, const requester& who)
{
    if (relative.empty())
        return E_INVALIDARG;
    if (HRESULT hr = open_path(relative, who); FAILED(hr))
        return hr;
    const std::wstring path = full_path(relative);
    item_look look;
    DWORD error = 0;
    if (!stat_item(path, look, error))
        return HRESULT_FROM_WIN32(error);
    if (HRESULT hr = notify(PRJ_NOTIFICATION_PRE_DELETE, relative, nullptr, look.directory(), who); FAILED(hr))
        return hr;
    // Shells in a directory are the provider's items in it: it is not empty, as on the platform.
    const BOOL removed = look.directory() ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
    return removed ? S_OK : last_error();
}

HRESULT instance::state(std::wstring_view relative, const requester& who, PRJ_FILE_STATE& state)
{
    HRESULT hr = open_path(relative, who);
    if (FAILED(hr) && !is_not_found(hr))
        return hr;
    // A tombstone is not found by an open, and still has a state.
    return root_->query_state(relative, state);
}

} // namespace projfs::emulation
