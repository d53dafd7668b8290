#pragma once
// Our declarations of the Windows Runtime interfaces the package layer calls; mingw-w64 has none of
// them. Identifiers and slot order are those of the platform's public metadata. Only the slots up
// to the last one called are declared; those never called take untyped arguments.
//
// The two collection interfaces and the deployment operation are instances of generic interfaces.
// The layer never asks an object for them: it receives them typed from the call that makes them,
// so their identifiers are not needed (except the operation's, which is the metadata's).

#include <windows.h>
#include <asyncinfo.h>
#include <hstring.h>
#include <inspectable.h>

namespace platform::deployment::abi {

inline constexpr wchar_t package_manager_class[] = L"Windows.Management.Deployment.PackageManager";
inline constexpr wchar_t add_package_options_class[] = L"Windows.Management.Deployment.AddPackageOptions";
inline constexpr wchar_t uri_class[] = L"Windows.Foundation.Uri";

struct IDeploymentResult : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_ErrorText(HSTRING* text) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ActivityId(GUID* id) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ExtendedErrorCode(HRESULT* code) = 0;
};

struct IDeploymentResult2 : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_IsRegistered(boolean* registered) = 0;
};

// IAsyncOperationWithProgress<DeploymentResult, DeploymentProgress>; its IAsyncInfo face gives the
// status.
struct IDeploymentOperation : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE put_Progress(void* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Progress(void** handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_Completed(void* handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Completed(void** handler) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetResults(IDeploymentResult** result) = 0;
};

// Windows.Foundation.Uri's default interface, passed on without being called.
struct IUriRuntimeClass : IInspectable {};

struct IUriRuntimeClassFactory : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE CreateUri(HSTRING uri, IUriRuntimeClass** out) = 0;
};

struct IAddPackageOptions : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_DependencyPackageUris(void** out) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_TargetVolume(void** out) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_TargetVolume(void* volume) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_OptionalPackageFamilyNames(void** out) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_OptionalPackageUris(void** out) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_RelatedPackageUris(void** out) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ExternalLocationUri(IUriRuntimeClass** out) = 0;
    virtual HRESULT STDMETHODCALLTYPE put_ExternalLocationUri(IUriRuntimeClass* uri) = 0;
};

struct IPackageId : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Name(HSTRING* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Version(void* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Architecture(void* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_ResourceId(HSTRING* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_Publisher(HSTRING* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_PublisherId(HSTRING* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_FullName(HSTRING* out) = 0;
};

struct IPackage : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Id(IPackageId** out) = 0;
};

// IIterator<Package>
struct IPackageIterator : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE get_Current(IPackage** out) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_HasCurrent(boolean* out) = 0;
    virtual HRESULT STDMETHODCALLTYPE MoveNext(boolean* out) = 0;
};

// IIterable<Package>
struct IPackageIterable : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE First(IPackageIterator** out) = 0;
};

struct IPackageManager : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE AddPackageAsync(void*, void*, UINT32, IDeploymentOperation**) = 0;
    virtual HRESULT STDMETHODCALLTYPE UpdatePackageAsync(void*, void*, UINT32, IDeploymentOperation**) = 0;
    virtual HRESULT STDMETHODCALLTYPE RemovePackageAsync(HSTRING full_name, IDeploymentOperation** out) = 0;
    virtual HRESULT STDMETHODCALLTYPE StagePackageAsync(void*, void*, IDeploymentOperation**) = 0;
    virtual HRESULT STDMETHODCALLTYPE RegisterPackageAsync(void*, void*, UINT32, IDeploymentOperation**) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindPackages(IPackageIterable** out) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindPackagesByUserSecurityId(HSTRING user, IPackageIterable** out) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindPackagesByNamePublisher(HSTRING name, HSTRING publisher,
                                                                  IPackageIterable** out) = 0;
    virtual HRESULT STDMETHODCALLTYPE FindPackagesByUserSecurityIdNamePublisher(HSTRING user, HSTRING name,
                                                                                HSTRING publisher,
                                                                                IPackageIterable** out) = 0;
};

struct IPackageManager9 : IInspectable {
    virtual HRESULT STDMETHODCALLTYPE FindProvisionedPackages(void** out) = 0;
    virtual HRESULT STDMETHODCALLTYPE AddPackageByUriAsync(IUriRuntimeClass* uri, IAddPackageOptions* options,
                                                           IDeploymentOperation** out) = 0;
};

} // namespace platform::deployment::abi

__CRT_UUID_DECL(platform::deployment::abi::IDeploymentResult, 0x2563b9ae, 0xb77d, 0x4c1f, 0x8a, 0x7b, 0x20, 0xe6, 0xad,
                0x51, 0x5e, 0xf3)
__CRT_UUID_DECL(platform::deployment::abi::IDeploymentResult2, 0xfc0e715c, 0x5a01, 0x4bd7, 0xbc, 0xf1, 0x38, 0x1c, 0x8c,
                0x82, 0xe0, 0x4a)
__CRT_UUID_DECL(platform::deployment::abi::IDeploymentOperation, 0x5a97aab7, 0xb6ea, 0x55ac, 0xa5, 0xdc, 0xd5, 0xb1,
                0x64, 0xd9, 0x4e, 0x94)
__CRT_UUID_DECL(platform::deployment::abi::IUriRuntimeClass, 0x9e365e57, 0x48b2, 0x4160, 0x95, 0x6f, 0xc7, 0x38, 0x51,
                0x20, 0xbb, 0xfc)
__CRT_UUID_DECL(platform::deployment::abi::IUriRuntimeClassFactory, 0x44a9796f, 0x723e, 0x4fdf, 0xa2, 0x18, 0x03, 0x3e,
                0x75, 0xb0, 0xc0, 0x84)
__CRT_UUID_DECL(platform::deployment::abi::IAddPackageOptions, 0x05cee018, 0xf68f, 0x422b, 0x95, 0xa4, 0x66, 0x67, 0x9e,
                0xc7, 0x7f, 0xc0)
__CRT_UUID_DECL(platform::deployment::abi::IPackageId, 0x1adb665e, 0x37c7, 0x4790, 0x99, 0x80, 0xdd, 0x7a, 0xe7, 0x4e,
                0x8b, 0xb2)
__CRT_UUID_DECL(platform::deployment::abi::IPackage, 0x163c792f, 0xbd75, 0x413c, 0xbf, 0x23, 0xb1, 0xfe, 0x7b, 0x95,
                0xd8, 0x25)
__CRT_UUID_DECL(platform::deployment::abi::IPackageManager, 0x9a7d4b65, 0x5e8f, 0x4fc7, 0xa2, 0xe5, 0x7f, 0x69, 0x25,
                0xcb, 0x8b, 0x53)
__CRT_UUID_DECL(platform::deployment::abi::IPackageManager9, 0x1aa79035, 0xcc71, 0x4b2e, 0x80, 0xa6, 0xc7, 0x04, 0x1d,
                0x85, 0x79, 0xa7)
