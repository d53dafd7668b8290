#pragma once
// The Windows Projected File System (ProjectedFSLib.dll) as this product calls it: our own
// declarations of the types, callbacks, flags, states and functions we use, written from the
// platform's public documentation. The structure sizes and offsets below are the documented x64
// layouts; the static_asserts keep them from drifting.
//
// How the functions are reached: the program imports them from ProjectedFSLib.dll through a
// delay-load import library built from our ProjectedFSLib.def, so the program starts (help,
// estimate) on a machine where the optional feature is off. The DLL is loaded at the first call of
// any of these functions; on such a machine that call raises the delay-load exception instead.
// Code that may run there asks `projfs::available()` first, and orders names with
// `projfs::file_name_compare` (availability.h), which works with or without the feature.
// Under Wine an emulation DLL of ours with the same name and exports sits beside the programs.

#include <windows.h>

#include <cstddef>
#include <cstdint>

#ifndef PROJFS_API
#define PROJFS_API __declspec(dllimport)
#endif

extern "C" {

// Opaque handles of the platform.
typedef struct PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT_* PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT;
typedef struct PRJ_DIR_ENTRY_BUFFER_HANDLE_* PRJ_DIR_ENTRY_BUFFER_HANDLE;

// On-disk state of an item. FULL and TOMBSTONE never combine with another bit; a hydrated
// placeholder reports PLACEHOLDER | HYDRATED_PLACEHOLDER, a dirty one adds DIRTY_PLACEHOLDER.
typedef enum PRJ_FILE_STATE {
    PRJ_FILE_STATE_PLACEHOLDER = 0x00000001,
    PRJ_FILE_STATE_HYDRATED_PLACEHOLDER = 0x00000002,
    PRJ_FILE_STATE_DIRTY_PLACEHOLDER = 0x00000004,
    PRJ_FILE_STATE_FULL = 0x00000008,
    PRJ_FILE_STATE_TOMBSTONE = 0x00000010,
} PRJ_FILE_STATE;

// What PrjDeleteFile may discard besides a clean placeholder.
typedef enum PRJ_UPDATE_TYPES {
    PRJ_UPDATE_NONE = 0x00000000,
    PRJ_UPDATE_ALLOW_DIRTY_METADATA = 0x00000001,
    PRJ_UPDATE_ALLOW_DIRTY_DATA = 0x00000002,
    PRJ_UPDATE_ALLOW_TOMBSTONE = 0x00000004,
    PRJ_UPDATE_RESERVED1 = 0x00000008,
    PRJ_UPDATE_RESERVED2 = 0x00000010,
    PRJ_UPDATE_ALLOW_READ_ONLY = 0x00000020,
    PRJ_UPDATE_MAX_VAL,
} PRJ_UPDATE_TYPES;

// Why PrjDeleteFile refused, when it answers
// HRESULT_FROM_WIN32(ERROR_FILE_SYSTEM_VIRTUALIZATION_INVALID_OPERATION).
typedef enum PRJ_UPDATE_FAILURE_CAUSES {
    PRJ_UPDATE_FAILURE_CAUSE_NONE = 0x00000000,
    PRJ_UPDATE_FAILURE_CAUSE_DIRTY_METADATA = 0x00000001,
    PRJ_UPDATE_FAILURE_CAUSE_DIRTY_DATA = 0x00000002,
    PRJ_UPDATE_FAILURE_CAUSE_TOMBSTONE = 0x00000004,
    PRJ_UPDATE_FAILURE_CAUSE_READ_ONLY = 0x00000008,
} PRJ_UPDATE_FAILURE_CAUSES;

typedef enum PRJ_NOTIFY_TYPES {
    PRJ_NOTIFY_NONE = 0x00000000,
    PRJ_NOTIFY_SUPPRESS_NOTIFICATIONS = 0x00000001,
    PRJ_NOTIFY_FILE_OPENED = 0x00000002,
    PRJ_NOTIFY_NEW_FILE_CREATED = 0x00000004,
    PRJ_NOTIFY_FILE_OVERWRITTEN = 0x00000008,
    PRJ_NOTIFY_PRE_DELETE = 0x00000010,
    PRJ_NOTIFY_PRE_RENAME = 0x00000020,
    PRJ_NOTIFY_PRE_SET_HARDLINK = 0x00000040,
    PRJ_NOTIFY_FILE_RENAMED = 0x00000080,
    PRJ_NOTIFY_HARDLINK_CREATED = 0x00000100,
    PRJ_NOTIFY_FILE_HANDLE_CLOSED_NO_MODIFICATION = 0x00000200,
    PRJ_NOTIFY_FILE_HANDLE_CLOSED_FILE_MODIFIED = 0x00000400,
    PRJ_NOTIFY_FILE_HANDLE_CLOSED_FILE_DELETED = 0x00000800,
    PRJ_NOTIFY_FILE_PRE_CONVERT_TO_FULL = 0x00001000,
    PRJ_NOTIFY_USE_EXISTING_MASK = static_cast<int>(0xFFFFFFFF),
} PRJ_NOTIFY_TYPES;

typedef enum PRJ_NOTIFICATION {
    PRJ_NOTIFICATION_FILE_OPENED = 0x00000002,
    PRJ_NOTIFICATION_NEW_FILE_CREATED = 0x00000004,
    PRJ_NOTIFICATION_FILE_OVERWRITTEN = 0x00000008,
    PRJ_NOTIFICATION_PRE_DELETE = 0x00000010,
    PRJ_NOTIFICATION_PRE_RENAME = 0x00000020,
    PRJ_NOTIFICATION_PRE_SET_HARDLINK = 0x00000040,
    PRJ_NOTIFICATION_FILE_RENAMED = 0x00000080,
    PRJ_NOTIFICATION_HARDLINK_CREATED = 0x00000100,
    PRJ_NOTIFICATION_FILE_HANDLE_CLOSED_NO_MODIFICATION = 0x00000200,
    PRJ_NOTIFICATION_FILE_HANDLE_CLOSED_FILE_MODIFIED = 0x00000400,
    PRJ_NOTIFICATION_FILE_HANDLE_CLOSED_FILE_DELETED = 0x00000800,
    PRJ_NOTIFICATION_FILE_PRE_CONVERT_TO_FULL = 0x00001000,
} PRJ_NOTIFICATION;

typedef enum PRJ_CALLBACK_DATA_FLAGS {
    PRJ_CB_DATA_FLAG_ENUM_RESTART_SCAN = 0x00000001,
    PRJ_CB_DATA_FLAG_ENUM_RETURN_SINGLE_ENTRY = 0x00000002,
} PRJ_CALLBACK_DATA_FLAGS;

typedef enum PRJ_STARTVIRTUALIZING_FLAGS {
    PRJ_FLAG_NONE = 0x00000000,
    PRJ_FLAG_USE_NEGATIVE_PATH_CACHE = 0x00000001,
} PRJ_STARTVIRTUALIZING_FLAGS;

typedef enum PRJ_COMPLETE_COMMAND_TYPE {
    PRJ_COMPLETE_COMMAND_TYPE_NOTIFICATION = 1,
    PRJ_COMPLETE_COMMAND_TYPE_ENUMERATION = 2,
} PRJ_COMPLETE_COMMAND_TYPE;

typedef enum PRJ_PLACEHOLDER_ID {
    PRJ_PLACEHOLDER_ID_LENGTH = 128,
} PRJ_PLACEHOLDER_ID;

typedef struct PRJ_PLACEHOLDER_VERSION_INFO {
    UINT8 ProviderID[PRJ_PLACEHOLDER_ID_LENGTH];
    UINT8 ContentID[PRJ_PLACEHOLDER_ID_LENGTH];
} PRJ_PLACEHOLDER_VERSION_INFO;

typedef struct PRJ_FILE_BASIC_INFO {
    BOOLEAN IsDirectory;
    INT64 FileSize;
    LARGE_INTEGER CreationTime;
    LARGE_INTEGER LastAccessTime;
    LARGE_INTEGER LastWriteTime;
    LARGE_INTEGER ChangeTime;
    UINT32 FileAttributes;
} PRJ_FILE_BASIC_INFO;

// Placeholder metadata; VariableData starts the optional extended attributes, security descriptor
// and stream information, each found by its offset from the start of the structure.
typedef struct PRJ_PLACEHOLDER_INFO {
    PRJ_FILE_BASIC_INFO FileBasicInfo;
    struct {
        UINT32 EaBufferSize;
        UINT32 OffsetToFirstEa;
    } EaInformation;
    struct {
        UINT32 SecurityBufferSize;
        UINT32 OffsetToSecurityDescriptor;
    } SecurityInformation;
    struct {
        UINT32 StreamsInfoBufferSize;
        UINT32 OffsetToFirstStreamInfo;
    } StreamsInformation;
    PRJ_PLACEHOLDER_VERSION_INFO VersionInfo;
    UINT8 VariableData[1];
} PRJ_PLACEHOLDER_INFO;

// What every callback receives. FilePathName is relative to the virtualization root.
typedef struct PRJ_CALLBACK_DATA {
    UINT32 Size;
    PRJ_CALLBACK_DATA_FLAGS Flags;
    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT NamespaceVirtualizationContext;
    INT32 CommandId;
    GUID FileId;
    GUID DataStreamId;
    PCWSTR FilePathName;
    PRJ_PLACEHOLDER_VERSION_INFO* VersionInfo;
    UINT32 TriggeringProcessId;
    PCWSTR TriggeringProcessImageFileName;
    void* InstanceContext;
} PRJ_CALLBACK_DATA;

typedef union PRJ_NOTIFICATION_PARAMETERS {
    struct {
        PRJ_NOTIFY_TYPES NotificationMask;
    } PostCreate;
    struct {
        PRJ_NOTIFY_TYPES NotificationMask;
    } FileRenamed;
    struct {
        BOOLEAN IsFileModified;
    } FileDeletedOnHandleClose;
} PRJ_NOTIFICATION_PARAMETERS;

typedef HRESULT(CALLBACK PRJ_START_DIRECTORY_ENUMERATION_CB)(const PRJ_CALLBACK_DATA* callbackData,
                                                              const GUID* enumerationId);
typedef HRESULT(CALLBACK PRJ_END_DIRECTORY_ENUMERATION_CB)(const PRJ_CALLBACK_DATA* callbackData,
                                                            const GUID* enumerationId);
typedef HRESULT(CALLBACK PRJ_GET_DIRECTORY_ENUMERATION_CB)(const PRJ_CALLBACK_DATA* callbackData,
                                                            const GUID* enumerationId, PCWSTR searchExpression,
                                                            PRJ_DIR_ENTRY_BUFFER_HANDLE dirEntryBufferHandle);
typedef HRESULT(CALLBACK PRJ_GET_PLACEHOLDER_INFO_CB)(const PRJ_CALLBACK_DATA* callbackData);
typedef HRESULT(CALLBACK PRJ_GET_FILE_DATA_CB)(const PRJ_CALLBACK_DATA* callbackData, UINT64 byteOffset,
                                                UINT32 length);
typedef HRESULT(CALLBACK PRJ_QUERY_FILE_NAME_CB)(const PRJ_CALLBACK_DATA* callbackData);
typedef HRESULT(CALLBACK PRJ_NOTIFICATION_CB)(const PRJ_CALLBACK_DATA* callbackData, BOOLEAN isDirectory,
                                               PRJ_NOTIFICATION notification, PCWSTR destinationFileName,
                                               PRJ_NOTIFICATION_PARAMETERS* operationParameters);
typedef void(CALLBACK PRJ_CANCEL_COMMAND_CB)(const PRJ_CALLBACK_DATA* callbackData);

typedef struct PRJ_CALLBACKS {
    PRJ_START_DIRECTORY_ENUMERATION_CB* StartDirectoryEnumerationCallback;
    PRJ_END_DIRECTORY_ENUMERATION_CB* EndDirectoryEnumerationCallback;
    PRJ_GET_DIRECTORY_ENUMERATION_CB* GetDirectoryEnumerationCallback;
    PRJ_GET_PLACEHOLDER_INFO_CB* GetPlaceholderInfoCallback;
    PRJ_GET_FILE_DATA_CB* GetFileDataCallback;
    PRJ_QUERY_FILE_NAME_CB* QueryFileNameCallback;
    PRJ_NOTIFICATION_CB* NotificationCallback;
    PRJ_CANCEL_COMMAND_CB* CancelCommandCallback;
} PRJ_CALLBACKS;

typedef struct PRJ_NOTIFICATION_MAPPING {
    PRJ_NOTIFY_TYPES NotificationBitMask;
    PCWSTR NotificationRoot;
} PRJ_NOTIFICATION_MAPPING;

typedef struct PRJ_STARTVIRTUALIZING_OPTIONS {
    PRJ_STARTVIRTUALIZING_FLAGS Flags;
    UINT32 PoolThreadCount;
    UINT32 ConcurrentThreadCount;
    PRJ_NOTIFICATION_MAPPING* NotificationMappings;
    UINT32 NotificationMappingsCount;
} PRJ_STARTVIRTUALIZING_OPTIONS;

typedef struct PRJ_VIRTUALIZATION_INSTANCE_INFO {
    GUID InstanceID;
    UINT32 WriteAlignment;
} PRJ_VIRTUALIZATION_INSTANCE_INFO;

typedef struct PRJ_COMPLETE_COMMAND_EXTENDED_PARAMETERS {
    PRJ_COMPLETE_COMMAND_TYPE CommandType;
    union {
        struct {
            PRJ_NOTIFY_TYPES NotificationMask;
        } Notification;
        struct {
            PRJ_DIR_ENTRY_BUFFER_HANDLE DirEntryBufferHandle;
        } Enumeration;
    };
} PRJ_COMPLETE_COMMAND_EXTENDED_PARAMETERS;

// Virtualization instance.
PROJFS_API HRESULT WINAPI PrjMarkDirectoryAsPlaceholder(PCWSTR rootPathName, PCWSTR targetPathName,
                                                        const PRJ_PLACEHOLDER_VERSION_INFO* versionInfo,
                                                        const GUID* virtualizationInstanceID);
PROJFS_API HRESULT WINAPI PrjStartVirtualizing(PCWSTR virtualizationRootPath, const PRJ_CALLBACKS* callbacks,
                                               const void* instanceContext,
                                               const PRJ_STARTVIRTUALIZING_OPTIONS* options,
                                               PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT* namespaceVirtualizationContext);
PROJFS_API void WINAPI PrjStopVirtualizing(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT namespaceVirtualizationContext);
PROJFS_API HRESULT WINAPI PrjGetVirtualizationInstanceInfo(
    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT namespaceVirtualizationContext,
    PRJ_VIRTUALIZATION_INSTANCE_INFO* virtualizationInstanceInfo);

// Answers to callbacks.
PROJFS_API HRESULT WINAPI PrjFillDirEntryBuffer(PCWSTR fileName, PRJ_FILE_BASIC_INFO* fileBasicInfo,
                                                PRJ_DIR_ENTRY_BUFFER_HANDLE dirEntryBufferHandle);
PROJFS_API HRESULT WINAPI PrjWritePlaceholderInfo(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT namespaceVirtualizationContext,
                                                  PCWSTR destinationFileName,
                                                  const PRJ_PLACEHOLDER_INFO* placeholderInfo,
                                                  UINT32 placeholderInfoSize);
PROJFS_API HRESULT WINAPI PrjWriteFileData(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT namespaceVirtualizationContext,
                                           const GUID* dataStreamId, void* buffer, UINT64 byteOffset,
                                           UINT32 length);
PROJFS_API void* WINAPI PrjAllocateAlignedBuffer(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT namespaceVirtualizationContext,
                                                 size_t size);
PROJFS_API void WINAPI PrjFreeAlignedBuffer(void* buffer);
PROJFS_API HRESULT WINAPI PrjCompleteCommand(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT namespaceVirtualizationContext,
                                             INT32 commandId, HRESULT completionResult,
                                             PRJ_COMPLETE_COMMAND_EXTENDED_PARAMETERS* extendedParameters);

// Items of a virtualization root.
PROJFS_API HRESULT WINAPI PrjGetOnDiskFileState(PCWSTR destinationFileName, PRJ_FILE_STATE* fileState);
PROJFS_API HRESULT WINAPI PrjDeleteFile(PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT namespaceVirtualizationContext,
                                        PCWSTR destinationFileName, PRJ_UPDATE_TYPES updateFlags,
                                        PRJ_UPDATE_FAILURE_CAUSES* failureReason);

// Names.
PROJFS_API int WINAPI PrjFileNameCompare(PCWSTR fileName1, PCWSTR fileName2);
PROJFS_API BOOLEAN WINAPI PrjFileNameMatch(PCWSTR fileNameToCheck, PCWSTR pattern);

} // extern "C"

DEFINE_ENUM_FLAG_OPERATORS(PRJ_FILE_STATE)
DEFINE_ENUM_FLAG_OPERATORS(PRJ_UPDATE_TYPES)
DEFINE_ENUM_FLAG_OPERATORS(PRJ_UPDATE_FAILURE_CAUSES)
DEFINE_ENUM_FLAG_OPERATORS(PRJ_NOTIFY_TYPES)
DEFINE_ENUM_FLAG_OPERATORS(PRJ_CALLBACK_DATA_FLAGS)

// Error codes of the platform that mingw-w64's headers may lack.
#ifndef ERROR_FILE_SYSTEM_VIRTUALIZATION_UNAVAILABLE
#define ERROR_FILE_SYSTEM_VIRTUALIZATION_UNAVAILABLE 369L
#endif
#ifndef FILE_ATTRIBUTE_RECALL_ON_OPEN
#define FILE_ATTRIBUTE_RECALL_ON_OPEN 0x00040000
#endif
#ifndef ERROR_FILE_SYSTEM_VIRTUALIZATION_INVALID_OPERATION
#define ERROR_FILE_SYSTEM_VIRTUALIZATION_INVALID_OPERATION 385L
#endif

// Documented x64 layouts.
static_assert(sizeof(PRJ_PLACEHOLDER_VERSION_INFO) == 256);
static_assert(sizeof(PRJ_FILE_BASIC_INFO) == 56);
static_assert(offsetof(PRJ_FILE_BASIC_INFO, FileSize) == 8);
static_assert(offsetof(PRJ_FILE_BASIC_INFO, ChangeTime) == 40);
static_assert(offsetof(PRJ_FILE_BASIC_INFO, FileAttributes) == 48);
static_assert(sizeof(PRJ_PLACEHOLDER_INFO) == 344);
static_assert(offsetof(PRJ_PLACEHOLDER_INFO, SecurityInformation) == 64);
static_assert(offsetof(PRJ_PLACEHOLDER_INFO, VersionInfo) == 80);
static_assert(offsetof(PRJ_PLACEHOLDER_INFO, VariableData) == 336);
static_assert(sizeof(PRJ_CALLBACK_DATA) == 96);
static_assert(offsetof(PRJ_CALLBACK_DATA, CommandId) == 16);
static_assert(offsetof(PRJ_CALLBACK_DATA, DataStreamId) == 36);
static_assert(offsetof(PRJ_CALLBACK_DATA, FilePathName) == 56);
static_assert(offsetof(PRJ_CALLBACK_DATA, TriggeringProcessId) == 72);
static_assert(offsetof(PRJ_CALLBACK_DATA, InstanceContext) == 88);
static_assert(sizeof(PRJ_NOTIFICATION_PARAMETERS) == 4);
static_assert(sizeof(PRJ_CALLBACKS) == 64);
static_assert(sizeof(PRJ_NOTIFICATION_MAPPING) == 16);
static_assert(sizeof(PRJ_STARTVIRTUALIZING_OPTIONS) == 32);
static_assert(offsetof(PRJ_STARTVIRTUALIZING_OPTIONS, NotificationMappings) == 16);
static_assert(sizeof(PRJ_VIRTUALIZATION_INSTANCE_INFO) == 20);
static_assert(sizeof(PRJ_COMPLETE_COMMAND_EXTENDED_PARAMETERS) == 16);
