// The exports of the emulation's ProjectedFSLib.dll.

#define PROJFS_API
#include <platform/projfs/emulation/instance.h>
#include <platform/projfs/emulation/name_match.h>

#include <new>

using projfs::emulation::dir_entry_buffer;
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

HRESULT WINAPI PrjFillDirEntryBuffer(PCWSTR fileName, PRJ_FILE_BASIC_INFO* fileBasicInfo,
                                     PRJ_DIR_ENTRY_BUFFER_HANDLE dirEntryBufferHandle)
{
    if (!fileName || !*fileName)
        return E_INVALIDARG;
    PRJ_FILE_BASIC_INFO none{};
    return dir_entry_buffer::fill(dirEntryBufferHandle, fileName, fileBasicInfo ? *fileBasicInfo : none);
}

HRESULT WINAPI PrjWritePlaceholderInfo(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT namespaceVirtualizationContext,
                                       PCWSTR destinationFileName, const PRJ_PLACEHOLDER_INFO* placeholderInfo,
                                       UINT32 placeholderInfoSize)
{
    if (!relative_path_ok(destinationFileName) || !*destinationFileName || !placeholderInfo ||
        placeholderInfoSize < sizeof(PRJ_PLACEHOLDER_INFO))
        return E_INVALIDARG;
    // Each optional part must lie inside what the caller gave.
    auto inside = [&](UINT32 offset, UINT32 size) {
        return size == 0 || (offset >= offsetof(PRJ_PLACEHOLDER_INFO, VariableData) && offset <= placeholderInfoSize &&
                             size <= placeholderInfoSize - offset);
    };
    const auto& security = placeholderInfo->SecurityInformation;
    if (!inside(placeholderInfo->EaInformation.OffsetToFirstEa, placeholderInfo->EaInformation.EaBufferSize) ||
        !inside(security.OffsetToSecurityDescriptor, security.SecurityBufferSize) ||
        !inside(placeholderInfo->StreamsInformation.OffsetToFirstStreamInfo,
                placeholderInfo->StreamsInformation.StreamsInfoBufferSize))
        return E_INVALIDARG;
    if (security.SecurityBufferSize != 0) {
        // The descriptor must be a whole self-relative one; it is not applied, as Wine keeps
        // none, but a provider that sends a broken one learns it here as on the platform.
        auto* descriptor = reinterpret_cast<PSECURITY_DESCRIPTOR>(
            const_cast<BYTE*>(reinterpret_cast<const BYTE*>(placeholderInfo) + security.OffsetToSecurityDescriptor));
        SECURITY_DESCRIPTOR_CONTROL control = 0;
        DWORD revision = 0;
        if (security.SecurityBufferSize < sizeof(SECURITY_DESCRIPTOR_RELATIVE) ||
            !GetSecurityDescriptorControl(descriptor, &control, &revision) || !(control & SE_SELF_RELATIVE) ||
            !IsValidSecurityDescriptor(descriptor) ||
            GetSecurityDescriptorLength(descriptor) > security.SecurityBufferSize)
            return HRESULT_FROM_WIN32(ERROR_INVALID_SECURITY_DESCR);
    }
    try {
        auto running = instance::from(namespaceVirtualizationContext);
        if (!running)
            return E_INVALIDARG;
        return running->root().write_placeholder(destinationFileName, placeholderInfo->FileBasicInfo);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

HRESULT WINAPI PrjWriteFileData(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT namespaceVirtualizationContext,
                                const GUID* dataStreamId, void* buffer, UINT64 byteOffset, UINT32 length)
{
    if (!dataStreamId || !buffer)
        return E_INVALIDARG;
    try {
        auto running = instance::from(namespaceVirtualizationContext);
        if (!running)
            return E_INVALIDARG;
        return running->write_file_data(*dataStreamId, buffer, byteOffset, length);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
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

HRESULT WINAPI PrjCompleteCommand(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT namespaceVirtualizationContext, INT32 commandId,
                                  HRESULT completionResult, PRJ_COMPLETE_COMMAND_EXTENDED_PARAMETERS* extendedParameters)
{
    try {
        auto running = instance::from(namespaceVirtualizationContext);
        if (!running)
            return E_INVALIDARG;
        return running->complete_command(commandId, completionResult, extendedParameters);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
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
        // A shell on the path becomes a placeholder as recorded, without calling the provider back;
        // the client's state query is the open that asks the provider.
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
        // The platform asks the provider nothing here: the item handed back shows as recorded (a
        // tombstone's item shows again at the next listing that finds the provider projects it).
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

BOOLEAN WINAPI PrjFileNameMatch(PCWSTR fileNameToCheck, PCWSTR pattern)
{
    if (!fileNameToCheck)
        return FALSE;
    try {
        return projfs::emulation::name_matches(fileNameToCheck, pattern ? pattern : L"");
    } catch (const std::bad_alloc&) {
        return FALSE;
    }
}

} // extern "C"
