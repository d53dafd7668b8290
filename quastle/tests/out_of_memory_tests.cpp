// Out of memory at each allocation in turn: every COM entry answers E_OUTOFMEMORY with a null out
// pointer, or succeeds, and no object stays counted in the module.
#include "fake_shell_items.h"

#include <quastle/command/explorer_command.h>

#include <testing/support/failing_allocator.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using quastle::testing::make_items;

bool ok_or_out_of_memory(HRESULT hr) { return hr == S_OK || hr == E_OUTOFMEMORY; }

TEST(OutOfMemory, CommandObjects)
{
    const LONG baseline = Ostrel::com::module_count;
    int failures = 0;
    for (int n = 0;; ++n) {
        SCOPED_TRACE(n);
        auto items = make_items({.path = L"C:\\Data"});
        IExplorerCommand* root = nullptr;
        IEnumExplorerCommand* entries = nullptr;
        IEnumExplorerCommand* clone = nullptr;
        LPWSTR title = nullptr;
        HRESULT create = S_OK, enumerate = S_OK, copy = S_OK, name = S_OK;
        bool fired;
        {
            test_support::allocation_failure fail(n);
            create = quastle::explorer_command::create(nullptr, IID_IExplorerCommand, reinterpret_cast<void**>(&root));
            if (root)
                enumerate = root->EnumSubCommands(&entries);
            if (entries)
                copy = entries->Clone(&clone);
            if (root)
                name = root->GetTitle(items.get(), &title);
            fired = fail.fired();
        }
        for (const HRESULT hr : {create, enumerate, copy, name})
            EXPECT_TRUE(ok_or_out_of_memory(hr)) << std::hex << hr;
        EXPECT_EQ(root != nullptr, create == S_OK);
        EXPECT_EQ(entries != nullptr, root && enumerate == S_OK);
        EXPECT_EQ(clone != nullptr, entries && copy == S_OK);
        EXPECT_EQ(title != nullptr, root && name == S_OK);
        if (title) {
            EXPECT_STREQ(title, L"Convert to Deduplicated Folder");
        }
        CoTaskMemFree(title);
        for (IUnknown* object : {static_cast<IUnknown*>(clone), static_cast<IUnknown*>(entries),
                                 static_cast<IUnknown*>(root)})
            if (object)
                object->Release();
        EXPECT_EQ(Ostrel::com::module_count, baseline);
        if (!fired)
            break;
        ++failures;
    }
    EXPECT_GT(failures, 3);
}

// Task memory (the texts Explorer receives) runs out while armed: the spy asks the allocator for
// nothing, so CoTaskMemAlloc answers null.
class failing_task_memory final : public IMallocSpy {
public:
    failing_task_memory() { registered_ = SUCCEEDED(CoRegisterMallocSpy(this)); }
    ~failing_task_memory()
    {
        if (registered_)
            CoRevokeMallocSpy();
    }
    bool registered() const { return registered_; }
    bool armed = false;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override
    {
        *out = IsEqualGUID(iid, IID_IUnknown) || IsEqualGUID(iid, IID_IMallocSpy) ? this : nullptr;
        return *out ? S_OK : E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    SIZE_T STDMETHODCALLTYPE PreAlloc(SIZE_T size) override { return armed ? 0 : size; }
    void* STDMETHODCALLTYPE PostAlloc(void* actual) override { return actual; }
    void* STDMETHODCALLTYPE PreFree(void* request, BOOL) override { return request; }
    void STDMETHODCALLTYPE PostFree(BOOL) override {}
    SIZE_T STDMETHODCALLTYPE PreRealloc(void* request, SIZE_T size, void** actual, BOOL) override
    {
        *actual = request;
        return size;
    }
    void* STDMETHODCALLTYPE PostRealloc(void* actual, BOOL) override { return actual; }
    void* STDMETHODCALLTYPE PreGetSize(void* request, BOOL) override { return request; }
    SIZE_T STDMETHODCALLTYPE PostGetSize(SIZE_T size, BOOL) override { return size; }
    void* STDMETHODCALLTYPE PreDidAlloc(void* request, BOOL) override { return request; }
    int STDMETHODCALLTYPE PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    void STDMETHODCALLTYPE PreHeapMinimize() override {}
    void STDMETHODCALLTYPE PostHeapMinimize() override {}

private:
    bool registered_ = false;
};

// What the process writes to the debugger output meanwhile: OutputDebugString raises an exception
// that a vectored handler sees before the system handles it.
class debugger_output {
public:
    debugger_output() { handler_ = AddVectoredExceptionHandler(1, &debugger_output::seen); }
    ~debugger_output() { RemoveVectoredExceptionHandler(handler_); }
    static std::string text() { return text_; }

private:
    static LONG CALLBACK seen(EXCEPTION_POINTERS* info)
    {
        const EXCEPTION_RECORD* record = info->ExceptionRecord;
        if (record->ExceptionCode == 0x40010006 && record->NumberParameters >= 2) // DBG_PRINTEXCEPTION_C
            text_.append(reinterpret_cast<const char*>(record->ExceptionInformation[1]));
        return EXCEPTION_CONTINUE_SEARCH;
    }
    static inline std::string text_;
    void* handler_;
};

TEST(OutOfMemory, TextsForExplorer)
{
    debugger_output output;
    failing_task_memory spy;
    ASSERT_TRUE(spy.registered());
    IExplorerCommand* root = nullptr;
    ASSERT_EQ(quastle::explorer_command::create(nullptr, IID_IExplorerCommand, reinterpret_cast<void**>(&root)), S_OK);
    IEnumExplorerCommand* entries = nullptr;
    ASSERT_EQ(root->EnumSubCommands(&entries), S_OK);
    IExplorerCommand* open = nullptr;
    ASSERT_EQ(entries->Next(1, &open, nullptr), S_OK);

    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    spy.armed = true;
    EXPECT_EQ(root->GetTitle(nullptr, &text), E_OUTOFMEMORY);
    EXPECT_EQ(text, nullptr);
    text = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(root->GetIcon(nullptr, &text), E_OUTOFMEMORY);
    EXPECT_EQ(text, nullptr);
    text = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(open->GetTitle(nullptr, &text), E_OUTOFMEMORY);
    EXPECT_EQ(text, nullptr);
    spy.armed = false;
    // Each failure is also reported where the platform's error reporting would see it.
    EXPECT_NE(debugger_output::text().find("quastle/command"), std::string::npos) << debugger_output::text();

    ASSERT_EQ(open->GetTitle(nullptr, &text), S_OK);
    EXPECT_STREQ(text, L"Open configuration utility");
    CoTaskMemFree(text);
    open->Release();
    entries->Release();
    root->Release();
}

} // namespace
