#pragma once
// The class factory of an in-process COM server: one factory per DllGetClassObject call, made for
// the CLSID asked for. The CLSID is looked up only by CreateInstance, so a factory is handed out
// for any CLSID and a foreign one answers REGDB_E_CLASSNOTREG there. Factories do not count in
// module_count; LockServer does.

#include <ostrel/com/object.h>

#include <span>

namespace Ostrel::com {

// One creatable class: its CLSID and the function that makes an instance and asks it for an
// interface (aggregation is the creation function's to refuse).
struct class_entry {
    const CLSID* clsid;
    HRESULT (*create)(IUnknown* outer, REFIID iid, void** out);
};

namespace details {

class Factory : public object<Factory, IClassFactory> {
public:
    Factory(const CLSID& clsid, std::span<const class_entry> classes) noexcept : clsid_(clsid), classes_(classes) {}

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        for (const class_entry& entry : classes_)
            if (IsEqualGUID(*entry.clsid, clsid_))
                return entry.create(outer, iid, out);
        return REGDB_E_CLASSNOTREG;
    }

    HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override
    {
        if (lock)
            InterlockedIncrement(&module_count);
        else
            InterlockedDecrement(&module_count);
        return S_OK;
    }

private:
    CLSID clsid_;
    std::span<const class_entry> classes_;
};

} // namespace details
} // namespace Ostrel::com
