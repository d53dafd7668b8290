#pragma once
// The emulation's record of one virtualization root: the root's marker (instance id) and, for each
// item the emulation has written or handed back, what it recorded (item_state.h).
//
// Virtual items: an item the provider projects has a shell on disk (item_state.h), recorded as
// virtual, so that a listing by any program (the store's own change scan included) shows it; an
// item the scan does not see counts as deleted. PrjDeleteFile leaves a shell where it makes an item
// virtual again; the state query turns a shell into a placeholder, as an open does on the platform.
//
// Where: one file per root in "%LOCALAPPDATA%\ProjFS emulation", named by a hash of the root's
// full path folded to upper case. It lives outside the root because the root is emptied when a
// deduplicated folder is removed, and because everything inside the root is what applications
// (and the store's own change scan) see.
//
// Sharing: the provider's process, the command-line client and any test read and change the same
// record. Every operation runs under a named mutex of the root ("Local\projfs-emulation-<hash>")
// and first brings the process's copy up to date, so operations are atomic across processes.
//
// Format: a header that carries the mark, then an append-only log of what is recorded for each
// item (record_log.h). Each process replays the log into its own copy and appends its changes.
//
// A record goes stale when its directory is removed and another made under the same path; the
// emulation notices that when the root is missing or has another file index at the first use in a
// process (Wine reuses file indexes, so a directory removed and made again between two uses of a
// process is the one case it misses), and then treats the root as unmarked.

#include <platform/projfs/emulation/item_state.h>
#include <platform/projfs/emulation/record_log.h>

#include <tavik/unique_handle.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace projfs::emulation {

// What the provider projects, asked the way the platform asks it: the provider's side of the
// emulation answers from the provider's placeholder-information callback. Where nobody can be asked
// (a null projection), the emulation goes by what it recorded.
class projection {
public:
    // The provider's placeholder information for `relative`, or none when it projects no such item.
    virtual std::optional<PRJ_FILE_BASIC_INFO> placeholder_info(std::wstring_view relative) = 0;

protected:
    ~projection() = default;
};

// The placeholder information that describes a recorded or observed look.
PRJ_FILE_BASIC_INFO basic_info_of(const item_look& look) noexcept;

class root_record {
public:
    root_record(const root_record&) = delete;
    root_record& operator=(const root_record&) = delete;

    // Marks the existing directory `root_path` as a virtualization root under `id`. The same id
    // again changes nothing; another id starts an empty record (a folder whose earlier record
    // outlived its store). Fails with the error of a missing path, or ERROR_DIRECTORY.
    static HRESULT mark(std::wstring_view root_path, const GUID& id);

    // The record of the marked root `root_path`, or null when it is not marked.
    static std::shared_ptr<root_record> open(std::wstring_view root_path);

    struct location {
        std::shared_ptr<root_record> root;
        std::wstring relative;  // below the root, components joined by '\'; empty for the root
    };
    // The marked root that holds `path` (absolute; the root itself counts), or none.
    static std::optional<location> locate(std::wstring_view path);

    // Where the record of the root `root_path` lives, marked or not; for tests and diagnostics.
    static std::wstring record_path(std::wstring_view root_path);

    // The full path of the root as it was marked, without a trailing separator.
    const std::wstring& root_path() const noexcept { return root_path_; }
    // The instance id of the mark; GUID_NULL when the root is no longer marked.
    GUID instance_id();

    // PrjGetOnDiskFileState of an item below the root. Like an open on the platform, it first turns
    // the shells on the item's path, from the top down, into placeholders: with the information of
    // `provider`, or without one as recorded (a shell the provider no longer projects is removed,
    // and the item is then not found).
    HRESULT query_state(std::wstring_view relative, PRJ_FILE_STATE& state, projection* provider = nullptr);

    // PrjDeleteFile: hands an item back to the provider, refusing the states `flags` do not allow
    // (causes set, HRESULT_FROM_WIN32(ERROR_FILE_SYSTEM_VIRTUALIZATION_INVALID_OPERATION)), and
    // fails with ERROR_FILE_NOT_FOUND on a virtual item (nothing of it is on disk), with
    // ERROR_DIR_NOT_EMPTY on a directory that holds more than shells.
    // The item becomes virtual again: a shell of what `provider` projects for it (no shell when it
    // projects nothing), or without one of what was recorded (a placeholder's projected size, times
    // and attributes; how an item that an application made or rewrote looks now, since the store
    // hands such an item back only after taking it in). A directory stays, with its shells.
    // A tombstone's record goes; the provider's item shows again as a shell where `provider`
    // still projects it, with what it projects of the items recorded below it. Without a provider
    // nothing is known of that, and nothing shows.
    HRESULT delete_item(std::wstring_view relative, PRJ_UPDATE_TYPES flags, PRJ_UPDATE_FAILURE_CAUSES& causes,
                        projection* provider = nullptr);

    // PrjWritePlaceholderInfo: makes the item on disk with the given metadata (a file of the given
    // size whose data is not there, or a directory) and records it as a clean placeholder. It takes
    // the place of a shell as left; anything else on disk there fails with ERROR_FILE_EXISTS.
    HRESULT write_placeholder(std::wstring_view relative, const PRJ_FILE_BASIC_INFO& info);

    // Makes the shell of a virtual item the provider projects with `projected` where nothing is on
    // disk (ERROR_FILE_EXISTS otherwise), and records it as virtual.
    HRESULT make_shell(std::wstring_view relative, const PRJ_FILE_BASIC_INFO& projected);

    // PrjMarkDirectoryAsPlaceholder of a directory below the root: records it, as it stands, as a
    // clean placeholder directory.
    HRESULT adopt_directory(std::wstring_view relative);

    // Records a placeholder file whose data has been written as hydrated, as it looks now.
    HRESULT mark_hydrated(std::wstring_view relative);

    // Records a placeholder file whose data the provider has just written as hydrated, keeping
    // the look recorded when it was written as a placeholder: metadata an application changed
    // before stays a change (a dirty placeholder stays dirty). Fails with ERROR_FILE_NOT_FOUND
    // where no placeholder file is recorded.
    HRESULT hydrated(std::wstring_view relative);

    // After an application moved the item `from` to `to` (below the same root): what is recorded
    // for it and below it is recorded under the new path too. The old path keeps its record, and
    // as nothing is there any more it is a tombstone, as the platform leaves one.
    HRESULT moved(std::wstring_view from, std::wstring_view to);

    // The path under which the placeholder file `relative` asks for its data: the path it was
    // written at when an application moved it (or a directory above it) since, else its own.
    // Writing it anew, handing it back and hydrating it end that.
    std::wstring data_path(std::wstring_view relative);

    // What the record holds for the items directly in the directory `relative`, by name as
    // written; the items need not be on disk (a tombstone is not).
    std::vector<std::pair<std::wstring, recorded_item>> children(std::wstring_view relative);

    // What the record holds for an item, for tests and diagnostics.
    std::optional<recorded_item> find(std::wstring_view relative);

    // The name that stands for the root in the names of the emulation's own objects (the record
    // file, its mutex, the pipe of the provider's process): a hash of the root's full path.
    std::wstring key() const;

private:
    class lock;
    struct entry_t {
        std::wstring path;  // as written, relative to the root
        recorded_item item;
    };

    root_record(std::wstring root_path, record_file file, tavik::unique_handle mutex);
    static std::shared_ptr<root_record> record_for(const std::wstring& root_path, bool create);

    HRESULT refresh();
    HRESULT write_header(const std::wstring& root_path, const GUID& id, std::uint64_t file_index);
    HRESULT put(std::wstring_view relative, const recorded_item& item);
    HRESULT erase(std::wstring_view relative);
    HRESULT erase_below(std::wstring_view relative);
    HRESULT set_origin(std::wstring_view relative, std::wstring_view origin);
    // Ends the origins of the item and of everything below it.
    HRESULT forget_origins(std::wstring_view relative);
    HRESULT append(record_log::operation operation, std::wstring_view relative, const recorded_item& item);
    HRESULT append_entry(const std::vector<std::byte>& entry);
    const recorded_item* item(std::wstring_view relative) const;
    std::wstring full_path(std::wstring_view relative) const;
    // The operations, under the lock and on a refreshed, marked record.
    HRESULT write_placeholder_locked(std::wstring_view relative, const PRJ_FILE_BASIC_INFO& info);
    HRESULT make_shell_locked(std::wstring_view relative, const PRJ_FILE_BASIC_INFO& projected);
    HRESULT make_item_as(std::wstring_view relative, const PRJ_FILE_BASIC_INFO& info, recorded_kind kind);
    HRESULT open_path(std::wstring_view relative, projection* provider);
    HRESULT remove_tombstone(std::wstring_view relative, projection* provider);
    // Removes the item, whose contents are all shells, and forgets everything recorded below it.
    HRESULT remove_tree(std::wstring_view relative, const item_look& look);
    bool only_shells_below(std::wstring_view relative) const;
    HRESULT forget_missing_below(std::wstring_view relative);
    // Treats the root as unmarked when its directory is gone or another one; checked at the first
    // use in a process and, with `again`, whenever a root is marked or opened by name.
    HRESULT check_identity(bool again = false);
    // Under the lock: the record read up to date and its root's identity checked (current), and
    // also the root marked as a virtualization root (current_marked).
    HRESULT current();
    HRESULT current_marked();
    // Keeps a clean placeholder directory clean when the emulation itself changes its contents.
    struct parent_state;
    parent_state note_parent(std::wstring_view relative);
    HRESULT restore_parent(const parent_state& parent);

    const std::wstring root_path_;
    record_file file_;
    tavik::unique_handle mutex_;  // one operation at a time across processes (the lock above)

    // Guarded by the mutex.
    bool loaded_ = false;
    bool marked_ = false;
    bool identity_checked_ = false;
    std::uint64_t generation_ = 0;
    std::uint64_t header_length_ = 0;
    std::uint64_t end_ = 0;        // end of the last complete entry
    std::uint64_t file_size_ = 0;  // as last seen
    GUID id_{};
    std::uint64_t file_index_ = 0;
    std::unordered_map<std::wstring, entry_t> items_;  // by relative path folded to upper case
    std::unordered_map<std::wstring, std::wstring> origins_;  // by folded path: the data path
};

// Upper-case folding used for every key of the emulation, consistent with the case-insensitive
// name comparison.
std::wstring fold_case(std::wstring_view text);

} // namespace projfs::emulation
