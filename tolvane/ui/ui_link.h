#pragma once
// The link between the installer that shows the window and its elevated copy, which runs the
// installation: the window's process serves SetupUiInterface on a named pipe named by a new GUID,
// and the elevated copy's ui_proxy forwards every call of its engine there and waits for the answer.
//
// The pipe admits the user and the Administrators only, without the right to create instances of
// the name; it has one instance, made before the elevated copy is started, and it serves only the
// process the caller names with serve_process (a client that connects earlier waits for the id).

#include <lurran/connection.h>
#include <lurran/interface.h>
#include <lurran/pipe_transport.h>
#include <tavik/unique_handle.h>
#include <tavik/cancellation.h>
#include <tavik/future.h>
#include <tolvane/package.h>
#include <tolvane/setup_ui.h>

#include <windows.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tolvane {

// The interface on the pipe; the position in the list is the dispatch index.
struct setup_ui_link {
    using set_progress_range = lurran::method<0xAEF3EF0C, void(std::uint32_t)>;
    using set_progress = lurran::method<0x9269F13F, bool(std::uint32_t)>;
    using enable_cancel = lurran::method<0x547BF0C4, void(bool)>;
    using set_status = lurran::method<0x40504B8F, void(std::wstring)>;
    using get_feature_selection = lurran::method<0xDE4AD26C, std::vector<feature_selection>()>;
    using add_locked_file = lurran::method<0x1965E418, bool(std::wstring)>;
    using shutdown_applications = lurran::method<0x73796CAA, bool()>;
    using restart_applications = lurran::method<0x44984914, void()>;
    using get_window = lurran::method<0x2FA52D07, std::uint64_t()>;
    using methods = lurran::method_list<set_progress_range, set_progress, enable_cancel, set_status,
                                        get_feature_selection, add_locked_file, shutdown_applications,
                                        restart_applications, get_window>;
};

using ui_server_connection = lurran::details::connection<lurran::details::pipe::pipe_transport,
                                                         lurran::server_of<setup_ui_link>,
                                                         lurran::client_of<lurran::no_interface>>;
using ui_client_connection = lurran::details::connection<lurran::details::pipe::pipe_transport,
                                                         lurran::server_of<lurran::no_interface>,
                                                         lurran::client_of<setup_ui_link>>;

// The package's current feature choice, in tree order (the window's own answer is always empty,
// because its choice lives in the package).
using feature_selection_source = std::function<std::vector<feature_selection>()>;

// The access list of the pipe: the token's user and the Administrators, each with 0x12019B (read,
// write data and attributes, synchronize; no FILE_CREATE_PIPE_INSTANCE).
class ui_pipe_security {
public:
    ui_pipe_security();
    ui_pipe_security(const ui_pipe_security&) = delete;
    ui_pipe_security& operator=(const ui_pipe_security&) = delete;
    PSECURITY_DESCRIPTOR descriptor() noexcept { return &descriptor_; }

private:
    alignas(8) unsigned char user_[SECURITY_MAX_SID_SIZE];
    alignas(8) unsigned char administrators_[SECURITY_MAX_SID_SIZE];
    alignas(8) unsigned char acl_[256];
    SECURITY_DESCRIPTOR descriptor_{};
};

inline constexpr DWORD ui_pipe_access = 0x12019B;

// The creation parameters of the pipe's single instance.
lurran::transports::pipe::create_server_params<> ui_pipe_params(
    PSECURITY_DESCRIPTOR descriptor, std::shared_ptr<tavik::details::promise_type_<std::uint32_t>> client_id);

struct ui_server_start;

// Serves one client on the pipe. Destroying it stops the serving and blocks until it has ended.
class ui_server final : public package::ui_server_link {
public:
    ~ui_server() override;
    ui_server(const ui_server&) = delete;
    ui_server& operator=(const ui_server&) = delete;

    // The process whose connection is served (the one just started); 0: none will come.
    void serve_process(std::uint32_t process_id) override;

    // Ends once the served connection has ended (or the listening failed).
    const tavik::details::future<void>& serving() const noexcept { return serving_; }

private:
    friend ui_server_start start_ui_server(SetupUiInterface&, feature_selection_source, std::wstring);
    ui_server(SetupUiInterface& ui, feature_selection_source selection);
    tavik::details::future<void> serve(tavik::details::future<lurran::details::pipe::pipe_transport> accepting);
    void bind(ui_server_connection& c);

    SetupUiInterface& ui_;
    feature_selection_source selection_;
    ui_pipe_security security_;
    tavik::details::cancellation_source source_;
    std::shared_ptr<tavik::details::promise_type_<std::uint32_t>> client_id_;
    tavik::details::future<void> serving_;
};

struct ui_server_start {
    std::unique_ptr<ui_server> server;
    std::wstring pipe_name;
};

// Makes the pipe's instance (its failure raises here, before anything is started) and waits for
// the client in the background. An empty name takes a new GUID text.
ui_server_start start_ui_server(SetupUiInterface& ui, feature_selection_source selection, std::wstring name = {});

// SetupUiInterface of the elevated copy: every call goes over the pipe and blocks until its answer.
// A failed call (error reply, lost connection: 0x800704C7) raises traceable_error with its HRESULT.
class ui_proxy final : public SetupUiInterface {
public:
    // Connects at once (three attempts of up to 5 s each); failures raise.
    explicit ui_proxy(std::wstring_view pipe_name);
    ~ui_proxy() override;

    void set_progress_range(std::uint32_t steps) override;
    bool set_progress(std::uint32_t position) override;
    void set_status(const std::wstring& text) override;
    void enable_cancel(bool allowed) override;
    void set_status(std::wstring&& text) override { set_status(static_cast<const std::wstring&>(text)); }
    std::uint64_t get_window() override;
    std::vector<feature_selection> get_feature_selection() override;
    bool add_locked_file(const std::wstring& path) override;
    bool shutdown_applications() override;
    void restart_applications() override;

private:
    ui_client_connection connection_;
    // Signalled once the connection's close handler has run. A call still waiting when the window's
    // process goes away is failed by the shutdown the handler makes (nothing else would answer it);
    // the destructor waits for the handler, which uses the connection.
    tavik::unique_handle closed_;
};

} // namespace tolvane
