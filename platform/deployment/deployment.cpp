#include <platform/deployment/deployment.h>
#include <platform/deployment/deployment_interfaces.h>

#include <utility>

namespace platform::deployment {
namespace {

using namespace abi;

// One owned interface reference.
template <class I>
class ref {
public:
    ref() noexcept = default;
    ref(const ref&) = delete;
    ref& operator=(const ref&) = delete;
    ~ref()
    {
        if (p_)
            p_->Release();
    }
    I** put() noexcept { return &p_; }
    I* get() const noexcept { return p_; }
    I* operator->() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }

    template <class J>
    HRESULT query(ref<J>& out) const noexcept
    {
        return p_->QueryInterface(__uuidof(J), reinterpret_cast<void**>(out.put()));
    }

private:
    I* p_ = nullptr;
};

// One owned runtime string.
class string {
public:
    explicit string(runtime& rt) noexcept : rt_(rt) {}
    string(const string&) = delete;
    string& operator=(const string&) = delete;
    ~string()
    {
        if (s_)
            rt_.delete_string(s_);
    }
    HSTRING* put() noexcept { return &s_; }
    HSTRING get() const noexcept { return s_; }

private:
    runtime& rt_;
    HSTRING s_ = nullptr;
};

// A failed runtime call ends the whole package step: its cause is not the caller's business.
#define RETURN_FAIL_IF_FAILED(call)                                                                                   \
    do {                                                                                                              \
        if (FAILED(call))                                                                                             \
            return E_FAIL;                                                                                            \
    } while (false)

HRESULT make_uri(runtime& rt, std::wstring_view text, ref<IUriRuntimeClass>& out)
{
    ref<IUriRuntimeClassFactory> factory;
    RETURN_FAIL_IF_FAILED(
        rt.get_activation_factory(uri_class, __uuidof(IUriRuntimeClassFactory), reinterpret_cast<void**>(factory.put())));
    string value(rt);
    RETURN_FAIL_IF_FAILED(rt.create_string(text, value.put()));
    RETURN_FAIL_IF_FAILED(factory->CreateUri(value.get(), out.put()));
    return out ? S_OK : E_FAIL;
}

template <class I>
HRESULT activate(runtime& rt, std::wstring_view class_name, ref<I>& out)
{
    ref<IInspectable> instance;
    RETURN_FAIL_IF_FAILED(rt.activate_instance(class_name, instance.put()));
    if (!instance)
        return E_FAIL;
    RETURN_FAIL_IF_FAILED(instance.query(out));
    return S_OK;
}

// Blocks the calling thread until the operation has left the started state: S_OK when it completed,
// E_FAIL when it failed, was cancelled or its status cannot be read.
HRESULT wait(runtime& rt, IDeploymentOperation* operation)
{
    ref<IAsyncInfo> info;
    RETURN_FAIL_IF_FAILED(operation->QueryInterface(__uuidof(IAsyncInfo), reinterpret_cast<void**>(info.put())));
    for (;;) {
        AsyncStatus status = Started;
        RETURN_FAIL_IF_FAILED(info->get_Status(&status));
        if (status == Completed)
            return S_OK;
        if (status != Started)
            return E_FAIL;
        rt.pause();
    }
}

} // namespace

HRESULT add_package(runtime& rt, std::wstring_view package_file, std::wstring_view external_location)
{
    ref<IPackageManager9> manager;
    RETURN_FAIL_IF_FAILED(activate(rt, package_manager_class, manager));
    ref<IAddPackageOptions> options;
    RETURN_FAIL_IF_FAILED(activate(rt, add_package_options_class, options));
    ref<IUriRuntimeClass> location;
    RETURN_FAIL_IF_FAILED(make_uri(rt, external_location, location));
    RETURN_FAIL_IF_FAILED(options->put_ExternalLocationUri(location.get()));
    ref<IUriRuntimeClass> package;
    RETURN_FAIL_IF_FAILED(make_uri(rt, package_file, package));

    ref<IDeploymentOperation> operation;
    RETURN_FAIL_IF_FAILED(manager->AddPackageByUriAsync(package.get(), options.get(), operation.put()));
    if (!operation)
        return E_FAIL;
    RETURN_FAIL_IF_FAILED(wait(rt, operation.get()));
    ref<IDeploymentResult> result;
    RETURN_FAIL_IF_FAILED(operation->GetResults(result.put()));
    if (!result)
        return E_FAIL;
    ref<IDeploymentResult2> registration;
    RETURN_FAIL_IF_FAILED(result.query(registration));
    boolean registered = false;
    RETURN_FAIL_IF_FAILED(registration->get_IsRegistered(&registered));
    if (registered)
        return S_OK;
    // Not registered: the operation's own code says why; a success code lets the caller go on.
    HRESULT code = S_OK;
    RETURN_FAIL_IF_FAILED(result->get_ExtendedErrorCode(&code));
    return code;
}

HRESULT remove_packages(runtime& rt, std::wstring_view name, std::wstring_view publisher)
{
    ref<IPackageManager> manager;
    RETURN_FAIL_IF_FAILED(activate(rt, package_manager_class, manager));
    // An empty user: the current one.
    string user(rt), package_name(rt), package_publisher(rt);
    RETURN_FAIL_IF_FAILED(rt.create_string({}, user.put()));
    RETURN_FAIL_IF_FAILED(rt.create_string(name, package_name.put()));
    RETURN_FAIL_IF_FAILED(rt.create_string(publisher, package_publisher.put()));
    ref<IPackageIterable> packages;
    RETURN_FAIL_IF_FAILED(manager->FindPackagesByUserSecurityIdNamePublisher(user.get(), package_name.get(),
                                                                             package_publisher.get(), packages.put()));
    if (!packages)
        return E_FAIL;
    ref<IPackageIterator> each;
    RETURN_FAIL_IF_FAILED(packages->First(each.put()));
    if (!each)
        return E_FAIL;
    boolean more = false;
    RETURN_FAIL_IF_FAILED(each->get_HasCurrent(&more));
    while (more) {
        ref<IPackage> package;
        RETURN_FAIL_IF_FAILED(each->get_Current(package.put()));
        ref<IPackageId> id;
        if (!package || FAILED(package->get_Id(id.put())) || !id)
            return E_FAIL;
        string full_name(rt);
        RETURN_FAIL_IF_FAILED(id->get_FullName(full_name.put()));
        ref<IDeploymentOperation> operation;
        RETURN_FAIL_IF_FAILED(manager->RemovePackageAsync(full_name.get(), operation.put()));
        if (!operation)
            return E_FAIL;
        RETURN_FAIL_IF_FAILED(wait(rt, operation.get()));
        RETURN_FAIL_IF_FAILED(each->MoveNext(&more));
    }
    return S_OK;
}

// ---- combase ----

namespace {

class combase_runtime final : public runtime {
public:
    combase_runtime() noexcept
    {
        // Only the system folder: the installer calls us from its temporary folder.
        module_ = LoadLibraryExW(L"combase.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (!module_)
            return;
        find(activate_instance_, "RoActivateInstance");
        find(get_activation_factory_, "RoGetActivationFactory");
        find(create_string_, "WindowsCreateString");
        find(delete_string_, "WindowsDeleteString");
        find(string_buffer_, "WindowsGetStringRawBuffer");
        find(increment_mta_usage_, "CoIncrementMTAUsage");
    }

    HRESULT activate_instance(std::wstring_view class_name, IInspectable** out) override
    {
        *out = nullptr;
        if (!activate_instance_)
            return REGDB_E_CLASSNOTREG;
        return with_apartment([&](HSTRING name) { return activate_instance_(name, out); }, class_name);
    }

    HRESULT get_activation_factory(std::wstring_view class_name, REFIID iid, void** out) override
    {
        *out = nullptr;
        if (!get_activation_factory_)
            return REGDB_E_CLASSNOTREG;
        return with_apartment([&](HSTRING name) { return get_activation_factory_(name, iid, out); }, class_name);
    }

    HRESULT create_string(std::wstring_view text, HSTRING* out) override
    {
        *out = nullptr;
        if (!create_string_)
            return E_NOTIMPL;
        return create_string_(text.data(), static_cast<UINT32>(text.size()), out);
    }

    std::wstring_view string_text(HSTRING text) override
    {
        if (!string_buffer_ || !text)
            return {};
        UINT32 length = 0;
        const wchar_t* buffer = string_buffer_(text, &length);
        return buffer ? std::wstring_view(buffer, length) : std::wstring_view();
    }

    void delete_string(HSTRING text) override
    {
        if (delete_string_)
            delete_string_(text);
    }

    void pause() override { Sleep(20); }

private:
    template <class F>
    void find(F& function, const char* name) noexcept
    {
        function = reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module_, name)));
    }

    // A thread outside any apartment cannot activate; the process's multithreaded apartment is
    // then kept alive for the rest of its life (its cookie is never given back, as the library
    // may be called again), and the activation is tried once more.
    template <class F>
    HRESULT with_apartment(F&& call, std::wstring_view class_name)
    {
        HSTRING name = nullptr;
        if (const HRESULT hr = create_string(class_name, &name); FAILED(hr))
            return hr;
        HRESULT hr = call(name);
        if (hr == CO_E_NOTINITIALIZED && increment_mta_usage_) {
            void* cookie = nullptr;
            if (SUCCEEDED(increment_mta_usage_(&cookie)))
                hr = call(name);
        }
        delete_string(name);
        return hr;
    }

    HMODULE module_ = nullptr;
    HRESULT(WINAPI* activate_instance_)(HSTRING, IInspectable**) = nullptr;
    HRESULT(WINAPI* get_activation_factory_)(HSTRING, REFIID, void**) = nullptr;
    HRESULT(WINAPI* create_string_)(const wchar_t*, UINT32, HSTRING*) = nullptr;
    HRESULT(WINAPI* delete_string_)(HSTRING) = nullptr;
    const wchar_t*(WINAPI* string_buffer_)(HSTRING, UINT32*) = nullptr;
    HRESULT(WINAPI* increment_mta_usage_)(void**) = nullptr;
};

} // namespace

runtime& system_runtime()
{
    static combase_runtime rt;
    return rt;
}

} // namespace platform::deployment
