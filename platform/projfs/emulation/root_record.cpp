#include <platform/projfs/emulation/root_record.h>

#include <platform/projfs/emulation/disk_items.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <vector>

namespace projfs::emulation {

namespace {

// The full path without trailing separators (a drive root keeps its one).
std::wstring absolute_path(std::wstring_view path)
{
    std::wstring text(path);
    DWORD needed = GetFullPathNameW(text.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return text;
    std::wstring full(needed, L'\0');
    DWORD length = GetFullPathNameW(text.c_str(), needed, full.data(), nullptr);
    full.resize(length);
    while (full.size() > 3 && (full.back() == L'\\' || full.back() == L'/'))
        full.pop_back();
    return full;
}

std::wstring records_folder()
{
    std::wstring base(MAX_PATH, L'\0');
    DWORD length = GetEnvironmentVariableW(L"LOCALAPPDATA", base.data(), static_cast<DWORD>(base.size()));
    if (length == 0 || length >= base.size())
        length = GetTempPathW(static_cast<DWORD>(base.size()), base.data());
    base.resize(length);
    while (!base.empty() && base.back() == L'\\')
        base.pop_back();
    std::wstring folder = base + L"\\ProjFS emulation";
    // Fails harmlessly when it exists; any other failure shows when the record file is opened.
    CreateDirectoryW(folder.c_str(), nullptr);
    return folder;
}

const std::wstring& the_records_folder()
{
    static const std::wstring folder = records_folder();
    return folder;
}

std::wstring key_of(const std::wstring& root_path)
{
    std::wstring folded = fold_case(root_path);
    XXH128_hash_t hash = XXH3_128bits(folded.data(), folded.size() * sizeof(wchar_t));
    wchar_t text[33];
    static constexpr wchar_t digits[] = L"0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        std::uint64_t half = i < 8 ? hash.high64 : hash.low64;
        unsigned byte = static_cast<unsigned>(half >> (8 * (7 - i % 8))) & 0xFF;
        text[2 * i] = digits[byte >> 4];
        text[2 * i + 1] = digits[byte & 15];
    }
    text[32] = L'\0';
    return text;
}

// The one place that names a record file.
std::wstring record_path_of(const std::wstring& key)
{
    return the_records_folder() + L"\\" + key + L".rec";
}

struct registry {
    SRWLOCK lock = SRWLOCK_INIT;
    std::unordered_map<std::wstring, std::shared_ptr<root_record>> records;  // by key
};

registry& the_registry()
{
    // Never destroyed: the emulation DLL may be detached after other static objects are gone.
    static registry* instance = new registry;
    return *instance;
}

std::uint64_t new_generation()
{
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    std::uint64_t seed[3] = {static_cast<std::uint64_t>(counter.QuadPart), GetCurrentProcessId(),
                             GetCurrentThreadId()};
    return XXH3_64bits(seed, sizeof seed);
}

std::wstring parent_of(std::wstring_view relative)
{
    auto cut = relative.rfind(L'\\');
    return cut == std::wstring_view::npos ? std::wstring() : std::wstring(relative.substr(0, cut));
}

std::size_t depth_of(const std::wstring& relative)
{
    return static_cast<std::size_t>(std::count(relative.begin(), relative.end(), L'\\'));
}

} // namespace

PRJ_FILE_BASIC_INFO basic_info_of(const item_look& look) noexcept
{
    PRJ_FILE_BASIC_INFO info{};
    info.IsDirectory = look.directory();
    info.FileSize = static_cast<INT64>(look.size);
    info.CreationTime.QuadPart = look.creation_time;
    // The record keeps no access or change time: the last write stands for both.
    info.LastAccessTime.QuadPart = look.last_write_time;
    info.LastWriteTime.QuadPart = look.last_write_time;
    info.ChangeTime.QuadPart = look.last_write_time;
    info.FileAttributes = look.attributes;
    return info;
}

std::wstring fold_case(std::wstring_view text)
{
    std::wstring folded(text);
    if (!folded.empty())
        LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, text.data(), static_cast<int>(text.size()),
                      folded.data(), static_cast<int>(folded.size()), nullptr, nullptr, 0);
    return folded;
}

// Holds the root's mutex: one operation of one thread in one process at a time.
class root_record::lock {
public:
    explicit lock(root_record& record) : record_(record)
    {
        // WAIT_ABANDONED also gives ownership: an owner died mid-operation, and the log tolerates
        // the torn entry it may have left.
        WaitForSingleObject(record_.mutex_.get(), INFINITE);
    }
    ~lock() { ReleaseMutex(record_.mutex_.get()); }
    lock(const lock&) = delete;
    lock& operator=(const lock&) = delete;

private:
    root_record& record_;
};

struct root_record::parent_state {
    std::wstring relative;
    recorded_kind kind = recorded_kind::placeholder;
    bool keep_clean = false;
};

root_record::root_record(std::wstring root_path, record_file file, tavik::unique_handle mutex)
    : root_path_(std::move(root_path)), file_(std::move(file)), mutex_(std::move(mutex))
{
}

std::shared_ptr<root_record> root_record::record_for(const std::wstring& root_path, bool create)
{
    std::wstring key = key_of(root_path);
    registry& known = the_registry();
    AcquireSRWLockShared(&known.lock);
    auto found = known.records.find(key);
    std::shared_ptr<root_record> record = found == known.records.end() ? nullptr : found->second;
    ReleaseSRWLockShared(&known.lock);
    if (record)
        return record;

    record_file file = record_file::open(record_path_of(key), create);
    if (!file)
        return nullptr;
    tavik::unique_handle mutex(CreateMutexW(nullptr, FALSE, (L"Local\\projfs-emulation-" + key).c_str()));
    if (!mutex)
        return nullptr;
    record.reset(new root_record(root_path, std::move(file), std::move(mutex)));
    AcquireSRWLockExclusive(&known.lock);
    auto [position, inserted] = known.records.emplace(std::move(key), record);
    record = position->second;  // another thread may have been first
    ReleaseSRWLockExclusive(&known.lock);
    return record;
}

HRESULT root_record::refresh()
{
    std::uint64_t file_size = 0;
    if (!file_.size(file_size))
        return last_error();

    std::byte fixed[record_log::header_fixed_length];
    std::size_t read = 0;
    if (file_size >= sizeof fixed && !file_.read_at(0, fixed, read))
        return last_error();
    const std::optional<record_log::header> header = record_log::read_header(std::span(fixed, read), file_size);
    if (!header) {
        loaded_ = true;
        marked_ = false;
        items_.clear();
        origins_.clear();
        generation_ = 0;
        end_ = file_size_ = file_size;
        return S_OK;
    }
    if (!loaded_ || !marked_ || header->generation != generation_) {
        items_.clear();
        origins_.clear();
        generation_ = header->generation;
        header_length_ = header->length;
        id_ = header->instance_id;
        file_index_ = header->root_file_index;
        end_ = header_length_;
        loaded_ = true;
        marked_ = true;
        identity_checked_ = false;
    }
    if (file_size > end_) {
        std::vector<std::byte> log(static_cast<std::size_t>(file_size - end_));
        if (!file_.read_at(end_, log, read))
            return last_error();
        record_log::entry_reader entries{std::span(log).first(read)};
        while (std::optional<record_log::entry> entry = entries.next()) {
            std::wstring key = fold_case(entry->path);
            if (entry->op == record_log::operation::put) {
                items_[std::move(key)] = entry_t{std::move(entry->path), entry->item};
            } else if (entry->op == record_log::operation::origin) {
                if (entry->origin.empty())
                    origins_.erase(key);
                else
                    origins_[std::move(key)] = std::move(entry->origin);
            } else {
                items_.erase(key);
                origins_.erase(key);
            }
        }
        end_ += entries.consumed();
    }
    file_size_ = file_size;
    return S_OK;
}

HRESULT root_record::check_identity(bool again)
{
    if (again)
        identity_checked_ = false;
    if (!marked_ || identity_checked_)
        return S_OK;
    auto index = file_index(root_path_);
    if (!index || *index != file_index_) {
        // Another directory, or none, under the marked path: the mark went with the old one.
        if (!file_.set_length(0))
            return last_error();
        marked_ = false;
        items_.clear();
        origins_.clear();
        generation_ = 0;
        end_ = file_size_ = 0;
    }
    identity_checked_ = true;
    return S_OK;
}

HRESULT root_record::write_header(const std::wstring& root_path, const GUID& id, std::uint64_t index)
{
    const std::uint64_t generation = new_generation();
    const std::vector<std::byte> header = record_log::write_header(generation, id, index, root_path);
    // The generation changes before the entries go, so no process reads the new header with the
    // old entries: a reader holds the mutex, which the writer holds too.
    if (!file_.write_at(0, header) || !file_.set_length(header.size()))
        return last_error();
    items_.clear();
    origins_.clear();
    loaded_ = marked_ = identity_checked_ = true;
    generation_ = generation;
    header_length_ = end_ = file_size_ = header.size();
    id_ = id;
    file_index_ = index;
    return S_OK;
}

HRESULT root_record::append(record_log::operation operation, std::wstring_view relative, const recorded_item& item)
{
    return append_entry(record_log::write_entry(operation, relative, item));
}

HRESULT root_record::append_entry(const std::vector<std::byte>& entry)
{
    if (file_size_ != end_) {
        if (!file_.set_length(end_))  // a torn entry of a writer that died
            return last_error();
        file_size_ = end_;
    }
    if (!file_.write_at(end_, entry))
        return last_error();
    end_ += entry.size();
    file_size_ = end_;
    return S_OK;
}

HRESULT root_record::put(std::wstring_view relative, const recorded_item& item)
{
    HRESULT hr = append(record_log::operation::put, relative, item);
    if (SUCCEEDED(hr))
        items_[fold_case(relative)] = entry_t{std::wstring(relative), item};
    return hr;
}

HRESULT root_record::erase(std::wstring_view relative)
{
    std::wstring key = fold_case(relative);
    if (!items_.contains(key) && !origins_.contains(key))
        return S_OK;
    HRESULT hr = append(record_log::operation::erase, relative, recorded_item{});
    if (SUCCEEDED(hr)) {
        items_.erase(key);
        origins_.erase(key);
    }
    return hr;
}

HRESULT root_record::set_origin(std::wstring_view relative, std::wstring_view origin)
{
    std::wstring key = fold_case(relative);
    auto found = origins_.find(key);
    if (origin.empty() ? found == origins_.end() : (found != origins_.end() && found->second == origin))
        return S_OK;
    if (HRESULT hr = append_entry(record_log::write_origin_entry(relative, origin)); FAILED(hr))
        return hr;
    if (origin.empty())
        origins_.erase(key);
    else
        origins_[std::move(key)] = std::wstring(origin);
    return S_OK;
}

HRESULT root_record::forget_origins(std::wstring_view relative)
{
    if (origins_.empty())
        return S_OK;
    const std::wstring key = fold_case(relative);
    std::vector<std::wstring> ended;
    for (const auto& [folded, origin] : origins_)
        if (folded == key || (folded.starts_with(key) && folded.size() > key.size() && folded[key.size()] == L'\\'))
            ended.push_back(folded);
    for (const auto& folded : ended)
        if (HRESULT hr = set_origin(folded, L""); FAILED(hr))
            return hr;
    return S_OK;
}

std::wstring root_record::data_path(std::wstring_view relative)
{
    lock held(*this);
    if (FAILED(current()) || !marked_)
        return std::wstring(relative);
    auto found = origins_.find(fold_case(relative));
    return found == origins_.end() ? std::wstring(relative) : found->second;
}

HRESULT root_record::erase_below(std::wstring_view relative)
{
    std::wstring prefix = fold_case(relative) + L"\\";
    std::vector<std::wstring> below;
    for (const auto& [key, value] : items_)
        if (key.starts_with(prefix))
            below.push_back(value.path);
    for (const auto& path : below)
        if (HRESULT hr = erase(path); FAILED(hr))
            return hr;
    return S_OK;
}

const recorded_item* root_record::item(std::wstring_view relative) const
{
    auto found = items_.find(fold_case(relative));
    return found == items_.end() ? nullptr : &found->second.item;
}

std::wstring root_record::full_path(std::wstring_view relative) const
{
    return relative.empty() ? root_path_ : root_path_ + L"\\" + std::wstring(relative);
}

root_record::parent_state root_record::note_parent(std::wstring_view relative)
{
    parent_state parent;
    parent.relative = parent_of(relative);
    if (parent.relative.empty())
        return parent;  // the root itself carries no record
    const recorded_item* recorded = item(parent.relative);
    item_look now;
    DWORD error;
    if (recorded && stat_item(full_path(parent.relative), now, error)) {
        observation seen = observe(recorded, &now);
        parent.kind = recorded->kind;
        parent.keep_clean = seen.what == condition::virtual_item ||
                            (seen.what == condition::placeholder && seen.state == PRJ_FILE_STATE_PLACEHOLDER);
    }
    return parent;
}

HRESULT root_record::restore_parent(const parent_state& parent)
{
    if (!parent.keep_clean)
        return S_OK;
    item_look now;
    DWORD error;
    if (!stat_item(full_path(parent.relative), now, error))
        return S_OK;  // gone meanwhile: nothing to keep clean
    return put(parent.relative, recorded_item{parent.kind, now});
}

HRESULT root_record::mark(std::wstring_view root_path, const GUID& id)
{
    std::wstring full = absolute_path(root_path);
    DWORD attributes = GetFileAttributesW(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return last_error();
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return HRESULT_FROM_WIN32(ERROR_DIRECTORY);
    auto index = file_index(full);
    if (!index)
        return last_error();
    auto record = record_for(full, true);
    if (!record)
        return last_error();
    lock held(*record);
    if (HRESULT hr = record->refresh(); FAILED(hr))
        return hr;
    if (HRESULT hr = record->check_identity(true); FAILED(hr))
        return hr;
    if (record->marked_ && IsEqualGUID(record->id_, id))
        return S_OK;
    return record->write_header(full, id, *index);
}

std::shared_ptr<root_record> root_record::open(std::wstring_view root_path)
{
    auto record = record_for(absolute_path(root_path), false);
    if (!record)
        return nullptr;
    lock held(*record);
    if (FAILED(record->refresh()) || FAILED(record->check_identity(true)) || !record->marked_)
        return nullptr;
    return record;
}

std::optional<root_record::location> root_record::locate(std::wstring_view path)
{
    const std::wstring full = absolute_path(path);
    // The path itself and every ancestor that can be a root, longest first. Roots do not nest.
    std::vector<std::size_t> lengths;
    for (std::size_t length = full.size(); length > 3; --length)
        if (length == full.size() || full[length] == L'\\')
            if (full[length - 1] != L':' && full[length - 1] != L'\\')
                lengths.push_back(length);

    auto located = [&](std::size_t length, std::shared_ptr<root_record> record) {
        return location{std::move(record), length < full.size() ? full.substr(length + 1) : std::wstring()};
    };
    registry& known = the_registry();
    for (std::size_t length : lengths) {
        std::wstring key = key_of(full.substr(0, length));
        AcquireSRWLockShared(&known.lock);
        auto found = known.records.find(key);
        std::shared_ptr<root_record> record = found == known.records.end() ? nullptr : found->second;
        ReleaseSRWLockShared(&known.lock);
        if (record) {
            lock held(*record);
            if (SUCCEEDED(record->refresh()) && SUCCEEDED(record->check_identity()) && record->marked_)
                return located(length, std::move(record));
        }
    }
    for (std::size_t length : lengths) {
        std::wstring candidate = full.substr(0, length);
        if (GetFileAttributesW(record_path_of(key_of(candidate)).c_str()) == INVALID_FILE_ATTRIBUTES)
            continue;
        if (auto record = open(candidate))
            return located(length, std::move(record));
    }
    return std::nullopt;
}

std::wstring root_record::record_path(std::wstring_view root_path)
{
    return record_path_of(key_of(absolute_path(root_path)));
}

GUID root_record::instance_id()
{
    lock held(*this);
    if (FAILED(refresh()) || FAILED(check_identity()) || !marked_)
        return GUID{};
    return id_;
}

std::optional<recorded_item> root_record::find(std::wstring_view relative)
{
    lock held(*this);
    if (FAILED(refresh()) || FAILED(check_identity()) || !marked_)
        return std::nullopt;
    const recorded_item* recorded = item(relative);
    return recorded ? std::optional<recorded_item>(*recorded) : std::nullopt;
}

HRESULT root_record::current()
{
    if (HRESULT hr = refresh(); FAILED(hr))
        return hr;
    return check_identity();
}

HRESULT root_record::current_marked()
{
    if (HRESULT hr = current(); FAILED(hr))
        return hr;
    return marked_ ? S_OK : HRESULT_FROM_WIN32(ERROR_NOT_A_REPARSE_POINT);
}

HRESULT root_record::query_state(std::wstring_view relative, PRJ_FILE_STATE& state, projection* provider)
{
    lock held(*this);
    if (HRESULT hr = current(); FAILED(hr))
        return hr;
    item_look now;
    DWORD error = 0;
    bool present = stat_item(full_path(relative), now, error);
    if (present && marked_) {
        if (HRESULT hr = open_path(relative, provider); FAILED(hr))
            return hr;
        present = stat_item(full_path(relative), now, error);
    }
    const recorded_item* recorded = marked_ ? item(relative) : nullptr;
    if (!present) {
        if (recorded && error == ERROR_FILE_NOT_FOUND) {
            state = PRJ_FILE_STATE_TOMBSTONE;
            return S_OK;
        }
        return HRESULT_FROM_WIN32(error);
    }
    state = observe(recorded, &now).state;
    return S_OK;
}

HRESULT root_record::open_path(std::wstring_view relative, projection* provider)
{
    // The platform opens a path from the top down, and each virtual component on the way becomes a
    // placeholder with what the provider answers for it.
    for (std::size_t end = 0; end != std::wstring_view::npos;) {
        end = relative.find(L'\\', end + 1);
        const std::wstring_view component = relative.substr(0, end);
        const recorded_item* recorded = item(component);
        if (!recorded || recorded->kind != recorded_kind::virtual_item)
            continue;
        item_look shell;
        DWORD error = 0;
        if (!stat_item(full_path(component), shell, error) ||
            observe(recorded, &shell).what != condition::virtual_item)
            continue;  // gone or changed: an application's open already went this way
        if (!provider) {
            if (HRESULT hr = put(component, recorded_item{recorded_kind::placeholder, shell}); FAILED(hr))
                return hr;
            continue;
        }
        std::optional<PRJ_FILE_BASIC_INFO> info = provider->placeholder_info(component);
        if (!info) {
            // The provider no longer projects it: a stale shell, and nothing is there.
            if (HRESULT hr = remove_tree(component, shell); FAILED(hr))
                return hr;
            return HRESULT_FROM_WIN32(end == std::wstring_view::npos ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
        }
        if (HRESULT hr = write_placeholder_locked(component, *info); FAILED(hr))
            return hr;
    }
    return S_OK;
}

HRESULT root_record::delete_item(std::wstring_view relative, PRJ_UPDATE_TYPES flags,
                                 PRJ_UPDATE_FAILURE_CAUSES& causes, projection* provider)
{
    causes = PRJ_UPDATE_FAILURE_CAUSE_NONE;
    if (relative.empty())
        return E_INVALIDARG;
    lock held(*this);
    if (HRESULT hr = current_marked(); FAILED(hr))
        return hr;

    const std::wstring path = full_path(relative);
    item_look now;
    DWORD error = 0;
    const bool present = stat_item(path, now, error);
    const recorded_item* recorded = item(relative);
    // Whatever becomes of it, an item handed back is the provider's item at this path.
    if (HRESULT hr = forget_origins(relative); FAILED(hr))
        return hr;
    if (!present) {
        if (!recorded || error != ERROR_FILE_NOT_FOUND)
            return HRESULT_FROM_WIN32(error);
        causes = refusal(observe(recorded, nullptr), flags);
        if (causes != PRJ_UPDATE_FAILURE_CAUSE_NONE)
            return HRESULT_FROM_WIN32(ERROR_FILE_SYSTEM_VIRTUALIZATION_INVALID_OPERATION);
        return remove_tombstone(relative, provider);
    }

    const observation seen = observe(recorded, &now);
    if (seen.what == condition::virtual_item)
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);  // nothing of it is on disk to delete
    causes = refusal(seen, flags);
    if (causes != PRJ_UPDATE_FAILURE_CAUSE_NONE)
        return HRESULT_FROM_WIN32(ERROR_FILE_SYSTEM_VIRTUALIZATION_INVALID_OPERATION);
    // A directory goes back only when nothing but shells is left in it; they stay with it.
    if (now.directory() && !only_shells_below(relative))
        return HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY);

    // What the item is once virtual again.
    std::optional<PRJ_FILE_BASIC_INFO> projected;
    if (provider)
        projected = provider->placeholder_info(relative);
    else
        projected = basic_info_of(seen.what == condition::full ? now : recorded->look);

    const parent_state parent = note_parent(relative);
    HRESULT hr = S_OK;
    if (projected && projected->IsDirectory && now.directory()) {
        item_look restamped;
        hr = restamp_directory(path, *projected, restamped);
        if (SUCCEEDED(hr))
            hr = forget_missing_below(relative);  // the tombstones in it go with its local state
        if (SUCCEEDED(hr))
            hr = put(relative, recorded_item{recorded_kind::virtual_item, restamped});
    } else {
        hr = remove_tree(relative, now);
        if (SUCCEEDED(hr) && projected)
            hr = make_shell_locked(relative, *projected);
    }
    HRESULT kept = restore_parent(parent);
    return FAILED(hr) ? hr : kept;
}

HRESULT root_record::remove_tombstone(std::wstring_view relative, projection* provider)
{
    std::vector<std::wstring> below;
    const std::wstring prefix = fold_case(relative) + L"\\";
    for (const auto& [key, value] : items_)
        if (key.starts_with(prefix))
            below.push_back(value.path);
    if (HRESULT hr = erase_below(relative); FAILED(hr))
        return hr;
    if (HRESULT hr = erase(relative); FAILED(hr))
        return hr;
    if (!provider)
        return S_OK;  // nobody to say whether the provider still projects it

    // The provider's item shows again where it still projects it, and with a directory what it
    // projects of the items that were below it, parents before their children.
    std::optional<PRJ_FILE_BASIC_INFO> info = provider->placeholder_info(relative);
    if (!info)
        return S_OK;
    if (HRESULT hr = make_shell_locked(relative, *info); FAILED(hr))
        return hr;
    std::ranges::stable_sort(below, {}, depth_of);
    for (const auto& path : below) {
        std::optional<PRJ_FILE_BASIC_INFO> child = provider->placeholder_info(path);
        // One whose parent the provider no longer projects has no place to show.
        if (child)
            if (HRESULT hr = make_shell_locked(path, *child);
                FAILED(hr) && hr != HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) &&
                hr != HRESULT_FROM_WIN32(ERROR_DIRECTORY))
                return hr;
    }
    return S_OK;
}

bool root_record::only_shells_below(std::wstring_view relative) const
{
    for (const auto& name : list_names(full_path(relative))) {
        const std::wstring child = std::wstring(relative) + L"\\" + name;
        const recorded_item* recorded = item(child);
        item_look look;
        DWORD error;
        if (!recorded || !stat_item(full_path(child), look, error) ||
            observe(recorded, &look).what != condition::virtual_item)
            return false;
        if (look.directory() && !only_shells_below(child))
            return false;
    }
    return true;
}

HRESULT root_record::remove_tree(std::wstring_view relative, const item_look& look)
{
    if (look.directory()) {
        for (const auto& name : list_names(full_path(relative))) {
            const std::wstring child = std::wstring(relative) + L"\\" + name;
            item_look child_look;
            DWORD error;
            if (!stat_item(full_path(child), child_look, error))
                return HRESULT_FROM_WIN32(error);
            if (HRESULT hr = remove_tree(child, child_look); FAILED(hr))
                return hr;
        }
    }
    if (!remove_item(full_path(relative), look))
        return last_error();
    if (HRESULT hr = erase_below(relative); FAILED(hr))
        return hr;
    return erase(relative);
}

HRESULT root_record::forget_missing_below(std::wstring_view relative)
{
    const std::wstring prefix = fold_case(relative) + L"\\";
    std::vector<std::wstring> missing;
    for (const auto& [key, value] : items_) {
        item_look look;
        DWORD error;
        if (key.starts_with(prefix) && !stat_item(full_path(value.path), look, error))
            missing.push_back(value.path);
    }
    for (const auto& path : missing)
        if (HRESULT hr = erase(path); FAILED(hr))
            return hr;
    return S_OK;
}

HRESULT root_record::write_placeholder(std::wstring_view relative, const PRJ_FILE_BASIC_INFO& info)
{
    if (relative.empty())
        return E_INVALIDARG;
    lock held(*this);
    if (HRESULT hr = current_marked(); FAILED(hr))
        return hr;
    return write_placeholder_locked(relative, info);
}

HRESULT root_record::write_placeholder_locked(std::wstring_view relative, const PRJ_FILE_BASIC_INFO& info)
{
    // Written anew, it is the provider's item at this path.
    if (HRESULT hr = forget_origins(relative); FAILED(hr))
        return hr;
    const std::wstring path = full_path(relative);
    const parent_state parent = note_parent(relative);
    item_look now;
    DWORD error = 0;
    HRESULT hr = S_OK;
    if (stat_item(path, now, error)) {
        // Only a shell as left gives way to the placeholder.
        const recorded_item* recorded = item(relative);
        if (!recorded || observe(recorded, &now).what != condition::virtual_item)
            return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
        if (now.directory() && info.IsDirectory) {
            // A directory keeps the shells in it.
            item_look restamped;
            hr = restamp_directory(path, info, restamped);
            if (SUCCEEDED(hr))
                hr = put(relative, recorded_item{recorded_kind::placeholder, restamped});
            HRESULT kept = restore_parent(parent);
            return FAILED(hr) ? hr : kept;
        }
        hr = remove_tree(relative, now);
    } else if (error != ERROR_FILE_NOT_FOUND) {
        return HRESULT_FROM_WIN32(error);
    }
    if (SUCCEEDED(hr))
        hr = make_item_as(relative, info, recorded_kind::placeholder);
    HRESULT kept = restore_parent(parent);
    return FAILED(hr) ? hr : kept;
}

HRESULT root_record::make_shell(std::wstring_view relative, const PRJ_FILE_BASIC_INFO& projected)
{
    if (relative.empty())
        return E_INVALIDARG;
    lock held(*this);
    if (HRESULT hr = current_marked(); FAILED(hr))
        return hr;
    return make_shell_locked(relative, projected);
}

HRESULT root_record::make_shell_locked(std::wstring_view relative, const PRJ_FILE_BASIC_INFO& projected)
{
    // Making it is what finds an item in the way: under Wine every lookup of a name that is not
    // there reads the whole directory, and a provider's directory may hold very many shells.
    HRESULT hr = make_item_as(relative, projected, recorded_kind::virtual_item);
    if (hr == HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS) || hr == HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) {
        item_look now;
        DWORD error = 0;
        if (stat_item(full_path(relative), now, error))
            return HRESULT_FROM_WIN32(ERROR_FILE_EXISTS);
    }
    return hr;
}

HRESULT root_record::make_item_as(std::wstring_view relative, const PRJ_FILE_BASIC_INFO& info, recorded_kind kind)
{
    const parent_state parent = note_parent(relative);
    item_look made;
    HRESULT hr = make_item(full_path(relative), info, made);
    if (SUCCEEDED(hr))
        hr = put(relative, recorded_item{kind, made});
    HRESULT kept = restore_parent(parent);
    return FAILED(hr) ? hr : kept;
}

HRESULT root_record::adopt_directory(std::wstring_view relative)
{
    lock held(*this);
    if (HRESULT hr = current_marked(); FAILED(hr))
        return hr;
    item_look now;
    DWORD error;
    if (!stat_item(full_path(relative), now, error))
        return HRESULT_FROM_WIN32(error);
    if (!now.directory())
        return HRESULT_FROM_WIN32(ERROR_DIRECTORY);
    return put(relative, recorded_item{recorded_kind::placeholder, now});
}

HRESULT root_record::mark_hydrated(std::wstring_view relative)
{
    lock held(*this);
    if (HRESULT hr = current(); FAILED(hr))
        return hr;
    const recorded_item* recorded = marked_ ? item(relative) : nullptr;
    if (!recorded || recorded->kind == recorded_kind::virtual_item || recorded->look.directory())
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    item_look now;
    DWORD error;
    if (!stat_item(full_path(relative), now, error))
        return HRESULT_FROM_WIN32(error);
    return put(relative, recorded_item{recorded_kind::hydrated_placeholder, now});
}

HRESULT root_record::hydrated(std::wstring_view relative)
{
    lock held(*this);
    if (HRESULT hr = current_marked(); FAILED(hr))
        return hr;
    const recorded_item* recorded = item(relative);
    if (!recorded || recorded->kind == recorded_kind::virtual_item || recorded->look.directory())
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    if (HRESULT hr = forget_origins(relative); FAILED(hr))  // the data is there now
        return hr;
    if (recorded->kind == recorded_kind::hydrated_placeholder)
        return S_OK;
    const item_look look = recorded->look;
    return put(relative, recorded_item{recorded_kind::hydrated_placeholder, look});
}

HRESULT root_record::moved(std::wstring_view from, std::wstring_view to)
{
    if (from.empty() || to.empty())
        return E_INVALIDARG;
    lock held(*this);
    if (HRESULT hr = current_marked(); FAILED(hr))
        return hr;
    const std::wstring key = fold_case(from);
    const std::wstring prefix = key + L"\\";
    std::vector<std::pair<std::wstring, recorded_item>> copies;
    for (const auto& [folded, value] : items_) {
        if (folded == key)
            copies.emplace_back(std::wstring(to), value.item);
        else if (folded.starts_with(prefix))
            copies.emplace_back(std::wstring(to) + value.path.substr(from.size()), value.item);
    }
    for (const auto& [path, recorded] : copies)
        if (HRESULT hr = put(path, recorded); FAILED(hr))
            return hr;
    // A placeholder file without its data still asks for it under the path it was written at.
    std::vector<std::pair<std::wstring, std::wstring>> origins;
    for (const auto& [path, recorded] : copies) {
        if (recorded.kind != recorded_kind::placeholder || recorded.look.directory())
            continue;
        const std::wstring old_path = std::wstring(from) + path.substr(to.size());
        auto known = origins_.find(fold_case(old_path));
        origins.emplace_back(path, known == origins_.end() ? old_path : known->second);
    }
    for (const auto& [path, origin] : origins)
        if (HRESULT hr = set_origin(path, origin); FAILED(hr))
            return hr;
    return S_OK;
}

std::vector<std::pair<std::wstring, recorded_item>> root_record::children(std::wstring_view relative)
{
    std::vector<std::pair<std::wstring, recorded_item>> found;
    lock held(*this);
    if (FAILED(current()) || !marked_)
        return found;
    const std::wstring prefix = relative.empty() ? std::wstring() : fold_case(relative) + L"\\";
    for (const auto& [folded, value] : items_)
        if (folded.size() > prefix.size() && folded.starts_with(prefix) &&
            folded.find(L'\\', prefix.size()) == std::wstring::npos)
            found.emplace_back(value.path.substr(prefix.size()), value.item);
    return found;
}

std::wstring root_record::key() const
{
    return key_of(root_path_);
}

} // namespace projfs::emulation
