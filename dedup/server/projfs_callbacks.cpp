// The Projected File System's callbacks of a served folder. Enumerations and name queries answer
// from the in-memory tree on the platform's thread; placeholder information and file data may
// read block files, so they run as commands: started on the callback's thread, answered pending
// when they suspend, completed later with PrjCompleteCommand, cancellable by the platform.

#include <dedup/server/provider.h>

#include <tavik/error_categories.h>
#include <tavik/lock_guard.h>

#include <algorithm>
#include <cstring>
#include <new>

namespace dedup {

namespace {

using tavik::details::exclusive_lock_guard;
using tavik::details::shared_lock_guard;

constexpr HRESULT not_found = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);             // 0x80070002
constexpr HRESULT enumeration_unknown = HRESULT_FROM_WIN32(ERROR_NOT_FOUND);        // 0x80070490
constexpr HRESULT buffer_full = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);      // 0x8007007A
constexpr HRESULT io_pending = HRESULT_FROM_WIN32(ERROR_IO_PENDING);                // 0x800703E5
constexpr HRESULT hard_links_refused = HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED);     // 0x80070032
constexpr HRESULT cancelled = HRESULT_FROM_WIN32(ERROR_CANCELLED);                  // 0x800704C7
constexpr std::uint32_t largest_write = 0xC800000;                                  // 200 MiB
constexpr std::size_t placeholder_info_size = sizeof(PRJ_PLACEHOLDER_INFO);        // as documented
static_assert(placeholder_info_size == 344);

provider_impl& provider_of(const PRJ_CALLBACK_DATA* data) noexcept
{
    return *static_cast<provider_impl*>(data->InstanceContext);
}

std::wstring path_of(const PRJ_CALLBACK_DATA& data) { return data.FilePathName ? data.FilePathName : L""; }

PRJ_FILE_BASIC_INFO basic_info_of(const dir_entry& entry) noexcept
{
    PRJ_FILE_BASIC_INFO info{};
    info.IsDirectory = entry.folder;
    info.FileSize = static_cast<INT64>(entry.size);
    info.CreationTime.QuadPart = entry.creation_time;
    info.LastAccessTime.QuadPart = entry.last_access_time;
    info.LastWriteTime.QuadPart = entry.last_write_time;
    info.ChangeTime.QuadPart = entry.change_time;
    info.FileAttributes = entry.attributes;
    return info;
}

// The errors with which a file system refuses the security descriptor of a placeholder (rather
// than the placeholder): only these switch a folder to placeholders without descriptors.
bool descriptor_refused(HRESULT hr) noexcept
{
    switch (hr) {
    case HRESULT_FROM_WIN32(ERROR_INVALID_SECURITY_DESCR):
    case HRESULT_FROM_WIN32(ERROR_PRIVILEGE_NOT_HELD):
    case HRESULT_FROM_WIN32(ERROR_INVALID_OWNER):
    case HRESULT_FROM_WIN32(ERROR_INVALID_PRIMARY_GROUP):
    case HRESULT_FROM_WIN32(ERROR_NOT_SUPPORTED):
    case E_INVALIDARG:
        return true;
    default:
        return false;
    }
}

// The HRESULT an operation's failure answers to the file system.
HRESULT hresult_of_current_exception() noexcept
{
    try {
        throw;
    } catch (const tavik::details::hresult_error_impl& error) {
        return error.code();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

// A store error as the answer of a command. Codes that are HRESULTs already (a failed load) pass
// unchanged; the store's own categories have small positive values, which the platform would take
// for success codes, so they answer a failure of their own.
HRESULT hresult_of(const std::error_code& error) noexcept
{
    if (error.category() == std::system_category())
        return HRESULT_FROM_WIN32(static_cast<DWORD>(error.value()));
    if (error.value() < 0)
        return static_cast<HRESULT>(error.value());
    if (error == make_error_code(internal_error::invariant_broken))
        return HRESULT_FROM_WIN32(ERROR_FILE_CORRUPT);
    return E_FAIL;
}

struct aligned_buffer {
    void* data = nullptr;
    ~aligned_buffer()
    {
        if (data)
            PrjFreeAlignedBuffer(data);
    }
};

HRESULT CALLBACK on_start_directory_enumeration(const PRJ_CALLBACK_DATA* data, const GUID* id)
{
    try {
        return provider_of(data).start_enumeration(*data, *id);
    } catch (...) {
        return hresult_of_current_exception();
    }
}

HRESULT CALLBACK on_end_directory_enumeration(const PRJ_CALLBACK_DATA* data, const GUID* id)
{
    return provider_of(data).end_enumeration(*id);
}

HRESULT CALLBACK on_get_directory_enumeration(const PRJ_CALLBACK_DATA* data, const GUID* id, PCWSTR expression,
                                           PRJ_DIR_ENTRY_BUFFER_HANDLE buffer)
{
    try {
        return provider_of(data).get_enumeration(*data, *id, expression, buffer);
    } catch (...) {
        return hresult_of_current_exception();
    }
}

HRESULT CALLBACK on_get_placeholder_info(const PRJ_CALLBACK_DATA* data)
{
    return provider_of(data).start_command(*data, provider_impl::command_kind::placeholder);
}

HRESULT CALLBACK on_get_file_data(const PRJ_CALLBACK_DATA* data, UINT64 offset, UINT32 length)
{
    return provider_of(data).start_command(*data, provider_impl::command_kind::file_data, offset, length);
}

HRESULT CALLBACK on_query_file_name(const PRJ_CALLBACK_DATA* data)
{
    try {
        return provider_of(data).query_file_name(*data);
    } catch (...) {
        return hresult_of_current_exception();
    }
}

HRESULT CALLBACK on_notification(const PRJ_CALLBACK_DATA*, BOOLEAN, PRJ_NOTIFICATION kind, PCWSTR,
                              PRJ_NOTIFICATION_PARAMETERS* parameters)
{
    switch (kind) {
    case PRJ_NOTIFICATION_FILE_OPENED:
        if (parameters)
            parameters->PostCreate.NotificationMask =
                static_cast<PRJ_NOTIFY_TYPES>(PRJ_NOTIFY_FILE_HANDLE_CLOSED_NO_MODIFICATION |
                                              PRJ_NOTIFY_FILE_HANDLE_CLOSED_FILE_MODIFIED |
                                              PRJ_NOTIFY_FILE_HANDLE_CLOSED_FILE_DELETED);
        return S_OK;
    case PRJ_NOTIFICATION_PRE_SET_HARDLINK:
        return hard_links_refused;  // a link would share a placeholder's data outside the store's view
    case PRJ_NOTIFICATION_FILE_RENAMED:
        if (parameters)
            parameters->FileRenamed.NotificationMask = static_cast<PRJ_NOTIFY_TYPES>(0);
        return S_OK;
    default:
        return S_OK;
    }
}

void CALLBACK on_cancel_command(const PRJ_CALLBACK_DATA* data)
{
    provider_of(data).cancel_command(*data);
}

} // namespace

const PRJ_CALLBACKS& provider_impl::callback_table() noexcept
{
    static const PRJ_CALLBACKS table{
        &on_start_directory_enumeration, &on_end_directory_enumeration, &on_get_directory_enumeration, &on_get_placeholder_info,
        &on_get_file_data,               &on_query_file_name,           &on_notification,              &on_cancel_command,
    };
    return table;
}

// ---------------------------------------------------------------------------------------------
// Enumerations

HRESULT provider_impl::start_enumeration(const PRJ_CALLBACK_DATA& data, const GUID& id)
{
    auto enumeration = std::make_unique<directory_enumeration>();
    enumeration->root = root;
    enumeration->path = path_of(data);
    if (root)
        enumeration->entries = root->list_folder(enumeration->path);
    exclusive_lock_guard guard(enumeration_lock);
    enumerations.try_emplace(id, std::move(enumeration));
    return S_OK;
}

HRESULT provider_impl::end_enumeration(const GUID& id)
{
    std::unique_ptr<directory_enumeration> ended;  // destroyed after the lock
    exclusive_lock_guard guard(enumeration_lock);
    if (auto it = enumerations.find(id); it != enumerations.end()) {
        ended = std::move(it->second);
        enumerations.erase(it);
    }
    return S_OK;
}

HRESULT provider_impl::get_enumeration(const PRJ_CALLBACK_DATA& data, const GUID& id, PCWSTR expression,
                                       PRJ_DIR_ENTRY_BUFFER_HANDLE buffer)
{
    directory_enumeration* enumeration = nullptr;
    {
        shared_lock_guard guard(enumeration_lock);
        auto it = enumerations.find(id);
        if (it == enumerations.end())
            return enumeration_unknown;
        enumeration = it->second.get();
    }
    if (!enumeration->started || (data.Flags & PRJ_CB_DATA_FLAG_ENUM_RESTART_SCAN)) {
        enumeration->started = true;
        if (expression)
            enumeration->filter = expression;
        enumeration->cursor = 0;
    }
    bool added = false;
    for (; enumeration->cursor < enumeration->entries.size(); ++enumeration->cursor) {
        const dir_entry& entry = enumeration->entries[enumeration->cursor];
        if (!enumeration->filter.empty() && !PrjFileNameMatch(entry.name.c_str(), enumeration->filter.c_str()))
            continue;
        PRJ_FILE_BASIC_INFO info = basic_info_of(entry);
        const HRESULT hr = PrjFillDirEntryBuffer(entry.name.c_str(), &info, buffer);
        if (hr == buffer_full)
            return added ? S_OK : buffer_full;  // the next call starts with this entry
        if (FAILED(hr))
            return hr;
        added = true;
    }
    return S_OK;
}

HRESULT provider_impl::query_file_name(const PRJ_CALLBACK_DATA& data)
{
    return root && root->exists(path_of(data)) ? S_OK : not_found;
}

// ---------------------------------------------------------------------------------------------
// Commands

HRESULT provider_impl::start_command(const PRJ_CALLBACK_DATA& data, command_kind kind, std::uint64_t offset,
                                     std::uint32_t length)
{
    const std::int32_t id = data.CommandId;
    tavik::details::future<HRESULT> operation;
    try {
        tavik::details::cancellation_source command = tavik::details::make_linked_cancellation_source(source);
        {
            exclusive_lock_guard guard(pending_lock);
            pending.try_emplace(id, command);
        }
        commands.enter();
        operation = kind == command_kind::placeholder
                        ? write_placeholder(std::move(command), path_of(data))
                        : write_file_data(std::move(command), path_of(data), data.DataStreamId, offset, length);
    } catch (...) {
        // No memory to start it: nothing runs for this command.
        exclusive_lock_guard guard(pending_lock);
        pending.erase(id);
        return hresult_of_current_exception();
    }
    if (!operation.is_ready()) {
        complete_command(std::move(operation), id);
        return io_pending;
    }
    HRESULT result;
    {
        exclusive_lock_guard guard(pending_lock);
        pending.erase(id);
        try {
            result = tavik::details::wait_blocking_result(std::move(operation));
        } catch (const tavik::details::operation_cancelled&) {
            // Nothing was written: the platform must not take the item as served.
            result = cancelled;
        } catch (...) {
            result = hresult_of_current_exception();
        }
    }
    commands.leave();
    return result;
}

tavik::details::fire_and_forget provider_impl::complete_command(tavik::details::future<HRESULT> operation,
                                                                std::int32_t command)
{
    HRESULT result = S_OK;
    bool answer = true;
    try {
        result = co_await operation;
    } catch (const tavik::details::operation_cancelled&) {
        answer = false;  // cancelled by the platform, or the folder is stopping: nothing is sent
    } catch (...) {
        result = hresult_of_current_exception();
    }
    operation.reset();
    if (answer) {
        {
            exclusive_lock_guard guard(pending_lock);
            pending.erase(command);
        }
        if (const HRESULT hr = PrjCompleteCommand(context, command, result, nullptr); FAILED(hr)) {
            try {
                tavik::details::throw_hresult(hr);
            } catch (const tavik::details::traceable_error& error) {
                report_failure(error, 1);
            }
        }
    }
    commands.leave();
}

void provider_impl::cancel_command(const PRJ_CALLBACK_DATA& data)
{
    tavik::details::cancellation_source command{std::shared_ptr<tavik::details::cancellation_source_body>{}};
    {
        exclusive_lock_guard guard(pending_lock);
        auto it = pending.find(data.CommandId);
        if (it == pending.end())
            return;
        command = std::move(it->second);
        pending.erase(it);
    }
    // Outside the lock: cancelling runs the command's callbacks on the pool.
    command.cancel();
}

tavik::details::future<HRESULT> provider_impl::write_placeholder(tavik::details::cancellation_source command,
                                                                 std::wstring path)
{
    const bool basic_only = basic_placeholders_only.load(std::memory_order_relaxed);
    placeholder_lookup_result found = co_await root->get_placeholder_info(path, basic_only, command);
    if (!found)
        co_return not_found;
    const dir_entry& entry = *found;

    // The placeholder goes under the name as the store holds it, in the requested directory.
    std::wstring destination;
    if (const auto slash = path.rfind(L'\\'); slash != std::wstring::npos)
        destination = path.substr(0, slash + 1);
    destination += entry.name;

    const std::size_t n = entry.security_descriptor.size();
    if (!basic_only && n != 0) {
        std::vector<std::byte> info(placeholder_info_size + n);
        auto* header = reinterpret_cast<PRJ_PLACEHOLDER_INFO*>(info.data());
        header->FileBasicInfo = basic_info_of(entry);
        header->SecurityInformation.SecurityBufferSize = static_cast<UINT32>(n);
        header->SecurityInformation.OffsetToSecurityDescriptor = static_cast<UINT32>(placeholder_info_size);
        std::memcpy(info.data() + placeholder_info_size, entry.security_descriptor.data(), n);
        const HRESULT hr = PrjWritePlaceholderInfo(context, destination.c_str(), header, static_cast<UINT32>(info.size()));
        if (!descriptor_refused(hr))
            co_return hr;
        basic_placeholders_only.store(true, std::memory_order_relaxed);
    }
    std::vector<std::byte> basic(sizeof(PRJ_PLACEHOLDER_INFO));
    auto* header = reinterpret_cast<PRJ_PLACEHOLDER_INFO*>(basic.data());
    header->FileBasicInfo = basic_info_of(entry);
    co_return PrjWritePlaceholderInfo(context, destination.c_str(), header, static_cast<UINT32>(placeholder_info_size));
}

tavik::details::future<HRESULT> provider_impl::write_file_data(tavik::details::cancellation_source command,
                                                               std::wstring path, GUID stream, std::uint64_t offset,
                                                               std::uint32_t length)
{
    // Written from an aligned offset, covering the whole range asked for. An alignment of 0 (the
    // instance's information could not be read) leaves the offset as asked.
    const std::uint64_t alignment = instance_info.WriteAlignment;
    std::uint64_t start = offset;
    if (alignment > 1 && (alignment & (alignment - 1)) == 0)
        start = offset & ~(alignment - 1);
    std::uint64_t remaining = offset + length - start;
    if (remaining == 0)
        co_return S_OK;
    const auto size = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, largest_write));
    aligned_buffer buffer{PrjAllocateAlignedBuffer(context, size)};
    if (!buffer.data)
        co_return E_OUTOFMEMORY;
    while (remaining != 0) {
        const auto chunk = static_cast<std::uint32_t>(std::min<std::uint64_t>(remaining, size));
        const std::error_code error = co_await root->read_file_data(path, start, chunk, buffer.data, command);
        if (error == make_error_code(common_error::not_found))
            co_return not_found;
        if (error)
            co_return hresult_of(error);
        if (const HRESULT hr = PrjWriteFileData(context, &stream, buffer.data, start, chunk); FAILED(hr))
            co_return hr;
        start += chunk;
        remaining -= chunk;
    }
    co_return S_OK;
}

} // namespace dedup
