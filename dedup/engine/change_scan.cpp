#include <dedup/engine/change_scan.h>

#include <dedup/engine/root_folder.h>

#include <platform/projfs/availability.h>

#include <algorithm>
#include <set>
#include <utility>

namespace dedup {
namespace {

class system_calls final : public change_scan_calls {
public:
    HRESULT on_disk_state(const std::wstring& path, PRJ_FILE_STATE& state) const override
    {
        // Without the feature the delay-loaded import would end the process.
        if (!projfs::available())
            return HRESULT_FROM_WIN32(ERROR_FILE_SYSTEM_VIRTUALIZATION_UNAVAILABLE);
        return PrjGetOnDiskFileState(path.c_str(), &state);
    }
};

struct listed_entry {
    std::wstring name;
    std::uint64_t size = 0;
    bool folder = false;
    bool link = false;
};

// A reparse point that names another item. With FILE_ATTRIBUTE_REPARSE_POINT set, a directory
// listing carries the reparse tag in the place of the extended-attribute size. A tag of 0 is one the
// file system did not report (Wine lists Unix symbolic links so); since following a link is what
// must not happen, such an item counts as a link too.
bool is_link(const FILE_FULL_DIR_INFO& entry) noexcept
{
    if (!(entry.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    return entry.EaSize == 0 || IsReparseTagNameSurrogate(entry.EaSize);
}

// One folder of the walk: its entries as listed, and how far the walk got through them.
struct folder_frame {
    std::wstring full_path;
    std::wstring relative_path;
    std::shared_ptr<impl::folder_t> stored;  // the tree's folder at relative_path, or null
    bool tombstone = false;                  // recorded as deleted: its stored children go too
    bool listed = false;                     // opened and read to its end
    std::vector<listed_entry> entries;
    std::size_t next = 0;
};

folder_frame open_frame(scan_state& state, std::wstring full_path, std::wstring relative_path,
                        std::shared_ptr<impl::folder_t> stored, bool tombstone)
{
    folder_frame frame;
    frame.full_path = std::move(full_path);
    frame.relative_path = std::move(relative_path);
    frame.stored = std::move(stored);
    frame.tombstone = tombstone;
    directory_reader reader;
    reader.open(frame.full_path.c_str(), state.pool);
    for (const auto* entry = reader.current(); entry; entry = reader.next() ? reader.current() : nullptr) {
        const std::wstring_view name = directory_reader::name(*entry);
        if (name == L"." || name == L"..")
            continue;
        frame.entries.push_back({std::wstring(name), static_cast<std::uint64_t>(entry->EndOfFile.QuadPart),
                                 (entry->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, is_link(*entry)});
    }
    frame.listed = reader.error() == ERROR_SUCCESS;
    // Closed before anything is done with the entries: one folder handle open at a time.
    reader.close();
    return frame;
}

std::wstring child_path(const std::wstring& parent, const std::wstring& name)
{
    return parent.empty() ? name : parent + L'\\' + name;
}

// Step after the walks of all of a folder's subfolders: stored children with nothing of their name
// on disk are deleted.
void finish_folder(optimize_context& context, scan_state& state, const folder_frame& frame)
{
    if (!frame.listed && !frame.tombstone) {
        context.skipped.push_back({frame.relative_path, skip_reason::unreadable_folder});
        context.keep_stored_items = true;
        return;
    }
    if (context.converting)
        return;
    std::set<std::wstring, projfs::file_name_less> on_disk;
    for (const auto& entry : frame.entries)
        on_disk.insert(entry.name);
    for (auto& [name, node] : list_tree_entries(context.tree, frame.relative_path)) {
        if (on_disk.contains(name))
            continue;
        auto& deleted = node->is_folder() ? state.deleted_folders : state.deleted_files;
        deleted.push_back(child_path(frame.relative_path, name));
    }
}

} // namespace

const change_scan_calls& system_change_scan_calls() noexcept
{
    static const system_calls calls;
    return calls;
}

std::vector<tree_entry> list_tree_entries(const std::shared_ptr<impl::folder_t>& tree, std::wstring_view relative_path)
{
    std::vector<tree_entry> entries;
    if (!tree)
        return entries;
    auto found = impl::folder_t::find_path(tree, relative_path);
    if (!found || !found->item->is_folder())
        return entries;
    const auto& folder = static_cast<const impl::folder_t&>(*found->item);
    entries.reserve(folder.children.size());
    for (const auto& [name, node] : folder.children)
        entries.push_back({name, node});
    return entries;
}

void scan_folder(optimize_context& context, scan_state& state, const std::wstring& full_path,
                 const std::wstring& relative_path, const change_scan_calls& calls)
{
    std::shared_ptr<impl::folder_t> stored;
    if (context.tree) {
        if (auto found = impl::folder_t::find_path(context.tree, relative_path); found && found->item->is_folder())
            stored = std::static_pointer_cast<impl::folder_t>(found->item);
    }
    std::vector<folder_frame> stack;
    stack.push_back(open_frame(state, full_path, relative_path, std::move(stored), false));

    while (!stack.empty()) {
        folder_frame& frame = stack.back();
        if (frame.next == frame.entries.size()) {
            finish_folder(context, state, frame);
            stack.pop_back();
            continue;
        }
        const listed_entry& entry = frame.entries[frame.next++];
        std::wstring child_full = frame.full_path + L'\\' + entry.name;
        std::wstring child_relative = child_path(frame.relative_path, entry.name);
        if (entry.link) {
            context.skipped.push_back({std::move(child_relative), skip_reason::link});
            continue;
        }
        std::shared_ptr<impl::file_t> stored_child = frame.stored ? frame.stored->find_child(entry.name) : nullptr;

        if (entry.folder) {
            std::shared_ptr<impl::folder_t> stored_folder;
            if (stored_child && stored_child->is_folder())
                stored_folder = std::static_pointer_cast<impl::folder_t>(stored_child);
            bool tombstone = false;
            if (context.converting) {
                state.new_folders.push_back({child_relative, 0});
            } else {
                PRJ_FILE_STATE on_disk = PRJ_FILE_STATE(0);
                if (FAILED(calls.on_disk_state(child_full, on_disk))) {
                    // Not knowing what it is, the scan cannot tell a moved placeholder folder apart.
                    if (!stored_folder)
                        context.keep_stored_items = true;
                } else if (on_disk == PRJ_FILE_STATE_FULL) {
                    state.new_folders.push_back({child_relative, 0});
                } else if (on_disk == PRJ_FILE_STATE_TOMBSTONE) {
                    state.deleted_folders.push_back(child_relative);
                    tombstone = true;
                } else if ((on_disk & PRJ_FILE_STATE_PLACEHOLDER) && !stored_folder) {
                    state.new_folders.push_back({child_relative, change_flags::relocated});
                }
            }
            // `frame` dangles once the stack grows.
            stack.push_back(open_frame(state, std::move(child_full), std::move(child_relative),
                                       std::move(stored_folder), tombstone));
            continue;
        }

        if (context.converting) {
            state.new_files.push_back({std::move(child_relative), entry.size, 0});
            continue;
        }
        const bool stored_file = stored_child && !stored_child->is_folder();
        PRJ_FILE_STATE on_disk = PRJ_FILE_STATE(0);
        if (FAILED(calls.on_disk_state(child_full, on_disk))) {
            if (!stored_file)
                context.keep_stored_items = true;
        } else if (on_disk == PRJ_FILE_STATE_FULL) {
            state.new_files.push_back({std::move(child_relative), entry.size, 0});
        } else if (on_disk == PRJ_FILE_STATE_TOMBSTONE) {
            state.deleted_files.push_back(std::move(child_relative));
        } else if (on_disk & PRJ_FILE_STATE_PLACEHOLDER) {
            if (stored_file)
                state.placeholders.push_back({std::move(child_relative), entry.size, std::uint32_t(on_disk)});
            else
                state.new_files.push_back({std::move(child_relative), entry.size, change_flags::relocated});
        }
    }
}

file_type_key file_type_key_of(std::wstring_view path)
{
    const std::size_t separator = path.rfind(L'\\');
    const std::wstring_view component = separator == std::wstring_view::npos ? path : path.substr(separator + 1);
    const std::size_t end = std::min(component.find(L':'), component.size());
    const std::wstring_view head = component.substr(0, end);
    std::size_t dot = head.rfind(L'.');
    if (component.size() == 1 || component == L"." || component == L".." || dot == 0)
        dot = std::wstring_view::npos;
    if (dot == std::wstring_view::npos)
        return {std::wstring(), std::wstring(component)};
    std::wstring stem(component.substr(0, dot));
    stem.append(component.substr(end));
    return {std::wstring(head.substr(dot)), std::move(stem)};
}

change_list scan_changes(optimize_context& context, const change_scan_calls& calls)
{
    scan_state state;
    scan_folder(context, state, context.root->folder_path(), std::wstring(), calls);

    // Keys made once: the sort compares each file many times.
    std::vector<std::pair<file_type_key, scan_state::new_file*>> new_files;
    new_files.reserve(state.new_files.size());
    for (auto& file : state.new_files)
        new_files.emplace_back(file_type_key_of(file.path), &file);
    std::stable_sort(new_files.begin(), new_files.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });

    change_list changes;
    changes.reserve(state.new_folders.size() + state.placeholders.size() + state.new_files.size() +
                    state.deleted_files.size() + state.deleted_folders.size());
    for (auto& folder : state.new_folders)
        changes.push_back({std::move(folder.path), 1, change_kind::added, change_flags::folder | folder.flags});
    for (auto& placeholder : state.placeholders)
        changes.push_back({std::move(placeholder.path), placeholder.size, change_kind::placeholder,
                           placeholder.state & change_flags::placeholder_state});
    for (auto& [key, file] : new_files)
        changes.push_back({std::move(file->path), file->size, change_kind::added, file->flags});
    for (auto& path : state.deleted_files)
        changes.push_back({std::move(path), 1, change_kind::deleted, 0});
    for (auto& path : state.deleted_folders)
        changes.push_back({std::move(path), 1, change_kind::deleted, change_flags::folder});
    return changes;
}

} // namespace dedup
