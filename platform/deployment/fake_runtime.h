#pragma once
// A scripted stand-in for the Windows Runtime's package manager, for tests: it answers as the
// script says, keeps the current user's registered packages in a list, and logs every call as one
// line. It also counts its live objects and strings, so a test sees a reference the layer forgot.

#include <platform/deployment/deployment.h>

#include <asyncinfo.h>

#include <set>
#include <string>
#include <vector>

namespace platform::deployment {

class fake_runtime final : public runtime {
public:
    struct package {
        std::wstring name;
        std::wstring publisher;
        std::wstring full_name;
    };

    // ---- the script ----
    // Classes whose activation answers class-not-registered (as Wine does for all of them).
    std::set<std::wstring> missing_classes;
    HRESULT create_uri_result = S_OK;
    HRESULT put_external_location_result = S_OK;
    HRESULT add_call_result = S_OK;       // AddPackageByUriAsync itself
    AsyncStatus add_status = Completed;   // how the add operation ends
    bool add_registers = true;            // its result's IsRegistered
    HRESULT add_extended_error = S_OK;    // its result's ExtendedErrorCode
    package added;                        // what a registering add registers
    HRESULT find_result = S_OK;
    HRESULT remove_call_result = S_OK;    // RemovePackageAsync itself
    AsyncStatus remove_status = Completed;
    int polls_before_end = 2;             // looks at an operation that still find it started

    // ---- the state ----
    std::vector<package> registered;
    // "activate <class>", "factory <class>", "uri <text>", "external <text>", "add <uri>",
    // "find <user>|<name>|<publisher>", "remove <full name>".
    std::vector<std::wstring> calls;
    int live_objects = 0;
    int live_strings = 0;
    int pauses = 0;

    HRESULT activate_instance(std::wstring_view class_name, IInspectable** out) override;
    HRESULT get_activation_factory(std::wstring_view class_name, REFIID iid, void** out) override;
    HRESULT create_string(std::wstring_view text, HSTRING* out) override;
    std::wstring_view string_text(HSTRING text) override;
    void delete_string(HSTRING text) override;
    void pause() override { ++pauses; }
};

} // namespace platform::deployment
