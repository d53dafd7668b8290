// Out of memory at each allocation in turn: every COM entry answers E_OUTOFMEMORY with a null out
// pointer, or succeeds, and no object stays counted in the module.
#include "fake_shell_items.h"

#include <quastle/command/explorer_command.h>

#include <testing/support/failing_allocator.h>

#include <gtest/gtest.h>

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

} // namespace
