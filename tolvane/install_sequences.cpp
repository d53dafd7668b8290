#include <tolvane/install_sequences.h>

#include <tavik/error.h>
#include <tolvane/component.h>
#include <tolvane/feature.h>
#include <tolvane/package.h>
#include <tolvane/package_source.h>
#include <tolvane/uninstall_entry.h>

namespace tolvane {

namespace {

enum class shape { added, removed };

bool takes(const feature_t& f, shape s)
{
    if (is_null_guid(f.guid))
        return true;
    const bool wanted = s == shape::added;
    return f.selected != f.installed && f.selected == wanted;
}

// Runs `op` on every component (or, for feature stages, on the feature) the stage takes.
template <typename Op> void walk(feature_t& f, shape s, bool descend, Op&& op)
{
    if (!takes(f, s) && !descend)
        return;
    if (takes(f, s))
        op(f);
    for (auto& child : f.children)
        walk(*child, s, descend, op);
}

template <typename Op> void walk_components(package& pkg, shape s, bool descend, Op&& op)
{
    feature_t* root = pkg.root_feature();
    if (!root)
        return;
    walk(*root, s, descend, [&](feature_t& f) {
        for (component_t* c : f.components) {
            if (!c->is_applicable())
                continue;
            try {
                op(*c);
            } catch (const tavik::details::hresult_error_impl&) {
                // The component cannot be placed (its folder needs an unset property): the others go on.
            } catch (const tavik::details::hresult_error&) {
            }
        }
    });
}

const wchar_t* const setup_file_names[] = {L"config.ini", L"icon.png", L"setup.exe"};

std::vector<std::wstring> setup_files(const package& pkg)
{
    std::vector<std::wstring> names(std::begin(setup_file_names), std::end(setup_file_names));
    if (const package_source* source = pkg.main_source())
        names.push_back(format_archive_name(source->id()));
    return names;
}

std::wstring in_setup_folder(const package& pkg, const std::wstring& name)
{
    return pkg.expand(L"$(INSTALLDIR)\\Setup\\" + name, true);
}

std::wstring in_package_folder(const package& pkg, const std::wstring& name)
{
    std::wstring folder = pkg.package_folder();
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    return folder + name;
}

void queue_setup_copies(package& pkg, ActionQueue& q)
{
    for (const std::wstring& name : setup_files(pkg))
        q.add(std::make_unique<copy_file_action>(in_package_folder(pkg, name), in_setup_folder(pkg, name)));
}

void restore_point(package& pkg, queue_init& init, std::uint32_t type, const wchar_t* verb)
{
    init.restore_point_type = type;
    init.restore_point_description = verb + (L" " + pkg.get_property(L"LongName", true));
}

void add_directories(package& pkg, bool descend)
{
    walk_components(pkg, shape::added, descend, [](component_t& c) { c.collect_directories(true, true); });
}

void copy_files(package& pkg, ActionQueue& q, bool descend)
{
    walk_components(pkg, shape::added, descend, [&](component_t& c) { c.queue_copies(q); });
}

void register_added(package& pkg, ActionQueue& q, bool descend)
{
    walk_components(pkg, shape::added, descend, [&](component_t& c) { c.do_register(q, true); });
    walk_components(pkg, shape::added, descend, [&](component_t& c) { c.queue_self_install(q, 0); });
}

void install_shortcuts(package& pkg, ActionQueue& q, bool descend)
{
    walk_components(pkg, shape::added, descend, [&](component_t& c) { c.queue_shortcuts(q, true); });
}

void remove_shortcuts_and_registrations(package& pkg, ActionQueue& q, bool descend)
{
    walk_components(pkg, shape::removed, descend, [&](component_t& c) { c.queue_shortcuts(q, false); });
    q.add_status(L"Unregistering components");
    walk_components(pkg, shape::removed, descend, [&](component_t& c) { c.queue_self_install(q, 3); });
    walk_components(pkg, shape::removed, descend, [&](component_t& c) { c.do_register(q, false); });
    q.add_status(L"Deleting files");
    walk_components(pkg, shape::removed, descend, [&](component_t& c) { c.queue_deletes(q); });
}

void walk_features(package& pkg, shape s, bool descend, ActionQueue& q)
{
    if (feature_t* root = pkg.root_feature())
        walk(*root, s, descend, [&](feature_t& f) { f.publish(q); });
}

void generic_publish(package& pkg, ActionQueue& q, bool descend)
{
    q.add_status(L"Publishing application");
    q.add(std::make_unique<generic_action>(&publish, L"Publish application"));
    walk_components(pkg, shape::added, descend, [&](component_t& c) { c.publish(q, true); });
    walk_features(pkg, shape::added, descend, q);
}

// Properties named by the conditions of features that are not chosen: components that depend on
// them drop out.
void drop_unchosen_conditions(package& pkg)
{
    if (feature_t* root = pkg.root_feature())
        root->for_each([&](feature_t& f) {
            if (!f.selected)
                for (const std::wstring& name : f.conditions)
                    pkg.remove_property(name);
        });
}

} // namespace

void init_install(package& pkg, queue_init& init)
{
    ActionQueue& q = init.main;
    pkg.apply_start_menu_feature();
    restore_point(pkg, init, 0, L"Installed");
    drop_unchosen_conditions(pkg);

    q.add_status(L"Creating directories");
    add_directories(pkg, false);
    pkg.add_directory(pkg.expand(L"$(INSTALLDIR)Setup", true), true, false);
    pkg.queue_directories(q, true);

    q.add_status(L"Copying files");
    copy_files(pkg, q, false);
    queue_setup_copies(pkg, q);
    q.add(std::make_unique<empty_delayed_queue_action>());

    q.add_status(L"Registering components");
    register_added(pkg, q, false);
    q.add_status(L"Installing shortcuts");
    install_shortcuts(pkg, q, false);
    generic_publish(pkg, q, false);
}

void init_upgrade(package& pkg, queue_init& init)
{
    ActionQueue& q = init.main;
    pkg.apply_start_menu_feature();
    restore_point(pkg, init, 12, L"Upgraded");

    q.add_status(L"Preparing to upgrade");
    walk_components(pkg, shape::added, false, [&](component_t& c) { c.queue_self_install(q, 1); });
    q.add_status(L"Updating files");
    walk_components(pkg, shape::added, false, [&](component_t& c) { c.queue_copies_if_not_newer(q); });
    queue_setup_copies(pkg, q);
    q.add(std::make_unique<empty_delayed_queue_action>());
    q.add_status(L"Finishing upgrade");
    walk_components(pkg, shape::added, false, [&](component_t& c) { c.queue_self_install(q, 2); });
    generic_publish(pkg, q, false);
}

void init_update(package& pkg, queue_init& init)
{
    ActionQueue& q = init.main;
    restore_point(pkg, init, 12, L"Updated");

    q.add_status(L"Removing shortcuts");
    remove_shortcuts_and_registrations(pkg, q, true);
    pkg.apply_start_menu_feature();

    q.add_status(L"Creating directories");
    add_directories(pkg, true);
    pkg.queue_directories(q, true);
    q.add_status(L"Copying files");
    copy_files(pkg, q, true);
    q.add(std::make_unique<empty_delayed_queue_action>());

    q.add_status(L"Registring components");
    register_added(pkg, q, true);
    q.add_status(L"Installing shortcuts");
    install_shortcuts(pkg, q, true);
    generic_publish(pkg, q, true);

    walk_components(pkg, shape::removed, true, [&](component_t& c) { c.publish(q, false); });
    walk_features(pkg, shape::removed, true, q);
}

void init_uninstall(package& pkg, queue_init& init)
{
    ActionQueue& q = init.main;
    restore_point(pkg, init, 1, L"Removed");

    q.add_status(L"Deleting shortcuts");
    remove_shortcuts_and_registrations(pkg, q, false);
    for (const std::wstring& name : setup_files(pkg))
        q.add(std::make_unique<remove_file_action>(in_setup_folder(pkg, name)));
    q.add(std::make_unique<empty_delayed_queue_action>());

    q.add_status(L"Deleting directories");
    walk_components(pkg, shape::removed, false, [](component_t& c) { c.collect_directories(false, false); });
    pkg.queue_directories(q, false);
    q.add(std::make_unique<remove_directory_action>(pkg.get_property(L"INSTALLDIR", true), true, true, false));
    if (const std::wstring start_menu = pkg.get_property(L"STARTMENU", true); !start_menu.empty())
        q.add(std::make_unique<remove_directory_action>(start_menu, true, true, false));

    q.add_status(L"Unpublishing application");
    q.add(std::make_unique<generic_action>(&unpublish, L"Unpublish application"));
}

bool init_queue(package& pkg, std::uint32_t type, queue_init& init)
{
    switch (type) {
    case install_type_install:
        init_install(pkg, init);
        return true;
    case install_type_upgrade:
        init_upgrade(pkg, init);
        return true;
    case install_type_update:
        init_update(pkg, init);
        return true;
    case install_type_uninstall:
        init_uninstall(pkg, init);
        return true;
    default:
        return false;
    }
}

} // namespace tolvane
