// The start-up on a package folder: the signals the window waits for, the icon, the run type from
// the installed product and the folder properties.

#include <tolvane/package.h>
#include <tolvane/startup.h>
#include <tolvane/uninstall_entry.h>

#include <gtest/gtest.h>
#include <testing/support/test_support.h>

#include <ostrel/registry_ex.h>

#include <objbase.h>
#include <wincodec.h>

#include <string>

namespace {

using namespace tolvane;
using test_support::hresult_of;
using test_support::temp_folder;

const unsigned char one_pixel_png[] = {
    0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 0x00, 0x00, 0x00, 0x0D, 0x49, 0x48, 0x44, 0x52, 0x00, 0x00,
    0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x08, 0x06, 0x00, 0x00, 0x00, 0x1F, 0x15, 0xC4, 0x89, 0x00, 0x00, 0x00,
    0x0D, 0x49, 0x44, 0x41, 0x54, 0x78, 0xDA, 0x63, 0xFC, 0xCF, 0xC0, 0x50, 0x0F, 0x00, 0x04, 0x85, 0x01, 0x80,
    0x84, 0xA9, 0x8C, 0x21, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};

class Startup : public ::testing::Test {
protected:
    temp_folder dir;
    package pkg;
    std::wstring app_id = L"TolvaneStartupTest-" + std::to_wstring(GetCurrentProcessId()) + L"-"
                          + std::to_wstring(GetTickCount64());

    void SetUp() override
    {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        pkg.options().allow_parallel = true;
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, (uninstall_key_base + app_id).c_str()); }

    void write_config(const std::string& general = "[General]\r\n[Feature_root]\r\n")
    {
        const std::string id(app_id.begin(), app_id.end());
        test_support::write_file(dir / L"config.ini",
                                 test_support::to_bytes("[Configuration]\r\nSourceID={5A1D0C3E-7B2F-4E51-9C3A-2B6D8E4F1A07}\r\n"
                                                        "MAJOR=2\r\nMINOR=1\r\nREVISION=0\r\nBUILD=7\r\nAppID="
                                                        + id + "\r\nINSTALLDIR_USER=C:\\Users\\App\\\r\n" + general));
    }
    void start(bool interactive) { test_support::run(pkg.load(dir.path(), interactive)); }
};

TEST_F(Startup, IconAndSignals)
{
    write_config();
    test_support::write_file(dir / L"icon.png", test_support::to_bytes(std::string_view(reinterpret_cast<const char*>(one_pixel_png), sizeof one_pixel_png)));
    start(true);
    test_support::run(pkg.wait_ready());
    test_support::run(tavik::details::shared_future_impl<void>::as_future(pkg.wait_loaded()));
    IWICBitmapFrameDecode* icon = pkg.take_icon();
    ASSERT_NE(icon, nullptr);
    UINT w = 0, h = 0;
    icon->GetSize(&w, &h);
    EXPECT_EQ(w, 1u);
    icon->Release();
    EXPECT_EQ(pkg.take_icon(), nullptr);
    EXPECT_EQ(pkg.options().type, install_type_install);
    EXPECT_EQ(pkg.get_property(L"INSTALLDIR", true), L"C:\\Users\\App\\");
    EXPECT_FALSE(pkg.get_property(L"TEMP", true).empty());
    EXPECT_EQ(pkg.version(), (std::array<std::uint32_t, 4>{2, 1, 0, 7}));
}

TEST_F(Startup, WithoutIconOnlyTheWindowFails)
{
    write_config();
    start(true);
    EXPECT_EQ(hresult_of([&] { test_support::run(pkg.wait_ready()); }), static_cast<HRESULT>(0x80070002));
    test_support::run(tavik::details::shared_future_impl<void>::as_future(pkg.wait_loaded()));
}

TEST_F(Startup, FailuresReachEveryWaiter)
{
    // No [General]: the checks pass, then the tree fails; whoever waits for the package must end.
    write_config("");
    start(false);
    EXPECT_EQ(hresult_of([&] { test_support::run(tavik::details::shared_future_impl<void>::as_future(pkg.wait_loaded())); }),
              static_cast<HRESULT>(0x80070490));
}

TEST_F(Startup, UninstallOfAProductThatIsNotInstalled)
{
    write_config();
    pkg.options().type = install_type_uninstall;
    start(false);
    auto ready = pkg.config_ready();
    EXPECT_EQ(hresult_of([&] {
                  test_support::run([](auto r) -> tavik::details::future<void> { co_await *r; }(ready));
              }),
              E_INVALIDARG);
    test_support::run(tavik::details::shared_future_impl<void>::as_future(pkg.wait_loaded()));
}

TEST_F(Startup, InstalledProductDecidesTypeModeAndFolders)
{
    write_config();
    using Ostrel::registry_ex::value;
    const std::wstring entry = uninstall_key_base + app_id;
    value(HKEY_CURRENT_USER, entry, L"Quvan Setup Prop: VERSION", false).set_qword(0x0002000100000005ull);
    value(HKEY_CURRENT_USER, entry, L"Quvan Setup Prop: INSTALLDIR", false).set_string(L"D:\\Installed\\");
    pkg.options().mode = 1; // an installation per user is found first
    start(false);
    test_support::run(tavik::details::shared_future_impl<void>::as_future(pkg.wait_loaded()));
    EXPECT_EQ(pkg.options().type, install_type_upgrade);
    EXPECT_EQ(pkg.options().mode, 0u);
    EXPECT_EQ(pkg.get_property(L"INSTALLDIR", true), L"D:\\Installed\\");
    EXPECT_EQ(pkg.get_property(L"PreviousVersion", true), L"2.01.00.0005");
}

} // namespace
