#include <tolvane/ui/ui_link.h>

#include <tavik/error.h>
#include <tolvane/guid.h>

#include <rpc.h>

#include <chrono>
#include <type_traits>
#include <utility>

namespace tolvane {

namespace {

using namespace tavik::details;

void copy_token_user(void* out, std::size_t size)
{
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &raw))
        throw_last_error();
    tavik::unique_handle token(raw);
    alignas(8) unsigned char buffer[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD length = 0;
    if (!GetTokenInformation(token.get(), TokenUser, buffer, sizeof(buffer), &length))
        throw_last_error();
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer);
    if (!CopySid(static_cast<DWORD>(size), out, user->User.Sid))
        throw_last_error();
}

// Runs the call inside a coroutine, so that whatever it raises becomes the call's error reply.
template <class F>
auto answer(F call) -> future<std::invoke_result_t<F&>>
{
    if constexpr (std::is_void_v<std::invoke_result_t<F&>>) {
        call();
        co_return;
    } else {
        co_return call();
    }
}

} // namespace

ui_pipe_security::ui_pipe_security()
{
    copy_token_user(user_, sizeof(user_));
    DWORD size = sizeof(administrators_);
    if (!CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators_, &size))
        throw_last_error();
    auto* acl = reinterpret_cast<PACL>(acl_);
    if (!InitializeAcl(acl, sizeof(acl_), ACL_REVISION))
        throw_last_error();
    if (!AddAccessAllowedAce(acl, ACL_REVISION, ui_pipe_access, reinterpret_cast<PSID>(user_)))
        throw_last_error();
    if (!AddAccessAllowedAce(acl, ACL_REVISION, ui_pipe_access, reinterpret_cast<PSID>(administrators_)))
        throw_last_error();
    if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION))
        throw_last_error();
    if (!SetSecurityDescriptorDacl(&descriptor_, TRUE, acl, FALSE))
        throw_last_error();
}

lurran::transports::pipe::create_server_params<> ui_pipe_params(
    PSECURITY_DESCRIPTOR descriptor, std::shared_ptr<promise_type_<std::uint32_t>> client_id)
{
    lurran::transports::pipe::create_server_params<> params;
    params.security_descriptor = descriptor;
    params.reserved_size = 0x1000000;
    params.out_buffer_size = 0x1000000;
    params.in_buffer_size = 0x1000000;
    params.default_timeout = 0;
    params.reserved_flag_a = 0;
    params.reserved_flag_b = 1;
    // A GUID name can still be listed by any local process: one instance, and only if nobody made
    // one first, so that no other process can answer the elevated copy.
    params.first_instance = true;
    params.max_instances = 1;
    params.later_client_process_id = std::move(client_id);
    return params;
}

ui_server::ui_server(SetupUiInterface& ui, feature_selection_source selection)
    : ui_(ui), selection_(std::move(selection)),
      client_id_(std::make_shared<promise_type_<std::uint32_t>>())
{
}

ui_server::~ui_server()
{
    // The wait for the client's id does not end with the cancellation: nobody comes any more.
    client_id_->set_value(0u);
    source_.cancel();
    wait_blocking(serving_);
}

void ui_server::serve_process(std::uint32_t process_id) { client_id_->set_value(process_id); }

void ui_server::bind(ui_server_connection& c)
{
    // Every handler answers on the reader's thread before the next request is read: the window's
    // operations arrive one at a time, in the order the engine made them.
    SetupUiInterface* ui = &ui_;
    c.handler<setup_ui_link::set_progress_range>().assign(
        [ui](std::uint32_t steps) { return answer([ui, steps] { ui->set_progress_range(steps); }); });
    c.handler<setup_ui_link::set_progress>().assign(
        [ui](std::uint32_t position) { return answer([ui, position] { return ui->set_progress(position); }); });
    c.handler<setup_ui_link::enable_cancel>().assign(
        [ui](bool allowed) { return answer([ui, allowed] { ui->enable_cancel(allowed); }); });
    c.handler<setup_ui_link::set_status>().assign([ui](std::wstring text) {
        return answer([ui, &text] { ui->set_status(std::move(text)); });
    });
    c.handler<setup_ui_link::get_feature_selection>().assign([this] {
        return answer([this] { return selection_ ? selection_() : std::vector<feature_selection>{}; });
    });
    c.handler<setup_ui_link::add_locked_file>().assign(
        [ui](std::wstring path) { return answer([ui, &path] { return ui->add_locked_file(path); }); });
    c.handler<setup_ui_link::shutdown_applications>().assign(
        [ui] { return answer([ui] { return ui->shutdown_applications(); }); });
    c.handler<setup_ui_link::restart_applications>().assign(
        [ui] { return answer([ui] { ui->restart_applications(); }); });
    c.handler<setup_ui_link::get_window>().assign([ui] { return answer([ui] { return ui->get_window(); }); });
}

future<void> ui_server::serve(future<lurran::details::pipe::pipe_transport> accepting)
{
    auto transport = co_await std::move(accepting);
    // Destroyed in reverse order: the subscription (waiting for its callback) before the
    // connection, whose destruction waits for the handlers still running.
    auto connection = std::make_unique<ui_server_connection>();
    ui_server_connection* c = connection.get();
    bind(*c);
    auto closed = std::make_shared<promise_type_<void>>();
    c->close_handler().assign([closed](HRESULT) { complete_async(closed); });
    cancellation_token token(source_);
    cancellation_subscription subscription(token, [c] { c->shutdown(); });
    c->start(std::move(transport));
    co_await *closed;
}

ui_server_start start_ui_server(SetupUiInterface& ui, feature_selection_source selection, std::wstring name)
{
    if (name.empty()) {
        GUID id{};
        if (UuidCreate(&id) != RPC_S_OK)
            id = GUID{};
        name = guid_to_string(id);
    }
    std::unique_ptr<ui_server> server(new ui_server(ui, std::move(selection)));
    // The instance is made before create_server first suspends: a name that cannot be taken fails
    // the accept at once, and is reported here, before the copy that would connect is started.
    auto accepting = lurran::transports::pipe::create_server(
        name, server->source_, ui_pipe_params(server->security_.descriptor(), server->client_id_));
    if (accepting.is_ready())
        static_cast<void>(wait_blocking_result(std::move(accepting)));
    server->serving_ = server->serve(std::move(accepting));
    return {std::move(server), std::move(name)};
}

ui_proxy::ui_proxy(std::wstring_view pipe_name) : closed_(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (!closed_)
        throw_last_error();
    auto transport = lurran::transports::pipe::connect_pipe(L".", pipe_name, std::chrono::seconds(5), 3);
    HANDLE closed = closed_.get();
    connection_.close_handler().assign([this, closed](HRESULT) {
        connection_.shutdown();
        SetEvent(closed);
    });
    connection_.start(std::move(transport));
}

ui_proxy::~ui_proxy()
{
    connection_.shutdown();
    // The close handler runs exactly once after the connection has ended, on a pool thread.
    WaitForSingleObject(closed_.get(), INFINITE);
}

void ui_proxy::set_progress_range(std::uint32_t steps)
{
    wait_blocking_result(connection_.proxy<setup_ui_link::set_progress_range>()(steps));
}

bool ui_proxy::set_progress(std::uint32_t position)
{
    return wait_blocking_result(connection_.proxy<setup_ui_link::set_progress>()(position));
}

void ui_proxy::set_status(const std::wstring& text)
{
    wait_blocking_result(connection_.proxy<setup_ui_link::set_status>()(text));
}

void ui_proxy::enable_cancel(bool allowed)
{
    wait_blocking_result(connection_.proxy<setup_ui_link::enable_cancel>()(allowed));
}

std::uint64_t ui_proxy::get_window()
{
    return wait_blocking_result(connection_.proxy<setup_ui_link::get_window>()());
}

std::vector<feature_selection> ui_proxy::get_feature_selection()
{
    return wait_blocking_result(connection_.proxy<setup_ui_link::get_feature_selection>()());
}

bool ui_proxy::add_locked_file(const std::wstring& path)
{
    return wait_blocking_result(connection_.proxy<setup_ui_link::add_locked_file>()(path));
}

bool ui_proxy::shutdown_applications()
{
    return wait_blocking_result(connection_.proxy<setup_ui_link::shutdown_applications>()());
}

void ui_proxy::restart_applications()
{
    wait_blocking_result(connection_.proxy<setup_ui_link::restart_applications>()());
}

} // namespace tolvane
