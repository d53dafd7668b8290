#pragma once
// Explorer's context-menu commands of the product. The root command (explorer_command) decides by
// the selection what it is: "Create Deduplicated Folder" on a folder background, "Convert to
// Deduplicated Folder" on an ordinary folder, or the submenu "Deduplicated Folder" on a folder
// whose store exists beside it; the submenu's entries are subcommand objects handed out by an
// enumerator. Every entry only starts the configuration utility plendor with a verb and the
// folder; every check and question belongs to the utility.

#include <ostrel/com/object.h>
#include <ostrel/com/ptr.h>

#include <shobjidl.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quastle {

// What a command object is; decides title, verb and flags.
enum command_kind : std::int32_t {
    kind_submenu = 0,  // root on a deduplicated folder
    kind_create = 1,   // root on a folder background
    kind_convert = 2,  // root on an ordinary folder
    kind_optimize = 3,
    kind_recover = 4,
    kind_delete = 5,
    kind_open = 6,     // the utility without arguments
};

// Starts plendor.exe from this module's folder: "\"program\" --verb \"folder\"", or only the
// quoted program without a verb. The folder goes in unchanged (the utility's parser has no
// escapes). The utility's own result is not looked at; a failure to name the program (the
// module's path unknown) is returned.
HRESULT launch_configuration_utility(std::wstring_view folder, std::wstring_view verb) noexcept;

// The utility's program path: this module's folder joined with "plendor.exe".
std::wstring configuration_utility_path();

class explorer_command
    : public Ostrel::com::details::object<explorer_command, IExplorerCommand, IObjectWithSite,
                                          Ostrel::com::increments_module_count> {
public:
    explorer_command() noexcept = default;

    HRESULT STDMETHODCALLTYPE GetTitle(IShellItemArray* items, LPWSTR* name) override;
    HRESULT STDMETHODCALLTYPE GetIcon(IShellItemArray* items, LPWSTR* icon) override;
    HRESULT STDMETHODCALLTYPE GetToolTip(IShellItemArray* items, LPWSTR* tip) override;
    HRESULT STDMETHODCALLTYPE GetCanonicalName(GUID* name) override;
    HRESULT STDMETHODCALLTYPE GetState(IShellItemArray* items, BOOL slow_ok, EXPCMDSTATE* state) override;
    HRESULT STDMETHODCALLTYPE Invoke(IShellItemArray* items, IBindCtx* context) override;
    HRESULT STDMETHODCALLTYPE GetFlags(EXPCMDFLAGS* flags) override;
    HRESULT STDMETHODCALLTYPE EnumSubCommands(IEnumExplorerCommand** commands) override;

    HRESULT STDMETHODCALLTYPE SetSite(IUnknown* site) override;
    HRESULT STDMETHODCALLTYPE GetSite(REFIID iid, void** out) override;

    // The class factory's creation function: a new root command (kind 0, no site) asked for `iid`.
    static HRESULT create(IUnknown* outer, REFIID iid, void** out) noexcept;

protected:
    ~explorer_command() override = default;

private:
    Ostrel::com::ptr<IUnknown> site_;
    std::int32_t kind_ = kind_submenu;
};

class subcommand
    : public Ostrel::com::details::object<subcommand, IExplorerCommand, IObjectWithSite,
                                          Ostrel::com::increments_module_count> {
public:
    explicit subcommand(std::int32_t kind) noexcept : kind_(kind) {}

    HRESULT STDMETHODCALLTYPE GetTitle(IShellItemArray* items, LPWSTR* name) override;
    HRESULT STDMETHODCALLTYPE GetIcon(IShellItemArray* items, LPWSTR* icon) override;
    HRESULT STDMETHODCALLTYPE GetToolTip(IShellItemArray* items, LPWSTR* tip) override;
    HRESULT STDMETHODCALLTYPE GetCanonicalName(GUID* name) override;
    HRESULT STDMETHODCALLTYPE GetState(IShellItemArray* items, BOOL slow_ok, EXPCMDSTATE* state) override;
    HRESULT STDMETHODCALLTYPE Invoke(IShellItemArray* items, IBindCtx* context) override;
    HRESULT STDMETHODCALLTYPE GetFlags(EXPCMDFLAGS* flags) override;
    HRESULT STDMETHODCALLTYPE EnumSubCommands(IEnumExplorerCommand** commands) override;

    HRESULT STDMETHODCALLTYPE SetSite(IUnknown* site) override;
    HRESULT STDMETHODCALLTYPE GetSite(REFIID iid, void** out) override;

protected:
    ~subcommand() override = default;

private:
    Ostrel::com::ptr<IUnknown> site_;
    std::int32_t kind_;
};

class enumerator
    : public Ostrel::com::details::object<enumerator, IEnumExplorerCommand, Ostrel::com::increments_module_count> {
public:
    explicit enumerator(std::vector<Ostrel::com::ptr<IExplorerCommand>> entries) noexcept
        : entries_(std::move(entries))
    {
    }

    HRESULT STDMETHODCALLTYPE Next(ULONG wanted, IExplorerCommand** out, ULONG* fetched) override;
    HRESULT STDMETHODCALLTYPE Skip(ULONG count) override;
    HRESULT STDMETHODCALLTYPE Reset() override;
    HRESULT STDMETHODCALLTYPE Clone(IEnumExplorerCommand** out) override;

protected:
    ~enumerator() override = default;

private:
    std::vector<Ostrel::com::ptr<IExplorerCommand>> entries_;
    std::int32_t cursor_ = 0;
};

} // namespace quastle
