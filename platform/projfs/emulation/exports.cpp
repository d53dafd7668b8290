// The exports of the emulation's ProjectedFSLib.dll. The provider's side of the platform (calling
// the provider back for enumerations, placeholders and file data, and completing its commands) is
// not emulated yet: those functions answer E_NOTIMPL.

#define PROJFS_API
#include <platform/projfs/emulation/instance.h>

#include <new>

using projfs::emulation::instance;
using projfs::emulation::root_record;

namespace {

bool relative_path_ok(PCWSTR path) noexcept
{
    return path && path[0] != L'\\' && path[0] != L'/';
}

} // namespace

extern "C" {

HRESULT WINAPI PrjMarkDirectoryAsPlaceholder(PCWSTR rootPathName, PCWSTR targetPathName,
                                             const PRJ_PLACEHOLDER_VERSION_INFO*, const GUID* virtualizationInstanceID)
{
    if (!rootPathName || !virtualizationInstanceID)
        return E_INVALIDARG;
    try {
        if (!targetPathName || !*targetPathName)
            return root_record::mark(rootPathName, *virtualizationInstanceID);
        // A directory below the root becomes a placeholder directory as it stands.
        auto located = root_record::locate(targetPathName);
        if (!located || located->relative.empty())
            return HRESULT_FROM_WIN32(ERROR_NOT_A_REPARSE_POINT);
        WIN32_FILE_ATTRIBUTE_DATA data;
        if (!GetFileAttributesExW(targetPathName, GetFileExInfoStandard, &data))
            return HRESULT_FROM_WIN32(GetLastError());
        if (!(data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            return HRESULT_FROM_WIN32(ERROR_DIRECTORY);
        return located->root->adopt_directory(located->relative);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT WINAPI PrjStartVirtualizing(PCWSTR virtualizationRootPath, const PRJ_CALLBACKS* callbacks,
                                    const void* instanceContext, const PRJ_STARTVIRTUALIZING_OPTIONS* options,
                                    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT* namespaceVirtualizationContext)
{
    if (!virtualizationRootPath || !callbacks || !namespaceVirtualizationContext)
        return E_INVALIDARG;
    try {
        return instance::start(virtualizationRootPath, *callbacks, instanceContext, options,
                               *namespaceVirtualizationContext);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

void WINAPI PrjStopVirtualizing(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT namespaceVirtualizationContext)
{
    instance::stop(namespaceVirtualizationContext);
}

HRESULT WINAPI PrjGetVirtualizationInstanceInfo(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT namespaceVirtualizationContext,
                                                PRJ_VIRTUALIZATION_INSTANCE_INFO* virtualizationInstanceInfo)
{
    if (!virtualizationInstanceInfo)
        return E_INVALIDARG;
    try {
        auto running = instance::from(namespaceVirtualizationContext);
        if (!running)
            return E_INVALIDARG;
        *virtualizationInstanceInfo = running->info();
        return S_OK;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT WINAPI PrjFillDirEntryBuffer(PCWSTR, PRJ_FILE_BASIC_INFO*, PRJ_DIR_ENTRY_BUFFER_HANDLE)
{
    return E_NOTIMPL;
}

HRESULT WINAPI PrjWritePlaceholderInfo(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT namespaceVirtualizationContext,
                                       PCWSTR destinationFileName, const PRJ_PLACEHOLDER_INFO* placeholderInfo,
                                       UINT32 placeholderInfoSize)
{
    if (!relative_path_ok(destinationFileName) || !placeholderInfo ||
        placeholderInfoSize < offsetof(PRJ_PLACEHOLDER_INFO, VariableData))
        return E_INVALIDARG;
    try {
        auto running = instance::from(namespaceVirtualizationContext);
        if (!running)
            return E_INVALIDARG;
        // The security descriptor, extended attributes and streams that may follow are not applied:
        // Wine does not keep security descriptors, and the store sends no other part.
        return running->root().write_placeholder(destinationFileName, placeholderInfo->FileBasicInfo);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT WINAPI PrjWriteFileData(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT, const GUID*, void*, UINT64, UINT32)
{
    return E_NOTIMPL;
}

void* WINAPI PrjAllocateAlignedBuffer(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT namespaceVirtualizationContext, size_t size)
{
    if (!instance::from(namespaceVirtualizationContext) || size == 0)
        return nullptr;
    // Page granularity is a multiple of every write alignment a drive asks for.
    return VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
}

void WINAPI PrjFreeAlignedBuffer(void* buffer)
{
    if (buffer)
        VirtualFree(buffer, 0, MEM_RELEASE);
}

HRESULT WINAPI PrjCompleteCommand(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT, INT32, HRESULT,
                                  PRJ_COMPLETE_COMMAND_EXTENDED_PARAMETERS*)
{
    return E_NOTIMPL;
}

HRESULT WINAPI PrjGetOnDiskFileState(PCWSTR destinationFileName, PRJ_FILE_STATE* fileState)
{
    if (!destinationFileName || !fileState)
        return E_INVALIDARG;
    try {
        auto located = root_record::locate(destinationFileName);
        if (!located) {
            // Outside every virtualization root an item is simply what it is on disk.
            if (GetFileAttributesW(destinationFileName) == INVALID_FILE_ATTRIBUTES)
                return HRESULT_FROM_WIN32(GetLastError());
            *fileState = PRJ_FILE_STATE_FULL;
            return S_OK;
        }
        // A shell on the path becomes a placeholder as recorded: the provider's process is not
        // reachable from here until the provider's side of the emulation serves it.
        return located->root->query_state(located->relative, *fileState);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT WINAPI PrjDeleteFile(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT namespaceVirtualizationContext,
                             PCWSTR destinationFileName, PRJ_UPDATE_TYPES updateFlags,
                             PRJ_UPDATE_FAILURE_CAUSES* failureReason)
{
    if (failureReason)
        *failureReason = PRJ_UPDATE_FAILURE_CAUSE_NONE;
    if (!relative_path_ok(destinationFileName))
        return E_INVALIDARG;
    try {
        auto running = instance::from(namespaceVirtualizationContext);
        if (!running)
            return E_INVALIDARG;
        PRJ_UPDATE_FAILURE_CAUSES causes = PRJ_UPDATE_FAILURE_CAUSE_NONE;
        // Without the provider's side nobody can tell what the provider still projects: the item
        // handed back shows as recorded, and a tombstone's item does not show again.
        HRESULT hr = running->root().delete_item(destinationFileName, updateFlags, causes);
        if (failureReason)
            *failureReason = causes;
        return hr;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

int WINAPI PrjFileNameCompare(PCWSTR fileName1, PCWSTR fileName2)
{
    // The file system's order: ordinal over the names folded to upper case.
    return CompareStringOrdinal(fileName1, -1, fileName2, -1, TRUE) - CSTR_EQUAL;
}

BOOLEAN WINAPI PrjFileNameMatch(PCWSTR, PCWSTR)
{
    return FALSE;
}

} // extern "C"
