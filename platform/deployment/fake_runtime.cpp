#include <platform/deployment/fake_runtime.h>
#include <platform/deployment/deployment_interfaces.h>

#include <algorithm>
#include <functional>
#include <new>
#include <utility>

namespace platform::deployment {
namespace {

using namespace abi;

// The runtime's answers for a result asked for too early and for an index past the end.
constexpr HRESULT illegal_method_call = static_cast<HRESULT>(0x8000000E);
constexpr HRESULT out_of_bounds = static_cast<HRESULT>(0x8000000B);

// IUnknown and IInspectable once for all the object's interfaces; `Main` answers IUnknown and
// IInspectable, and each class answers its own interfaces in `find`.
template <class Main, class... Others>
class fake_object : public Main, public Others... {
public:
    explicit fake_object(fake_runtime& rt) noexcept : rt_(rt) { ++rt_.live_objects; }
    virtual ~fake_object() { --rt_.live_objects; }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        if (IsEqualGUID(iid, __uuidof(IUnknown)) || IsEqualGUID(iid, __uuidof(IInspectable)))
            *out = static_cast<Main*>(this);
        else
            *out = find(iid);
        if (!*out)
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references_; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        const ULONG left = --references_;
        if (left == 0)
            delete this;
        return left;
    }
    HRESULT STDMETHODCALLTYPE GetIids(ULONG* count, IID** iids) override
    {
        *count = 0;
        *iids = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetRuntimeClassName(HSTRING* name) override
    {
        *name = nullptr;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTrustLevel(TrustLevel* level) override
    {
        *level = BaseTrust;
        return S_OK;
    }

protected:
    virtual void* find(REFIID iid) = 0;
    fake_runtime& rt_;

private:
    ULONG references_ = 1;
};

template <class I, class T>
void* answer_if(REFIID iid, T* self)
{
    return IsEqualGUID(iid, __uuidof(I)) ? static_cast<I*>(self) : nullptr;
}

class fake_uri final : public fake_object<IUriRuntimeClass> {
public:
    fake_uri(fake_runtime& rt, std::wstring text) : fake_object(rt), text(std::move(text)) {}
    const std::wstring text;

private:
    void* find(REFIID iid) override { return answer_if<IUriRuntimeClass>(iid, this); }
};

std::wstring text_of(IUriRuntimeClass* uri) { return uri ? static_cast<fake_uri*>(uri)->text : L"(null)"; }

class fake_uri_factory final : public fake_object<IUriRuntimeClassFactory> {
public:
    using fake_object::fake_object;
    HRESULT STDMETHODCALLTYPE CreateUri(HSTRING text, IUriRuntimeClass** out) override
    {
        *out = nullptr;
        const std::wstring value(rt_.string_text(text));
        rt_.calls.push_back(L"uri " + value);
        if (FAILED(rt_.create_uri_result))
            return rt_.create_uri_result;
        *out = new fake_uri(rt_, value);
        return S_OK;
    }

private:
    void* find(REFIID iid) override { return answer_if<IUriRuntimeClassFactory>(iid, this); }
};

class fake_options final : public fake_object<IAddPackageOptions> {
public:
    using fake_object::fake_object;
    HRESULT STDMETHODCALLTYPE get_DependencyPackageUris(void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_TargetVolume(void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_TargetVolume(void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_OptionalPackageFamilyNames(void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_OptionalPackageUris(void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_RelatedPackageUris(void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_ExternalLocationUri(IUriRuntimeClass**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ExternalLocationUri(IUriRuntimeClass* uri) override
    {
        rt_.calls.push_back(L"external " + text_of(uri));
        return rt_.put_external_location_result;
    }

private:
    void* find(REFIID iid) override { return answer_if<IAddPackageOptions>(iid, this); }
};

class fake_result final : public fake_object<IDeploymentResult, IDeploymentResult2> {
public:
    fake_result(fake_runtime& rt, bool registered, HRESULT code) : fake_object(rt), registered_(registered), code_(code) {}
    HRESULT STDMETHODCALLTYPE get_ErrorText(HSTRING* text) override { return rt_.create_string(L"", text); }
    HRESULT STDMETHODCALLTYPE get_ActivityId(GUID* id) override
    {
        *id = GUID{};
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_ExtendedErrorCode(HRESULT* code) override
    {
        *code = code_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_IsRegistered(boolean* registered) override
    {
        *registered = registered_;
        return S_OK;
    }

private:
    void* find(REFIID iid) override
    {
        if (void* face = answer_if<IDeploymentResult>(iid, this))
            return face;
        return answer_if<IDeploymentResult2>(iid, this);
    }
    bool registered_;
    HRESULT code_;
};

// Started for the script's number of looks, then ends with `status`; a completed one then has its
// effect on the package list, once.
class fake_operation final : public fake_object<IDeploymentOperation, IAsyncInfo> {
public:
    fake_operation(fake_runtime& rt, AsyncStatus status, bool registered, HRESULT code, std::function<void()> effect)
        : fake_object(rt), status_(status), registered_(registered), code_(code), effect_(std::move(effect)),
          polls_left_(rt.polls_before_end)
    {
    }
    HRESULT STDMETHODCALLTYPE put_Progress(void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Progress(void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_Completed(void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Completed(void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetResults(IDeploymentResult** out) override
    {
        *out = nullptr;
        if (polls_left_ > 0 || status_ != Completed)
            return illegal_method_call;
        *out = new fake_result(rt_, registered_, code_);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Id(unsigned int* id) override
    {
        *id = 1;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_Status(AsyncStatus* status) override
    {
        if (polls_left_ > 0) {
            --polls_left_;
            *status = Started;
            return S_OK;
        }
        if (effect_ && status_ == Completed)
            std::exchange(effect_, nullptr)();
        *status = status_;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_ErrorCode(HRESULT* code) override
    {
        *code = status_ == Error ? E_FAIL : S_OK;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE Cancel() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Close() override { return S_OK; }

private:
    void* find(REFIID iid) override
    {
        if (void* face = answer_if<IDeploymentOperation>(iid, this))
            return face;
        return answer_if<IAsyncInfo>(iid, this);
    }
    AsyncStatus status_;
    bool registered_;
    HRESULT code_;
    std::function<void()> effect_;
    int polls_left_;
};

class fake_package_id final : public fake_object<IPackageId> {
public:
    fake_package_id(fake_runtime& rt, std::wstring full_name) : fake_object(rt), full_name_(std::move(full_name)) {}
    HRESULT STDMETHODCALLTYPE get_Name(HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Version(void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Architecture(void*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_ResourceId(HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_Publisher(HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_PublisherId(HSTRING*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_FullName(HSTRING* out) override { return rt_.create_string(full_name_, out); }

private:
    void* find(REFIID iid) override { return answer_if<IPackageId>(iid, this); }
    std::wstring full_name_;
};

class fake_package final : public fake_object<IPackage> {
public:
    fake_package(fake_runtime& rt, std::wstring full_name) : fake_object(rt), full_name_(std::move(full_name)) {}
    HRESULT STDMETHODCALLTYPE get_Id(IPackageId** out) override
    {
        *out = new fake_package_id(rt_, full_name_);
        return S_OK;
    }

private:
    void* find(REFIID iid) override { return answer_if<IPackage>(iid, this); }
    std::wstring full_name_;
};

// Over a copy of the full names found, as the platform's collection is a snapshot.
class fake_iterator final : public fake_object<IPackageIterator> {
public:
    fake_iterator(fake_runtime& rt, std::vector<std::wstring> names) : fake_object(rt), names_(std::move(names)) {}
    HRESULT STDMETHODCALLTYPE get_Current(IPackage** out) override
    {
        *out = nullptr;
        if (next_ >= names_.size())
            return out_of_bounds;
        *out = new fake_package(rt_, names_[next_]);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_HasCurrent(boolean* out) override
    {
        *out = next_ < names_.size();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE MoveNext(boolean* out) override
    {
        if (next_ < names_.size())
            ++next_;
        *out = next_ < names_.size();
        return S_OK;
    }

private:
    void* find(REFIID) override { return nullptr; }
    std::vector<std::wstring> names_;
    std::size_t next_ = 0;
};

class fake_iterable final : public fake_object<IPackageIterable> {
public:
    fake_iterable(fake_runtime& rt, std::vector<std::wstring> names) : fake_object(rt), names_(std::move(names)) {}
    HRESULT STDMETHODCALLTYPE First(IPackageIterator** out) override
    {
        *out = new fake_iterator(rt_, names_);
        return S_OK;
    }

private:
    void* find(REFIID) override { return nullptr; }
    std::vector<std::wstring> names_;
};

class fake_manager final : public fake_object<IPackageManager, IPackageManager9> {
public:
    using fake_object::fake_object;

    HRESULT STDMETHODCALLTYPE AddPackageAsync(void*, void*, UINT32, IDeploymentOperation**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE UpdatePackageAsync(void*, void*, UINT32, IDeploymentOperation**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE RemovePackageAsync(HSTRING full_name, IDeploymentOperation** out) override
    {
        *out = nullptr;
        const std::wstring name(rt_.string_text(full_name));
        rt_.calls.push_back(L"remove " + name);
        if (FAILED(rt_.remove_call_result))
            return rt_.remove_call_result;
        fake_runtime& rt = rt_;
        *out = new fake_operation(rt_, rt_.remove_status, true, S_OK, [&rt, name] {
            std::erase_if(rt.registered, [&](const fake_runtime::package& p) { return p.full_name == name; });
        });
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE StagePackageAsync(void*, void*, IDeploymentOperation**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE RegisterPackageAsync(void*, void*, UINT32, IDeploymentOperation**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindPackages(IPackageIterable**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindPackagesByUserSecurityId(HSTRING, IPackageIterable**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE FindPackagesByNamePublisher(HSTRING, HSTRING, IPackageIterable**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE FindPackagesByUserSecurityIdNamePublisher(HSTRING user, HSTRING name, HSTRING publisher,
                                                                        IPackageIterable** out) override
    {
        *out = nullptr;
        const std::wstring wanted_name(rt_.string_text(name)), wanted_publisher(rt_.string_text(publisher));
        rt_.calls.push_back(L"find " + std::wstring(rt_.string_text(user)) + L"|" + wanted_name + L"|" + wanted_publisher);
        if (FAILED(rt_.find_result))
            return rt_.find_result;
        std::vector<std::wstring> names;
        for (const auto& p : rt_.registered)
            if (p.name == wanted_name && p.publisher == wanted_publisher)
                names.push_back(p.full_name);
        *out = new fake_iterable(rt_, std::move(names));
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE FindProvisionedPackages(void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AddPackageByUriAsync(IUriRuntimeClass* uri, IAddPackageOptions* options,
                                                   IDeploymentOperation** out) override
    {
        *out = nullptr;
        rt_.calls.push_back(L"add " + text_of(uri));
        if (!options)
            return E_INVALIDARG;
        if (FAILED(rt_.add_call_result))
            return rt_.add_call_result;
        fake_runtime& rt = rt_;
        const bool registers = rt_.add_registers;
        *out = new fake_operation(rt_, rt_.add_status, registers, rt_.add_extended_error, [&rt, registers] {
            if (registers)
                rt.registered.push_back(rt.added);
        });
        return S_OK;
    }

private:
    void* find(REFIID iid) override
    {
        if (void* face = answer_if<IPackageManager>(iid, this))
            return face;
        return answer_if<IPackageManager9>(iid, this);
    }
};

} // namespace

HRESULT fake_runtime::activate_instance(std::wstring_view class_name, IInspectable** out)
{
    *out = nullptr;
    calls.push_back(L"activate " + std::wstring(class_name));
    if (missing_classes.contains(std::wstring(class_name)))
        return REGDB_E_CLASSNOTREG;
    if (class_name == package_manager_class)
        *out = static_cast<IPackageManager*>(new fake_manager(*this));
    else if (class_name == add_package_options_class)
        *out = new fake_options(*this);
    else
        return REGDB_E_CLASSNOTREG;
    return S_OK;
}

HRESULT fake_runtime::get_activation_factory(std::wstring_view class_name, REFIID iid, void** out)
{
    *out = nullptr;
    calls.push_back(L"factory " + std::wstring(class_name));
    if (missing_classes.contains(std::wstring(class_name)) || class_name != uri_class)
        return REGDB_E_CLASSNOTREG;
    auto* factory = new fake_uri_factory(*this);
    const HRESULT hr = factory->QueryInterface(iid, out);
    factory->Release();
    return hr;
}

HRESULT fake_runtime::create_string(std::wstring_view text, HSTRING* out)
{
    // The empty string is the null one, as the platform's.
    if (text.empty()) {
        *out = nullptr;
        return S_OK;
    }
    *out = reinterpret_cast<HSTRING>(new std::wstring(text));
    ++live_strings;
    return S_OK;
}

std::wstring_view fake_runtime::string_text(HSTRING text)
{
    return text ? std::wstring_view(*reinterpret_cast<std::wstring*>(text)) : std::wstring_view();
}

void fake_runtime::delete_string(HSTRING text)
{
    if (!text)
        return;
    delete reinterpret_cast<std::wstring*>(text);
    --live_strings;
}

} // namespace platform::deployment
