#pragma once
// HTTP GET over WinHTTP for the configuration utility's update check: a short text answer read
// whole, and a download streamed into a file. The same code runs on Windows and under Wine.
//
// Contract of both coroutines: any coroutine may await the future once; it resumes on a thread-pool
// thread. The request itself runs as one blocking call sequence on a thread-pool thread.
// Cancelling the source ends the operation at once with operation_cancelled (0x800704C7), even
// while a receive is blocked: closing a request handle does not end a pending receive under Wine
// (it returns only when the server closes), so the blocked call is abandoned, bounded by the
// time-outs below, and its clean-up happens when it returns. An exception of the future is always
// a traceable_error with the failing call's HRESULT.

#include <tavik/cancellation.h>
#include <tavik/future.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform::http {

// Bounds of each blocking step, in milliseconds (WinHttpSetTimeouts).
struct timeouts {
    int resolve = 30'000;
    int connect = 30'000;
    int send = 30'000;
    int receive = 30'000;
};

struct url_parts {
    bool https = false;
    std::wstring host;
    std::uint16_t port = 0;
    std::wstring path_and_query; // "/" when the address has none
};

// An http or https address as WinHttpCrackUrl reads it; nothing for any other scheme, an empty
// host, or text WinHttpCrackUrl rejects.
std::optional<url_parts> crack_url(std::wstring_view url);

struct text_response {
    std::uint32_t status = 0;
    std::string body; // the bytes as received
};

// A body longer than this many bytes fails the request with this HRESULT.
inline constexpr long body_too_large = static_cast<long>(0x8007007A); // ERROR_INSUFFICIENT_BUFFER

// GET of `url`; the status and the whole body (at most `max_body` bytes) of any answer.
tavik::details::future<text_response> get_text(std::wstring url, std::size_t max_body,
                                               tavik::details::cancellation_source cancel, timeouts limits = {});

// GET of `url` into the file `path` (an existing file is replaced); the answer's status. Only a
// 2xx answer makes a file, and it is complete when the future has its value. Every other way the
// operation ends (another status, an error, a cancellation) leaves no file at `path`: a partial
// file is deleted, by the abandoned call when it returns if the operation was cancelled meanwhile.
tavik::details::future<std::uint32_t> download_to_file(std::wstring url, std::wstring path,
                                                       tavik::details::cancellation_source cancel,
                                                       timeouts limits = {});

} // namespace platform::http
