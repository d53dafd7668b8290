#pragma once
// The install-time actions' platform as the real system provides it.

#include <quastle/install/install_actions.h>

#include <platform/deployment/deployment.h>

namespace quastle {

struct os_version {
    bool above_vista; // v > 600
    bool above_7;     // v > 601
    bool above_8;     // v > 602
    bool windows_10;  // v >= 1000
    bool windows_11;  // v >= 1000 and build >= 22000
    // Read once per process (GetVersionExW), safely across threads.
    static const os_version& current();
};

// Tests derive from it to say which Windows it is (the version seam).
class system_platform : public install_platform {
public:
    explicit system_platform(platform::deployment::runtime& runtime = platform::deployment::system_runtime()) noexcept
        : runtime_(runtime)
    {
    }

    bool projfs_present() override;
    bool confirm_enable_projfs(HWND owner) override;
    std::wstring system_directory() override;
    HRESULT run_and_wait(const std::wstring& application, const std::wstring& command_line) override;
    bool windows_11() override;
    HRESULT add_sparse_package(const std::wstring& folder, const std::wstring& package_file) override;
    HRESULT remove_sparse_package() override;
    HRESULT create_service(const std::wstring& command) override;
    void start_service() override;
    HRESULT stop_service(std::chrono::milliseconds bound) override;
    HRESULT delete_service(std::chrono::milliseconds bound) override;

private:
    platform::deployment::runtime& runtime_;
};

} // namespace quastle
