#include <platform/ktm/emulated_transactions.h>
#include <platform/ktm/key_tree.h>

#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace platform::ktm {

namespace {

void write_key(HKEY key, const key_tree& image)
{
    for (const auto& v : image.values)
        RegSetValueExW(key, v.name.c_str(), 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size()));
    for (const auto& [name, child] : image.subkeys) {
        HKEY sub = nullptr;
        if (RegCreateKeyExW(key, name.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &sub, nullptr) == ERROR_SUCCESS) {
            write_key(sub, child);
            RegCloseKey(sub);
        }
    }
}

std::vector<char> read_bytes(const std::wstring& path, bool& ok)
{
    std::vector<char> bytes;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ok = h != INVALID_HANDLE_VALUE;
    if (!ok)
        return bytes;
    char buffer[65536];
    DWORD n = 0;
    while (ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0)
        bytes.insert(bytes.end(), buffer, buffer + n);
    CloseHandle(h);
    return bytes;
}

void write_bytes(const std::wstring& path, const std::vector<char>& bytes)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return;
    DWORD n = 0;
    if (!bytes.empty())
        WriteFile(h, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr);
    CloseHandle(h);
}

// Removes whatever is at `path` now: a file, or a directory with everything in it.
void clear_path(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        DeleteFileW(path.c_str());
        return;
    }
    if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((path + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = data.cFileName;
                if (name != L"." && name != L"..")
                    clear_path(path + L"\\" + name);
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
    }
    RemoveDirectoryW(path.c_str());
}

} // namespace

struct emulated_transactions::journal {
    struct path_image {
        std::wstring path;
        DWORD attributes = INVALID_FILE_ATTRIBUTES; // INVALID: nothing was there
        std::vector<char> bytes;
    };
    struct key_snapshot {
        HKEY root;
        std::wstring path;
        bool existed = false;
        key_tree image;
    };
    // One entry per change in order; restored from the back.
    struct entry {
        bool is_key = false;
        path_image path;
        key_snapshot key;
    };
    std::vector<entry> entries;
    std::set<std::wstring> paths_seen; // upper-cased
    std::set<std::pair<HKEY, std::wstring>> keys_seen;
    std::set<HKEY> keys_open;
    bool committed = false;

    void note_path(const std::wstring& path)
    {
        std::wstring folded = path;
        CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
        if (!paths_seen.insert(folded).second)
            return;
        entry e;
        e.path.path = path;
        e.path.attributes = GetFileAttributesW(path.c_str());
        if (e.path.attributes != INVALID_FILE_ATTRIBUTES && !(e.path.attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            bool ok = false;
            e.path.bytes = read_bytes(path, ok);
        }
        entries.push_back(std::move(e));
    }

    void note_key(HKEY root, const std::wstring& path)
    {
        std::wstring folded = path;
        CharUpperBuffW(folded.data(), static_cast<DWORD>(folded.size()));
        if (keys_seen.contains({root, folded}))
            return;
        // Creating a key creates its missing parents too: the highest missing one is journaled as
        // absent, so that a rollback removes it with everything below.
        for (std::size_t slash = path.find(L'\\'); slash != std::wstring::npos; slash = path.find(L'\\', slash + 1)) {
            HKEY parent = nullptr;
            std::wstring prefix = path.substr(0, slash);
            if (RegOpenKeyExW(root, prefix.c_str(), 0, KEY_READ, &parent) != ERROR_SUCCESS) {
                note_key(root, prefix);
                break;
            }
            RegCloseKey(parent);
        }
        keys_seen.insert({root, folded});
        entry e;
        e.is_key = true;
        e.key.root = root;
        e.key.path = path;
        HKEY key = nullptr;
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) == ERROR_SUCCESS) {
            e.key.existed = true;
            read_key_tree(key, e.key.image);
            RegCloseKey(key);
        }
        entries.push_back(std::move(e));
    }
};

emulated_transactions::emulated_transactions() = default;

emulated_transactions::~emulated_transactions()
{
    for (auto& [handle, j] : open_) {
        if (!j->committed)
            restore(*j);
        CloseHandle(handle);
    }
}

emulated_transactions::journal* emulated_transactions::find(HANDLE transaction)
{
    auto it = open_.find(transaction);
    return it == open_.end() ? nullptr : it->second.get();
}

bool emulated_transactions::next_call()
{
    if (++calls_ == fail_at_) {
        SetLastError(fail_error_);
        return false;
    }
    return true;
}

void emulated_transactions::restore(journal& j)
{
    ++rollbacks_;
    for (auto it = j.entries.rbegin(); it != j.entries.rend(); ++it) {
        if (it->is_key) {
            const auto& k = it->key;
            RegDeleteTreeW(k.root, k.path.c_str());
            RegDeleteKeyW(k.root, k.path.c_str());
            if (k.existed) {
                HKEY key = nullptr;
                if (RegCreateKeyExW(k.root, k.path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr)
                    == ERROR_SUCCESS) {
                    write_key(key, k.image);
                    RegCloseKey(key);
                }
            }
            continue;
        }
        const auto& p = it->path;
        DWORD now = GetFileAttributesW(p.path.c_str());
        // A directory that was there and still is keeps what is in it: its entries are journaled
        // on their own.
        if (!(now != INVALID_FILE_ATTRIBUTES && p.attributes != INVALID_FILE_ATTRIBUTES
              && (now & p.attributes & FILE_ATTRIBUTE_DIRECTORY)))
            clear_path(p.path);
        if (p.attributes == INVALID_FILE_ATTRIBUTES)
            continue;
        if (p.attributes & FILE_ATTRIBUTE_DIRECTORY)
            CreateDirectoryW(p.path.c_str(), nullptr);
        else
            write_bytes(p.path, p.bytes);
        SetFileAttributesW(p.path.c_str(), p.attributes);
    }
    j.entries.clear();
    j.paths_seen.clear();
    j.keys_seen.clear();
}

HANDLE emulated_transactions::create_transaction(const wchar_t*)
{
    // A real handle, so that it passes every check a real transaction handle passes.
    HANDLE h = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (!h)
        return nullptr;
    open_.emplace(h, std::make_unique<journal>());
    ++created_;
    return h;
}

BOOL emulated_transactions::commit_transaction(HANDLE transaction)
{
    journal* j = find(transaction);
    if (!j || j->committed) {
        SetLastError(error_transaction_not_active);
        return FALSE;
    }
    if (fail_commit_) {
        restore(*j);
        j->committed = true; // nothing left to undo on close
        SetLastError(error_transaction_not_active);
        return FALSE;
    }
    j->committed = true;
    j->entries.clear();
    return TRUE;
}

BOOL emulated_transactions::rollback_transaction(HANDLE transaction)
{
    journal* j = find(transaction);
    if (!j || j->committed) {
        SetLastError(error_transaction_not_active);
        return FALSE;
    }
    restore(*j);
    j->committed = true;
    return TRUE;
}

void emulated_transactions::close_transaction(HANDLE transaction)
{
    auto it = open_.find(transaction);
    if (it == open_.end())
        return;
    if (!it->second->committed)
        restore(*it->second);
    open_.erase(it);
    CloseHandle(transaction);
}

#define EMULATED_PATH_CALL(paths, plain)                                                                               \
    do {                                                                                                               \
        journal* j = find(transaction);                                                                                \
        if (!j)                                                                                                        \
            return plain;                                                                                              \
        if (!next_call())                                                                                              \
            return FALSE;                                                                                              \
        for (const std::wstring* p : paths)                                                                            \
            j->note_path(*p);                                                                                          \
        return plain;                                                                                                  \
    } while (false)

BOOL emulated_transactions::create_directory(const std::wstring& path, HANDLE transaction)
{
    EMULATED_PATH_CALL({&path}, CreateDirectoryW(path.c_str(), nullptr));
}

BOOL emulated_transactions::remove_directory(const std::wstring& path, HANDLE transaction)
{
    EMULATED_PATH_CALL({&path}, RemoveDirectoryW(path.c_str()));
}

BOOL emulated_transactions::delete_file(const std::wstring& path, HANDLE transaction)
{
    EMULATED_PATH_CALL({&path}, DeleteFileW(path.c_str()));
}

BOOL emulated_transactions::copy_file(const std::wstring& source, const std::wstring& destination, HANDLE transaction)
{
    EMULATED_PATH_CALL({&destination},
                       CopyFileExW(source.c_str(), destination.c_str(), nullptr, nullptr, nullptr, 0));
}

BOOL emulated_transactions::create_hard_link(const std::wstring& link, const std::wstring& existing, HANDLE transaction)
{
    EMULATED_PATH_CALL({&link}, CreateHardLinkW(link.c_str(), existing.c_str(), nullptr));
}

BOOL emulated_transactions::set_attributes(const std::wstring& path, DWORD attributes, HANDLE transaction)
{
    EMULATED_PATH_CALL({&path}, SetFileAttributesW(path.c_str(), attributes));
}

#undef EMULATED_PATH_CALL

DWORD emulated_transactions::get_attributes(const std::wstring& path, HANDLE)
{
    return GetFileAttributesW(path.c_str());
}

HANDLE emulated_transactions::find_first(const std::wstring& pattern, WIN32_FIND_DATAW* data, HANDLE)
{
    return FindFirstFileExW(pattern.c_str(), FindExInfoStandard, data, FindExSearchNameMatch, nullptr, 0);
}

BOOL emulated_transactions::find_next(HANDLE find, WIN32_FIND_DATAW* data)
{
    return FindNextFileW(find, data);
}

LSTATUS emulated_transactions::reg_create_key(HKEY root, const std::wstring& path, REGSAM access, HKEY* key,
                                              HANDLE transaction)
{
    journal* j = find(transaction);
    if (j) {
        if (!next_call())
            return static_cast<LSTATUS>(fail_error_);
        j->note_key(root, path);
    }
    LSTATUS s = RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, key, nullptr);
    if (j && s == ERROR_SUCCESS)
        j->keys_open.insert(*key);
    return s;
}

LSTATUS emulated_transactions::reg_open_key(HKEY root, const std::wstring& path, REGSAM access, HKEY* key,
                                            HANDLE transaction)
{
    journal* j = find(transaction);
    if (j) {
        if (!next_call())
            return static_cast<LSTATUS>(fail_error_);
        j->note_key(root, path);
    }
    LSTATUS s = RegOpenKeyExW(root, path.c_str(), 0, access, key);
    if (j && s == ERROR_SUCCESS)
        j->keys_open.insert(*key);
    return s;
}

LSTATUS emulated_transactions::reg_delete_key(HKEY root, const std::wstring& path, REGSAM view, HANDLE transaction)
{
    journal* j = find(transaction);
    if (j) {
        if (!next_call())
            return static_cast<LSTATUS>(fail_error_);
        j->note_key(root, path);
    }
    return RegDeleteKeyExW(root, path.c_str(), view, 0);
}

LSTATUS emulated_transactions::reg_set_value(HKEY key, const std::wstring& name, DWORD type, const void* data, DWORD size)
{
    // A key opened inside a transaction was journaled when it was opened; only the call is counted.
    for (auto& [h, j] : open_)
        if (!j->committed && j->keys_open.contains(key) && !next_call())
            return static_cast<LSTATUS>(fail_error_);
    return RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
}

LSTATUS emulated_transactions::reg_delete_tree(HKEY key)
{
    for (auto& [h, j] : open_)
        if (!j->committed && j->keys_open.contains(key) && !next_call())
            return static_cast<LSTATUS>(fail_error_);
    return RegDeleteTreeW(key, nullptr);
}

LSTATUS emulated_transactions::reg_delete_value(HKEY key, const std::wstring& name)
{
    for (auto& [h, j] : open_)
        if (!j->committed && j->keys_open.contains(key) && !next_call())
            return static_cast<LSTATUS>(fail_error_);
    return RegDeleteValueW(key, name.c_str());
}

} // namespace platform::ktm
