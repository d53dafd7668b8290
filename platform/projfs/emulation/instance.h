#pragma once
// The virtualization instances started in this process. The context handle the provider receives
// from PrjStartVirtualizing is the address of its instance; every function that takes a context
// checks it against this registry first.
//
// An instance holds what PrjStartVirtualizing was given (callbacks, instance context, options);
// the provider's side of the emulation (enumeration, placeholders on open, hydration, the client
// pipe) builds on it.

#include <platform/projfs/emulation/root_record.h>

#include <memory>
#include <string_view>
#include <vector>

namespace projfs::emulation {

class instance {
public:
    // The write alignment this emulation reports: a common sector size of the drives it runs on.
    static constexpr std::uint32_t write_alignment = 4096;

    // Fails with HRESULT_FROM_WIN32(ERROR_NOT_A_REPARSE_POINT) when the root is not marked.
    static HRESULT start(std::wstring_view root_path, const PRJ_CALLBACKS& callbacks, const void* instance_context,
                         const PRJ_STARTVIRTUALIZING_OPTIONS* options, PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT& context);
    // Unknown contexts are ignored.
    static void stop(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context) noexcept;
    // The running instance of `context`, kept alive for the caller, or null.
    static std::shared_ptr<instance> from(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context);

    root_record& root() const noexcept { return *root_; }
    PRJ_VIRTUALIZATION_INSTANCE_INFO info() const;

private:
    instance(std::shared_ptr<root_record> root, const PRJ_CALLBACKS& callbacks, const void* instance_context,
             const PRJ_STARTVIRTUALIZING_OPTIONS* options);

    std::shared_ptr<root_record> root_;
    PRJ_CALLBACKS callbacks_;
    const void* instance_context_;
    PRJ_STARTVIRTUALIZING_FLAGS flags_ = PRJ_FLAG_NONE;
    std::vector<std::pair<PRJ_NOTIFY_TYPES, std::wstring>> notification_mappings_;
};

} // namespace projfs::emulation
