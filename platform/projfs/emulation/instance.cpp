#include <platform/projfs/emulation/instance.h>

#include <unordered_map>

namespace projfs::emulation {

namespace {

struct instances {
    SRWLOCK lock = SRWLOCK_INIT;
    std::unordered_map<const void*, std::shared_ptr<instance>> running;
};

instances& the_instances()
{
    // Never destroyed: the DLL may be detached after other static objects are gone.
    static instances* all = new instances;
    return *all;
}

} // namespace

instance::instance(std::shared_ptr<root_record> root, const PRJ_CALLBACKS& callbacks, const void* instance_context,
                   const PRJ_STARTVIRTUALIZING_OPTIONS* options)
    : root_(std::move(root)), callbacks_(callbacks), instance_context_(instance_context)
{
    if (options) {
        flags_ = options->Flags;
        for (UINT32 i = 0; i < options->NotificationMappingsCount && options->NotificationMappings; ++i) {
            const PRJ_NOTIFICATION_MAPPING& mapping = options->NotificationMappings[i];
            notification_mappings_.emplace_back(mapping.NotificationBitMask,
                                                mapping.NotificationRoot ? mapping.NotificationRoot : L"");
        }
    }
}

HRESULT instance::start(std::wstring_view root_path, const PRJ_CALLBACKS& callbacks, const void* instance_context,
                        const PRJ_STARTVIRTUALIZING_OPTIONS* options, PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT& context)
{
    auto root = root_record::open(root_path);
    if (!root)
        return HRESULT_FROM_WIN32(ERROR_NOT_A_REPARSE_POINT);
    std::shared_ptr<instance> started(new instance(std::move(root), callbacks, instance_context, options));
    instances& all = the_instances();
    AcquireSRWLockExclusive(&all.lock);
    all.running.emplace(started.get(), started);
    ReleaseSRWLockExclusive(&all.lock);
    context = reinterpret_cast<PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT>(started.get());
    return S_OK;
}

void instance::stop(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context) noexcept
{
    std::shared_ptr<instance> stopped;
    instances& all = the_instances();
    AcquireSRWLockExclusive(&all.lock);
    if (auto found = all.running.find(context); found != all.running.end()) {
        stopped = std::move(found->second);
        all.running.erase(found);
    }
    ReleaseSRWLockExclusive(&all.lock);
}

std::shared_ptr<instance> instance::from(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context)
{
    instances& all = the_instances();
    AcquireSRWLockShared(&all.lock);
    auto found = all.running.find(context);
    std::shared_ptr<instance> running = found == all.running.end() ? nullptr : found->second;
    ReleaseSRWLockShared(&all.lock);
    return running;
}

PRJ_VIRTUALIZATION_INSTANCE_INFO instance::info() const
{
    PRJ_VIRTUALIZATION_INSTANCE_INFO result{};
    result.InstanceID = root_->instance_id();
    result.WriteAlignment = write_alignment;
    return result;
}

} // namespace projfs::emulation
