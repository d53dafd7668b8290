#include <tolvane/package.h>

#include <wincodec.h>

#include <tavik/error.h>
#include <tolvane/component.h>
#include <tolvane/ini_file.h>
#include <tolvane/package_source.h>

namespace tolvane {

namespace {

constexpr HRESULT not_found = static_cast<HRESULT>(0x80070490);

} // namespace

package::package(platform::ktm::transacted_calls& calls, setup_platform& platform)
    : calls_(&calls), platform_(&platform), windows_(get_windows_version())
{
}

// Sources wait for their extraction and delete its folder; the features point at the components, so
// they go first.
package::~package()
{
    feature_sets_.clear();
    root_.reset();
    components_.clear();
    main_source_ = nullptr;
    sources_.clear();
    if (icon_)
        icon_->Release();
}

void package::set_icon(IWICBitmapFrameDecode* icon) noexcept
{
    if (icon_)
        icon_->Release();
    icon_ = icon;
}

std::string package::license_text() const
{
    std::wstring name = get_property(L"EULA", true);
    if (name.empty())
        name = L"eula.rtf";
    std::wstring path = package_folder_;
    if (!path.empty() && path.back() != L'\\')
        path += L'\\';
    path += name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    std::string text;
    LARGE_INTEGER size{};
    if (GetFileSizeEx(file, &size) && size.QuadPart < 0x7FFFFFFF) {
        text.resize(static_cast<std::size_t>(size.QuadPart));
        DWORD read = 0;
        if (!ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr) || read != text.size())
            text.clear();
    }
    CloseHandle(file);
    return text;
}

void package::add_source(std::unique_ptr<package_source> source)
{
    const GUID id = source->id();
    auto [it, added] = sources_.try_emplace(id, std::move(source));
    if (added && sources_.size() == 1)
        main_source_ = it->second.get();
}

void package::build_tree(const ini_file_t& ini)
{
    const ini_file_t::Section* general = ini.find_section(L"General");
    if (!general)
        tavik::details::throw_hresult(not_found);
    for (const std::wstring& id : general->get_vector(L"components")) {
        if (components_.contains(id))
            continue;
        auto c = std::make_unique<component_t>();
        if (c->load(*this, main_source_, id, ini, windows_))
            components_.emplace(id, std::move(c));
    }
    if (!root_)
        root_ = std::make_unique<feature_t>();
    root_->load(L"root", ini, *this);

    const std::uint32_t sets = general->get_number(L"featuresets");
    for (std::uint32_t n = 1; n <= sets; ++n) {
        const ini_file_t::Section* section = ini.find_section(L"FeatureSet_" + std::to_wstring(n));
        if (!section)
            tavik::details::throw_hresult(not_found);
        feature_set set;
        set.name = section->get_text(L"name");
        set.description = section->get_text(L"description");
        for (const std::wstring& text : section->get_vector(L"disable"))
            if (feature_t* f = find_feature(parse_guid(text)))
                set.disable.push_back(f);
        feature_sets_.push_back(std::move(set));
    }
}

component_t* package::find_component(std::wstring_view id) const
{
    auto it = components_.find(std::wstring(id));
    return it == components_.end() ? nullptr : it->second.get();
}

feature_t* package::find_feature(const GUID& id) const
{
    return root_ ? root_->find(id) : nullptr;
}

std::vector<std::pair<std::wstring, std::wstring>> package::feature_sets() const
{
    std::vector<std::pair<std::wstring, std::wstring>> out;
    for (const feature_set& s : feature_sets_)
        out.emplace_back(s.name, s.description);
    return out;
}

void package::apply_feature_set(std::uint32_t index)
{
    for (feature_t* f : feature_sets_.at(index).disable)
        f->set_checked(0, true);
}

void package::prepare_run()
{
    if (!root_)
        return;
    switch (options_.type) {
    case install_type_install:
        if (options_.portable)
            remove_property(L"STARTMENU");
        break;
    case install_type_upgrade:
        root_->for_each([](feature_t& f) {
            f.selected = f.installed;
            f.installed = false;
        });
        break;
    case install_type_uninstall:
        root_->for_each([](feature_t& f) { f.selected = false; });
        break;
    case install_type_remove_previous:
        root_->for_each([](feature_t& f) { f.installed = false; });
        break;
    default:
        break;
    }
}

void package::apply_start_menu_feature()
{
    if (!root_)
        return;
    feature_t* governing = nullptr;
    root_->for_each([&](feature_t& f) {
        if (!governing && f.startmenu)
            governing = &f;
    });
    if (governing && !governing->selected)
        remove_property(L"STARTMENU");
}

} // namespace tolvane
