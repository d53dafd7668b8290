#include <plendor/commands/update.h>

#include <platform/http/http.h>
#include <platform/json/json.h>

#include <quillo/render.h>
#include <tavik/error.h>
#include <tavik/thread_pool.h>

#include <objbase.h>
#include <rpc.h>
#include <winhttp.h>

#include <coroutine>
#include <utility>

using namespace tavik::details;

namespace {

// What the update site answered was no answer: a failure status, or a text that is not one.
constexpr HRESULT invalid_answer = static_cast<HRESULT>(0x8007000D); // ERROR_INVALID_DATA

std::wstring temp_folder_or(std::wstring folder)
{
    if (!folder.empty())
        return folder;
    wchar_t path[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, path);
    if (n == 0 || n > MAX_PATH)
        throw_last_error();
    return std::wstring(path, n);
}

std::wstring join(std::wstring folder, std::wstring_view name)
{
    if (!folder.empty() && folder.back() != L'\\' && folder.back() != L'/')
        folder.push_back(L'\\');
    folder.append(name);
    return folder;
}

// Continues on the UI thread without any cancellation test: the flow must see its file through to
// the end whatever happened meanwhile.
struct to_ui_thread {
    const Ostrel::windows::impl::async_context* ui;
    bool await_ready() const noexcept { return ui->is_ui_thread(); }
    void await_suspend(std::coroutine_handle<> h) const noexcept { ui->post_resume(h); }
    void await_resume() const noexcept {}
};

// Starts the installer with a handle of this process that it inherits; whether it started.
bool start_installer(const std::wstring& path) noexcept
{
    HANDLE self = nullptr;
    if (!DuplicateHandle(GetCurrentProcess(), GetCurrentProcess(), GetCurrentProcess(), &self, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
        return false;
    bool started = false;
    try {
        std::wstring command = make_installer_command_line(path, reinterpret_cast<std::uintptr_t>(self));
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        PROCESS_INFORMATION process{};
        if (CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                           &startup, &process)) {
            started = true;
            CloseHandle(process.hThread);
            CloseHandle(process.hProcess);
        }
    } catch (...) {
    }
    // The installer holds its own inherited copy.
    CloseHandle(self);
    return started;
}

} // namespace

std::wstring make_update_query_address(std::wstring_view base, const version_t& own)
{
    return quillo::format(L"{}dispatch/dedup/checkforupdates?ver={}", base, encode_version(own));
}

bool is_newer_version(const version_t& offered, const version_t& own) noexcept
{
    return offered > own;
}

std::optional<update_offer> read_update_answer(std::string_view body, const version_t& own, bool https_only)
{
    const std::optional<platform::json::value> answer = platform::json::parse(body);
    if (!answer || !answer->is_object())
        return std::nullopt;
    const platform::json::value* version = answer->find(L"Version");
    if (!version || !version->as_number())
        return std::nullopt;
    const double number = *version->as_number();
    // Versions compare in 64 bits; the encoding never exceeds 32.
    if (!(number >= 0) || number >= 4294967296.0)
        return std::nullopt;
    update_offer offer;
    offer.version = decode_version(static_cast<std::uint64_t>(number));
    if (!is_newer_version(offer.version, own))
        return offer;
    const platform::json::value* url = answer->find(L"Url");
    if (!url || !url->as_string())
        return std::nullopt;
    const std::optional<platform::http::url_parts> parts = platform::http::crack_url(*url->as_string());
    // An installer that is about to run must come over the same protection as the question did.
    if (!parts || (https_only && !parts->https))
        return std::nullopt;
    offer.url = *url->as_string();
    return offer;
}

std::wstring new_guid_text()
{
    UUID id{};
    if (UuidCreate(&id) != RPC_S_OK)
        id = UUID{};
    wchar_t text[64];
    StringFromGUID2(id, text, 64);
    return text;
}

future<std::wstring> download_file(std::wstring url, cancellation_source cancel, std::wstring temp_folder)
{
    const std::wstring path = join(temp_folder_or(std::move(temp_folder)), new_guid_text());
    const std::uint32_t status = co_await platform::http::download_to_file(std::move(url), path, std::move(cancel));
    if (status < 200 || status > 299)
        co_return std::wstring();
    co_return path;
}

future<update_info> check_for_updates_for(std::wstring address, version_t own, cancellation_source cancel,
                                          std::wstring temp_folder)
{
    const std::optional<platform::http::url_parts> query = platform::http::crack_url(address);
    if (!query)
        throw_win32_error(ERROR_WINHTTP_INVALID_URL);
    platform::http::text_response response =
        co_await platform::http::get_text(std::move(address), update_answer_limit, cancel);
    if (response.status < 200 || response.status > 299)
        throw_hresult(invalid_answer);
    std::optional<update_offer> offer = read_update_answer(response.body, own, query->https);
    if (!offer)
        throw_hresult(invalid_answer);
    update_info info;
    info.offered = offer->version;
    if (offer->url)
        info.download = download_file(std::move(*offer->url), std::move(cancel), std::move(temp_folder));
    co_return info;
}

future<update_info> check_for_updates(std::wstring address, cancellation_source cancel, std::wstring temp_folder)
{
    return check_for_updates_for(std::move(address), read_own_version(), std::move(cancel), std::move(temp_folder));
}

namespace {

// Questions open on this thread: each is a message loop that a close may run inside.
thread_local int questions_open = 0;

struct question_open {
    question_open() noexcept { ++questions_open; }
    ~question_open() { --questions_open; }
    question_open(const question_open&) = delete;
    question_open& operator=(const question_open&) = delete;
};

} // namespace

bool update_question_open() noexcept { return questions_open > 0; }

future<void> run_update_flow(update_flow_host host, cancellation_source cancel)
{
    const cancellation_source source = make_linked_cancellation_source(cancel);
    if (source.is_cancelled())
        co_return;
    std::wstring path;
    version_t offered;
    try {
        const std::wstring address = make_update_query_address(host.base_address, host.own);
        update_info info = co_await check_for_updates_for(address, host.own, source, host.temp_folder);
        offered = info.offered;
        if (!info.download)
            co_return;
        // Always awaited once started: a path nobody takes would leave its file behind.
        path = co_await std::move(*info.download);
    } catch (...) {
        co_return;
    }
    if (path.empty())
        co_return;
    co_await to_ui_thread{host.ui};
    bool started = false;
    if (!source.is_cancelled()) {
        try {
            const std::wstring question = update_question_text(offered);
            const int answer = [&] {
                const question_open open;
                return host.ask ? host.ask(host.main_window, question)
                                : MessageBoxW(host.main_window, question.c_str(), message_box_caption.data(),
                                              MB_ICONQUESTION | MB_YESNO);
            }();
            if (answer == IDYES && !source.is_cancelled()) {
                started = start_installer(path);
                if (started)
                    PostMessageW(host.main_window, WM_CLOSE, 0, 0);
            }
        } catch (...) {
        }
    }
    if (!started)
        DeleteFileW(path.c_str());
}

bool update_flow_slot::start(const std::function<future<void>(cancellation_source)>& begin)
{
    if (running())
        return false;
    source_ = cancellation_source();
    flow_ = begin(source_);
    return true;
}

bool update_flow_slot::start(update_flow_host host)
{
    return start([&host](cancellation_source source) { return run_update_flow(std::move(host), std::move(source)); });
}

void update_flow_slot::stop() noexcept
{
    if (!flow_.valid())
        return;
    source_.cancel();
    // Asking, the flow is below this call on the stack: it ends once this call has returned.
    if (update_question_open())
        return;
    wait_resuming_ui_returns(flow_);
}

void wait_resuming_ui_returns(const future<void>& f) noexcept
{
    const UINT ui_return = Ostrel::windows::impl::ui_return_message();
    while (f.valid() && !f.is_ready()) {
        MSG msg;
        // Thread messages only: the hook of the UI return resumes what this removes. Nothing else
        // is dispatched while the window is going away.
        while (PeekMessageW(&msg, reinterpret_cast<HWND>(-1), ui_return, ui_return, PM_REMOVE)) {
        }
        if (f.is_ready())
            break;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_POSTMESSAGE);
    }
}
