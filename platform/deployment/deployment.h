#pragma once
// The package layer: adds a sparse package (a package file whose content lives in an external
// folder) for the current user, and removes the current user's packages of one name and publisher.
//
// Both go through the Windows Runtime's package manager, reached only through `runtime`, which
// activates classes by name and makes and reads the runtime's strings. The system's runtime is
// combase's; tests pass a scripted one (fake_runtime.h). Every failure of the runtime (a class that
// is not registered, a call or an operation that fails or is cancelled) is reported as E_FAIL: the
// callers undo on any failure and have nothing finer to do with the cause. A package operation that
// completes without registering the package is the one exception: its extended error code is
// returned as it is.

#include <windows.h>
#include <hstring.h>
#include <inspectable.h>

#include <string_view>

namespace platform::deployment {

class runtime {
public:
    virtual ~runtime() = default;

    // A new instance of the class named `class_name` ("Windows.Management.Deployment.PackageManager").
    virtual HRESULT activate_instance(std::wstring_view class_name, IInspectable** out) = 0;
    // The activation factory of the class, asked for `iid`.
    virtual HRESULT get_activation_factory(std::wstring_view class_name, REFIID iid, void** out) = 0;

    // The runtime's own strings: made from text, read back, and released.
    virtual HRESULT create_string(std::wstring_view text, HSTRING* out) = 0;
    virtual std::wstring_view string_text(HSTRING text) = 0;
    virtual void delete_string(HSTRING text) = 0;

    // Between two looks at a running operation.
    virtual void pause() = 0;
};

// combase's runtime, its functions found at run time in the system folder. On a thread that has not
// entered an apartment, activation keeps the process's multithreaded apartment alive and tries again.
runtime& system_runtime();

// Adds `package_file` for the current user with `external_location` as its external location, and
// waits until the operation has ended.
HRESULT add_package(runtime& rt, std::wstring_view package_file, std::wstring_view external_location);

// Removes every package of the current user with that name and publisher, one after the other,
// each waited for; what each removal reports is not looked at.
HRESULT remove_packages(runtime& rt, std::wstring_view name, std::wstring_view publisher);

} // namespace platform::deployment
