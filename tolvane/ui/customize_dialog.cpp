#include <tolvane/ui/customize_dialog.h>

#include <tolvane/component.h>
#include <tolvane/feature.h>
#include <tolvane/ui/dialog_ids.h>

#include <objbase.h>
#include <shlobj.h>
#include <shlwapi.h>
#include <shobjidl.h>
#include <uxtheme.h>
#include <vssym32.h>

namespace tolvane {

namespace {

using Ostrel::windows::impl::message_record;

template <int Id>
class customize_window : public Ostrel::windows::impl::dialog<customize_window<Id>, Id> {
public:
    explicit customize_window(customize_dialog& logic)
    {
        this->install([&logic](message_record& m) { return logic.handle(m); });
    }
};

std::wstring without_trailing_backslash(std::wstring text)
{
    if (!text.empty() && text.back() == L'\\')
        text.pop_back();
    return text;
}

bool is_ascii_letter(wchar_t c) { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

std::wstring default_pick_folder(HWND owner, const std::wstring& start)
{
    std::wstring result;
    const HRESULT init = CoInitialize(nullptr);
    IFileOpenDialog* dialog = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_ALL, IID_IFileOpenDialog,
                                   reinterpret_cast<void**>(&dialog)))) {
        FILEOPENDIALOGOPTIONS options = 0;
        dialog->GetOptions(&options);
        dialog->SetOptions(options | FOS_PICKFOLDERS | FOS_FORCEFILESYSTEM | FOS_NOVALIDATE);
        dialog->SetFileName(start.c_str());
        if (SUCCEEDED(dialog->Show(owner))) {
            IShellItem* item = nullptr;
            if (SUCCEEDED(dialog->GetResult(&item))) {
                SFGAOF attributes = 0;
                wchar_t* path = nullptr;
                if (SUCCEEDED(item->GetAttributes(SFGAO_FILESYSTEM, &attributes)) && (attributes & SFGAO_FILESYSTEM) &&
                    SUCCEEDED(item->GetDisplayName(SIGDN_FILESYSPATH, &path))) {
                    result = path;
                    CoTaskMemFree(path);
                }
                item->Release();
            }
        }
        dialog->Release();
    }
    if (SUCCEEDED(init))
        CoUninitialize();
    return result;
}

} // namespace

bool acceptable_install_folder(const std::wstring& text, const package& pkg,
                               const std::function<UINT(const std::wstring&)>& drive_type)
{
    if (text.size() < 4)
        return false;
    for (std::size_t i = 1; i + 1 < text.size(); ++i)
        if (text[i] == L'\\' && text[i + 1] == L'\\')
            return false;
    for (wchar_t c : text) {
        const UINT type = PathGetCharTypeW(c);
        if (type == GCT_INVALID || type == GCT_WILD)
            return false;
    }
    const bool drive_path = is_ascii_letter(text[0]) && text[1] == L':' && text[2] == L'\\';
    if (!drive_path)
        return PathIsNetworkPathW(text.c_str()) != FALSE;
    const std::size_t backslashes = static_cast<std::size_t>(std::count(text.begin(), text.end(), L'\\'));
    if (!(backslashes >= 2 || text.back() != L'\\'))
        return false;
    const std::wstring root = text.substr(0, 3);
    const UINT type = drive_type ? drive_type(root) : GetDriveTypeW(root.c_str());
    if (type == DRIVE_CDROM)
        return false;
    if (type == DRIVE_REMOVABLE && pkg.get_property(L"AllowRemovable", false).empty())
        return false;
    return true;
}

customize_dialog::customize_dialog(package& pkg, bool install_form, float horizontal_scale, customize_hooks hooks)
    : package_(pkg), install_form_(install_form), scale_(horizontal_scale), hooks_(std::move(hooks))
{
}

customize_dialog::~customize_dialog()
{
    if (browser_.joinable())
        browser_.join();
    if (images_)
        ImageList_Destroy(images_);
    if (feature_t* root = package_.root_feature())
        root->for_each([](feature_t& f) {
            f.tree_window = nullptr;
            f.tree_item = nullptr;
        });
}

INT_PTR customize_dialog::run(HWND owner)
{
    if (install_form_) {
        customize_window<IDD_TOLVANE_CUSTOMIZE_INSTALL> window(*this);
        return window.show_modal(owner);
    }
    customize_window<IDD_TOLVANE_CUSTOMIZE_MODIFY> window(*this);
    return window.show_modal(owner);
}

bool customize_dialog::admin() const
{
    return hooks_.is_user_admin ? hooks_.is_user_admin() : IsUserAnAdmin() != FALSE;
}

bool customize_dialog::handle(message_record& m)
{
    if (m.message == WM_INITDIALOG) {
        m.result = on_init(m.window) ? TRUE : FALSE;
        return true;
    }
    if (m.message == WM_NOTIFY)
        return on_notify(m);
    if (m.message == WM_CLOSE) {
        EndDialog(m.window, IDCANCEL);
        return true;
    }
    if (browse_completed_ && m.message == browse_completed_) {
        if (browser_.joinable())
            browser_.join();
        if (!browse_result_.empty())
            SetWindowTextW(folder_, browse_result_.c_str());
        EnableWindow(GetDlgItem(m.window, IDOK), TRUE);
        return true;
    }
    if (Ostrel::windows::impl::is_command(m))
        return on_command(m);
    return false;
}

bool customize_dialog::on_init(HWND window)
{
    window_handle_ = window;
    const setup_options& options = package_.options();
    if (install_form_) {
        folder_ = GetDlgItem(window, IDC_TOLVANE_FOLDER);
        SetWindowTextW(folder_, without_trailing_backslash(package_.get_property(L"INSTALLDIR", true)).c_str());
        feature_sets_ = GetDlgItem(window, IDC_TOLVANE_FEATURE_SETS);
        const auto sets = package_.feature_sets();
        auto add_line = [this](const std::wstring& text, LPARAM data) {
            const LRESULT at = SendMessageW(feature_sets_, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
            SendMessageW(feature_sets_, CB_SETITEMDATA, at, data);
        };
        for (std::size_t i = 0; i < sets.size(); ++i)
            add_line(sets[i].first, static_cast<LPARAM>(i));
        if (sets.empty())
            add_line(L"Default installation", -1);
        add_line(L"Custom", -2);
        SendMessageW(feature_sets_, CB_SETCURSEL, 0, 0);
        const int mode = options.portable ? IDC_TOLVANE_PORTABLE : options.mode == 1 ? IDC_TOLVANE_ALL_USERS : IDC_TOLVANE_ONLY_ME;
        for (int id : mode_ids_)
            CheckDlgButton(window, id, id == mode ? BST_CHECKED : BST_UNCHECKED);
        if (options.machine_forced) {
            EnableWindow(GetDlgItem(window, IDC_TOLVANE_ONLY_ME), FALSE);
            EnableWindow(GetDlgItem(window, IDC_TOLVANE_PORTABLE), FALSE);
            if (!admin())
                SendDlgItemMessageW(window, IDOK, BCM_SETSHIELD, 0, TRUE);
        }
    } else {
        installed_snapshot_ = snapshot(true);
        update_ok_for_modify();
        if (options.mode == 1 && !admin())
            SendDlgItemMessageW(window, IDOK, BCM_SETSHIELD, 0, TRUE);
    }
    tree_ = GetDlgItem(window, IDC_TOLVANE_FEATURES);
    SendMessageW(tree_, CCM_SETVERSION, 6, 0);
    make_images(window);
    if (feature_t* root = package_.root_feature()) {
        bool first = true;
        fill_tree(tree_, *root, TVI_ROOT, first);
    }
    show_description();
    show_total_space();
    return true;
}

void customize_dialog::make_images(HWND window)
{
    const int cx = GetSystemMetrics(SM_CXSMICON), cy = GetSystemMetrics(SM_CYSMICON);
    HDC screen = GetDC(nullptr);
    const bool deep = GetDeviceCaps(screen, BITSPIXEL) == 32;
    images_ = ImageList_Create(cx, cy, deep ? ILC_COLOR32 : (ILC_COLOR16 | ILC_MASK), 0, 1);
    HTHEME theme = OpenThemeData(window, L"BUTTON");
    const int states[4] = {CBS_UNCHECKEDNORMAL, CBS_CHECKEDNORMAL, CBS_UNCHECKEDDISABLED, CBS_CHECKEDDISABLED};
    const int side = static_cast<int>(14 * scale_);
    for (int state : states) {
        HDC dc = CreateCompatibleDC(screen);
        HBITMAP bitmap = CreateCompatibleBitmap(screen, cx, cy);
        HGDIOBJ old = SelectObject(dc, bitmap);
        RECT cell{0, 0, cx, cy};
        HBRUSH background = CreateSolidBrush(0x000B0BE6);
        FillRect(dc, &cell, background);
        DeleteObject(background);
        RECT box{(cx - side) / 2, (cy - side) / 2, (cx - side) / 2 + side, (cy - side) / 2 + side};
        if (theme)
            DrawThemeBackground(theme, dc, BP_CHECKBOX, state, &box, nullptr);
        else
            DrawFrameControl(dc, &box, DFC_BUTTON,
                             DFCS_BUTTONCHECK | (state == CBS_CHECKEDNORMAL || state == CBS_CHECKEDDISABLED ? DFCS_CHECKED : 0) |
                                 (state >= CBS_UNCHECKEDDISABLED ? DFCS_INACTIVE : 0));
        SelectObject(dc, old);
        ImageList_AddMasked(images_, bitmap, 0x000B0BE6);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    if (theme)
        CloseThemeData(theme);
    ReleaseDC(nullptr, screen);
    TreeView_SetImageList(tree_, images_, TVSIL_NORMAL);
}

namespace {
int image_of(const feature_t& f) { return (f.selected ? 1 : 0) + (f.required ? 2 : 0); }
} // namespace

void customize_dialog::fill_tree(HWND tree, feature_t& parent, HTREEITEM parent_item, bool& first)
{
    for (auto& child : parent.children) {
        TVINSERTSTRUCTW insert{};
        insert.hParent = parent_item;
        insert.hInsertAfter = TVI_LAST;
        insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM | TVIF_STATE;
        insert.item.pszText = const_cast<wchar_t*>(child->description.c_str());
        insert.item.iImage = insert.item.iSelectedImage = image_of(*child);
        insert.item.lParam = reinterpret_cast<LPARAM>(child.get());
        if (package_.options().type == install_type_update && !child->installed) {
            insert.item.state = TVIS_BOLD;
            insert.item.stateMask = TVIS_BOLD;
        }
        HTREEITEM item = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_INSERTITEMW, 0, reinterpret_cast<LPARAM>(&insert)));
        child->tree_window = tree;
        child->tree_item = item;
        if (first) {
            TreeView_SelectItem(tree, item);
            first = false;
        }
        fill_tree(tree, *child, item, first);
        TreeView_Expand(tree, item, TVE_EXPAND);
    }
}

void customize_dialog::show_description()
{
    std::wstring text;
    if (HTREEITEM item = TreeView_GetSelection(tree_)) {
        TVITEMW tv{};
        tv.mask = TVIF_PARAM;
        tv.hItem = item;
        if (TreeView_GetItem(tree_, &tv) && tv.lParam)
            text = reinterpret_cast<feature_t*>(tv.lParam)->description_text();
    }
    SetDlgItemTextW(window_handle_, IDC_TOLVANE_DESCRIPTION, text.c_str());
}

void customize_dialog::show_total_space()
{
    std::uint64_t total = package_.setup_files_size();
    if (feature_t* root = package_.root_feature()) {
        for (const component_t* c : root->components)
            total += c->size;
        for (auto& child : root->children)
            if (child->selected)
                total += child->space_required();
    }
    const std::wstring text = L"Total space required: " + format_byte_size(static_cast<std::int64_t>(total));
    SetDlgItemTextW(window_handle_, IDC_TOLVANE_TOTAL_SPACE, text.c_str());
}

std::vector<bool> customize_dialog::snapshot(bool installed) const
{
    std::vector<bool> bits;
    if (feature_t* root = package_.root_feature())
        root->for_each([&](feature_t& f) {
            if (&f != root)
                bits.push_back(installed ? f.installed : f.selected);
        });
    return bits;
}

void customize_dialog::update_ok_for_modify()
{
    EnableWindow(GetDlgItem(window_handle_, IDOK), snapshot(false) != installed_snapshot_);
}

void customize_dialog::toggle(HTREEITEM item)
{
    if (!item)
        return;
    TVITEMW tv{};
    tv.mask = TVIF_PARAM;
    tv.hItem = item;
    if (!TreeView_GetItem(tree_, &tv) || !tv.lParam)
        return;
    auto* feature = reinterpret_cast<feature_t*>(tv.lParam);
    feature->set_checked(-1, true);
    // The tree's images follow every feature the toggle reached (also required ones).
    if (feature_t* root = package_.root_feature())
        root->for_each([this](feature_t& f) {
            if (!f.tree_item)
                return;
            TVITEMW image{};
            image.mask = TVIF_IMAGE | TVIF_SELECTEDIMAGE;
            image.hItem = f.tree_item;
            image.iImage = image.iSelectedImage = image_of(f);
            TreeView_SetItem(tree_, &image);
        });
    show_description();
    if (install_form_)
        SendMessageW(feature_sets_, CB_SETCURSEL, SendMessageW(feature_sets_, CB_GETCOUNT, 0, 0) - 1, 0);
    show_total_space();
    if (!install_form_)
        update_ok_for_modify();
}

bool customize_dialog::on_notify(message_record& m)
{
    const auto* header = reinterpret_cast<const NMHDR*>(m.lparam);
    if (header->idFrom != IDC_TOLVANE_FEATURES)
        return false;
    switch (header->code) {
    case NM_CLICK: {
        const DWORD at = GetMessagePos();
        TVHITTESTINFO hit{};
        hit.pt = POINT{static_cast<short>(LOWORD(at)), static_cast<short>(HIWORD(at))};
        ScreenToClient(tree_, &hit.pt);
        HTREEITEM item = TreeView_HitTest(tree_, &hit);
        if (item && (hit.flags & TVHT_ONITEMICON))
            toggle(item);
        return true;
    }
    case TVN_KEYDOWN:
        if (reinterpret_cast<const NMTVKEYDOWN*>(m.lparam)->wVKey == VK_SPACE)
            toggle(TreeView_GetSelection(tree_));
        return true;
    case TVN_SELCHANGEDW:
        show_description();
        return true;
    case TVN_ITEMEXPANDINGW:
        // The tree stays fully expanded.
        m.result = (reinterpret_cast<const NMTREEVIEWW*>(m.lparam)->action & TVE_COLLAPSE) ? TRUE : FALSE;
        return true;
    default:
        return false;
    }
}

void customize_dialog::on_mode()
{
    int checked = 0;
    for (int id : mode_ids_)
        if (SendDlgItemMessageW(window_handle_, id, BM_GETCHECK, 0, 0) == BST_CHECKED)
            checked = id;
    const std::wstring user = without_trailing_backslash(package_.get_property(L"INSTALLDIR_USER", true));
    const std::wstring machine = without_trailing_backslash(package_.get_property(L"INSTALLDIR_MACHINE", true));
    wchar_t buffer[MAX_PATH * 4] = {};
    GetWindowTextW(folder_, buffer, static_cast<int>(std::size(buffer)));
    const std::wstring current = buffer;
    if (checked == IDC_TOLVANE_ALL_USERS) {
        SendDlgItemMessageW(window_handle_, IDOK, BCM_SETSHIELD, 0, admin() ? FALSE : TRUE);
        if (current == user)
            SetWindowTextW(folder_, machine.c_str());
    } else if (checked) {
        SendDlgItemMessageW(window_handle_, IDOK, BCM_SETSHIELD, 0, FALSE);
        if (current == machine)
            SetWindowTextW(folder_, user.c_str());
    }
}

void customize_dialog::on_folder_changed()
{
    wchar_t buffer[MAX_PATH * 4] = {};
    GetWindowTextW(folder_, buffer, static_cast<int>(std::size(buffer)));
    EnableWindow(GetDlgItem(window_handle_, IDOK), acceptable_install_folder(buffer, package_, hooks_.drive_type));
}

void customize_dialog::start_browse()
{
    if (browser_.joinable())
        return;
    EnableWindow(GetDlgItem(window_handle_, IDOK), FALSE);
    wchar_t buffer[MAX_PATH * 4] = {};
    GetWindowTextW(folder_, buffer, static_cast<int>(std::size(buffer)));
    std::wstring start = buffer;
    HWND window = window_handle_;
    browser_ = std::thread([this, start, window] {
        std::wstring result;
        try {
            result = hooks_.pick_folder ? hooks_.pick_folder(window, start) : default_pick_folder(window, start);
        } catch (...) {
            result.clear();
        }
        browse_result_ = std::move(result);
        // Always posted, so that the dialog never waits for a worker that failed.
        PostMessageW(window, browse_completed_, 0, 0);
    });
}

void customize_dialog::on_ok()
{
    if (install_form_) {
        wchar_t buffer[MAX_PATH * 4] = {};
        GetWindowTextW(folder_, buffer, static_cast<int>(std::size(buffer)));
        std::wstring folder = buffer;
        if (!folder.empty() && folder.back() != L'\\')
            folder += L'\\';
        package_.set_property(L"INSTALLDIR", folder);
        setup_options& options = package_.options();
        // The three choices are exclusive: a per-user or per-machine choice is not portable.
        if (IsDlgButtonChecked(window_handle_, IDC_TOLVANE_ONLY_ME) == BST_CHECKED) {
            options.mode = 0;
            options.portable = false;
        } else if (IsDlgButtonChecked(window_handle_, IDC_TOLVANE_ALL_USERS) == BST_CHECKED) {
            options.mode = 1;
            options.portable = false;
        } else if (IsDlgButtonChecked(window_handle_, IDC_TOLVANE_PORTABLE) == BST_CHECKED) {
            options.mode = 0;
            options.portable = true;
        }
    }
    EndDialog(window_handle_, IDOK);
}

bool customize_dialog::on_command(message_record& m)
{
    const int id = LOWORD(m.wparam);
    const int code = HIWORD(m.wparam);
    switch (id) {
    case IDOK:
        on_ok();
        break;
    case IDCANCEL:
        EndDialog(m.window, IDCANCEL);
        break;
    case IDC_TOLVANE_ONLY_ME:
    case IDC_TOLVANE_ALL_USERS:
    case IDC_TOLVANE_PORTABLE:
        if (!install_form_)
            return false;
        on_mode();
        break;
    case IDC_TOLVANE_FOLDER:
        if (!install_form_ || code != EN_CHANGE)
            return false;
        on_folder_changed();
        break;
    case IDC_TOLVANE_BROWSE:
        if (!install_form_)
            return false;
        start_browse();
        break;
    case IDC_TOLVANE_FEATURE_SETS: {
        if (!install_form_ || code != CBN_SELCHANGE)
            return false;
        const LRESULT at = SendMessageW(feature_sets_, CB_GETCURSEL, 0, 0);
        const LPARAM data = SendMessageW(feature_sets_, CB_GETITEMDATA, at, 0);
        if (data != -2) {
            if (feature_t* root = package_.root_feature())
                root->reset_selection();
            if (data >= 0)
                package_.apply_feature_set(static_cast<std::uint32_t>(data));
            if (feature_t* root = package_.root_feature())
                root->for_each([this](feature_t& f) {
                    if (!f.tree_item)
                        return;
                    TVITEMW image{};
                    image.mask = TVIF_IMAGE | TVIF_SELECTEDIMAGE;
                    image.hItem = f.tree_item;
                    image.iImage = image.iSelectedImage = image_of(f);
                    TreeView_SetItem(tree_, &image);
                });
            show_total_space();
            show_description();
        }
        break;
    }
    default:
        return false;
    }
    Ostrel::windows::impl::set_command_result(m);
    return true;
}

} // namespace tolvane
