#include <platform/http/http.h>

#include <tavik/error.h>
#include <tavik/lock_guard.h>

#include <windows.h>
#include <winhttp.h>

#include <exception>
#include <memory>
#include <utility>
#include <vector>

namespace platform::http {

using namespace tavik::details;

std::optional<url_parts> crack_url(std::wstring_view url)
{
    // WinHttpCrackUrl wants a terminated text; an embedded NUL would cut the address short.
    if (url.empty() || url.find(L'\0') != std::wstring_view::npos)
        return std::nullopt;
    const std::wstring text(url);
    URL_COMPONENTS c{};
    c.dwStructSize = sizeof(c);
    c.dwHostNameLength = static_cast<DWORD>(-1);
    c.dwUrlPathLength = static_cast<DWORD>(-1);
    c.dwExtraInfoLength = static_cast<DWORD>(-1);
    c.dwSchemeLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(text.c_str(), static_cast<DWORD>(text.size()), 0, &c))
        return std::nullopt;
    if (c.nScheme != INTERNET_SCHEME_HTTP && c.nScheme != INTERNET_SCHEME_HTTPS)
        return std::nullopt;
    if (!c.lpszHostName || c.dwHostNameLength == 0)
        return std::nullopt;
    url_parts parts;
    parts.https = c.nScheme == INTERNET_SCHEME_HTTPS;
    parts.host.assign(c.lpszHostName, c.dwHostNameLength);
    parts.port = c.nPort;
    if (c.lpszUrlPath)
        parts.path_and_query.assign(c.lpszUrlPath, c.dwUrlPathLength);
    if (c.lpszExtraInfo)
        parts.path_and_query.append(c.lpszExtraInfo, c.dwExtraInfoLength);
    if (parts.path_and_query.empty() || parts.path_and_query.front() != L'/')
        parts.path_and_query.insert(parts.path_and_query.begin(), L'/');
    return parts;
}

namespace {

struct internet_handle {
    HINTERNET h = nullptr;
    internet_handle() = default;
    explicit internet_handle(HINTERNET handle) noexcept : h(handle) {}
    internet_handle(const internet_handle&) = delete;
    internet_handle& operator=(const internet_handle&) = delete;
    ~internet_handle()
    {
        if (h)
            WinHttpCloseHandle(h);
    }
};

// One request and its outcome. The worker and the cancel callback share it; `lock` guards
// `request` and `cancelled`. The cancel callback closes the request handle (on Windows that ends
// a blocked call at once) and completes the promise; the worker then never touches the handle.
template <class R>
struct operation {
    std::wstring url;
    std::wstring path; // download only
    std::size_t max_body = 0;
    timeouts limits;
    std::shared_ptr<promise_type_<R>> promise = std::make_shared<promise_type_<R>>();

    SRWLOCK lock = SRWLOCK_INIT;
    HINTERNET request = nullptr;
    bool cancelled = false;

    void cancel() noexcept
    {
        HINTERNET closing = nullptr;
        {
            exclusive_lock_guard guard(lock);
            cancelled = true;
            closing = std::exchange(request, nullptr);
        }
        if (closing)
            WinHttpCloseHandle(closing);
        promise->set_exception(std::make_exception_ptr(make_operation_cancelled()));
    }

    bool is_cancelled() noexcept
    {
        exclusive_lock_guard guard(lock);
        return cancelled;
    }

    [[noreturn]] void fail_last_error()
    {
        const DWORD error = GetLastError();
        if (is_cancelled())
            throw_operation_cancelled();
        throw_win32_error(static_cast<std::int32_t>(error ? error : ERROR_WINHTTP_INTERNAL_ERROR));
    }

    // Session, connection and request sent; the status of the answer. The handles stay in `held`.
    std::uint32_t send(internet_handle& session, internet_handle& connection)
    {
        const std::optional<url_parts> parts = crack_url(url);
        if (!parts)
            throw_win32_error(ERROR_WINHTTP_INVALID_URL);
        session.h = WinHttpOpen(L"Tovalind", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                WINHTTP_NO_PROXY_BYPASS, 0);
        if (!session.h)
            fail_last_error();
        if (!WinHttpSetTimeouts(session.h, limits.resolve, limits.connect, limits.send, limits.receive))
            fail_last_error();
        connection.h = WinHttpConnect(session.h, parts->host.c_str(), parts->port, 0);
        if (!connection.h)
            fail_last_error();
        HINTERNET r = WinHttpOpenRequest(connection.h, L"GET", parts->path_and_query.c_str(), nullptr,
                                         WINHTTP_NO_REFERER, WINHTTP_DEFAULT_ACCEPT_TYPES,
                                         parts->https ? WINHTTP_FLAG_SECURE : 0);
        if (!r)
            fail_last_error();
        {
            exclusive_lock_guard guard(lock);
            if (cancelled) {
                guard.unlock();
                WinHttpCloseHandle(r);
                throw_operation_cancelled();
            }
            request = r;
        }
        if (!WinHttpSendRequest(r, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0))
            fail_last_error();
        if (!WinHttpReceiveResponse(r, nullptr))
            fail_last_error();
        DWORD status = 0;
        DWORD size = sizeof(status);
        if (!WinHttpQueryHeaders(r, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER, WINHTTP_HEADER_NAME_BY_INDEX,
                                 &status, &size, WINHTTP_NO_HEADER_INDEX))
            fail_last_error();
        return status;
    }

    // The length the answer announces, when it announces one.
    std::optional<std::uint64_t> content_length()
    {
        wchar_t text[32] = {};
        DWORD size = sizeof(text);
        if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX, text, &size,
                                 WINHTTP_NO_HEADER_INDEX))
            return std::nullopt;
        std::uint64_t n = 0;
        for (const wchar_t* p = text; *p; ++p) {
            if (*p < L'0' || *p > L'9' || n > (~0ull - 9) / 10)
                return std::nullopt;
            n = n * 10 + static_cast<std::uint64_t>(*p - L'0');
        }
        return n;
    }

    // A body shorter than announced is a broken connection: Wine's WinHTTP reports the early
    // close as the body's end.
    void check_complete(std::optional<std::uint64_t> announced, std::uint64_t received)
    {
        if (announced && *announced != received)
            throw_win32_error(ERROR_WINHTTP_CONNECTION_ERROR);
    }

    // The next piece of the body into `buffer`; 0 at its end.
    DWORD read(std::vector<char>& buffer)
    {
        DWORD got = 0;
        if (!WinHttpReadData(request, buffer.data(), static_cast<DWORD>(buffer.size()), &got))
            fail_last_error();
        if (is_cancelled())
            throw_operation_cancelled();
        return got;
    }

    // Closes the request handle unless the cancel callback already did.
    void close_request() noexcept
    {
        HINTERNET closing = nullptr;
        {
            exclusive_lock_guard guard(lock);
            closing = std::exchange(request, nullptr);
        }
        if (closing)
            WinHttpCloseHandle(closing);
    }

    R run();
};

template <>
text_response operation<text_response>::run()
{
    internet_handle session, connection;
    struct closer {
        operation* op;
        ~closer() { op->close_request(); }
    } close{this};
    text_response response;
    response.status = send(session, connection);
    const std::optional<std::uint64_t> announced = content_length();
    if (announced && *announced > max_body)
        throw_hresult(body_too_large);
    std::vector<char> buffer(16 * 1024);
    for (;;) {
        const DWORD got = read(buffer);
        if (got == 0) {
            check_complete(announced, response.body.size());
            break;
        }
        if (response.body.size() + got > max_body)
            throw_hresult(body_too_large);
        response.body.append(buffer.data(), got);
    }
    return response;
}

template <>
std::uint32_t operation<std::uint32_t>::run()
{
    internet_handle session, connection;
    struct closer {
        operation* op;
        ~closer() { op->close_request(); }
    } close{this};
    const std::uint32_t status = send(session, connection);
    if (status < 200 || status > 299)
        return status;
    struct file_owner {
        HANDLE h = INVALID_HANDLE_VALUE;
        const std::wstring* path;
        bool keep = false;
        ~file_owner()
        {
            if (h != INVALID_HANDLE_VALUE)
                CloseHandle(h);
            if (!keep)
                DeleteFileW(path->c_str()); // a partial file is worth nothing to anyone
        }
    } file{INVALID_HANDLE_VALUE, &path};
    file.h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file.h == INVALID_HANDLE_VALUE) {
        // Nothing of ours is there to delete; an existing file we could not replace stays.
        file.keep = true;
        throw_last_error();
    }
    const std::optional<std::uint64_t> announced = content_length();
    std::uint64_t received = 0;
    std::vector<char> buffer(64 * 1024);
    for (;;) {
        const DWORD got = read(buffer);
        if (got == 0) {
            check_complete(announced, received);
            break;
        }
        received += got;
        DWORD written = 0;
        if (!WriteFile(file.h, buffer.data(), got, &written, nullptr) || written != got)
            throw_last_error();
    }
    if (!FlushFileBuffers(file.h))
        throw_last_error();
    CloseHandle(std::exchange(file.h, INVALID_HANDLE_VALUE));
    // The caller learns of the file only through the promise: when a cancellation completed it
    // first, nobody will ever delete the file, so it goes now.
    file.keep = promise->set_value(status);
    return status;
}

template <class R>
void CALLBACK work(PTP_CALLBACK_INSTANCE instance, void* context)
{
    CallbackMayRunLong(instance);
    std::unique_ptr<std::shared_ptr<operation<R>>> holder(static_cast<std::shared_ptr<operation<R>>*>(context));
    operation<R>& op = **holder;
    try {
        R result = op.run();
        op.promise->set_value(std::move(result));
    } catch (...) {
        op.promise->set_exception(std::current_exception());
    }
}

template <class R>
future<R> start(std::shared_ptr<operation<R>> op, cancellation_source cancel)
{
    // Subscribed before the work starts: a source cancelled in between then either stops us here
    // or reaches the operation, never neither.
    cancellation_token token(cancel);
    cancellation_subscription subscription(token, [op] { op->cancel(); });
    auto* context = new std::shared_ptr<operation<R>>(op);
    if (!TrySubmitThreadpoolCallback(&work<R>, context, nullptr)) {
        delete context;
        throw_last_error();
    }
    R& result = co_await *op->promise;
    co_return std::move(result);
}

} // namespace

future<text_response> get_text(std::wstring url, std::size_t max_body, cancellation_source cancel, timeouts limits)
{
    auto op = std::make_shared<operation<text_response>>();
    op->url = std::move(url);
    op->max_body = max_body;
    op->limits = limits;
    return start(std::move(op), std::move(cancel));
}

future<std::uint32_t> download_to_file(std::wstring url, std::wstring path, cancellation_source cancel, timeouts limits)
{
    auto op = std::make_shared<operation<std::uint32_t>>();
    op->url = std::move(url);
    op->path = std::move(path);
    op->limits = limits;
    return start(std::move(op), std::move(cancel));
}

} // namespace platform::http
