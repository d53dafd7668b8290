#include <lurran/copydata_transport.h>

#include <lurran/interface.h>

#include <tavik/error.h>

#include <cstring>
#include <new>
#include <utility>

namespace lurran::details::copydata {

namespace {

std::uint64_t load_u64le(const std::byte* at) noexcept
{
    return std::uint64_t(load_u32le(at)) | (std::uint64_t(load_u32le(at + 4)) << 32);
}

// The completion of an asynchronous send: owns one reference to the write's state.
void CALLBACK on_sent(HWND, UINT, ULONG_PTR context, LRESULT) noexcept
{
    auto* state = reinterpret_cast<std::shared_ptr<tavik::details::promise_type_<void>>*>(context);
    tavik::details::complete_async(*state);
    delete state;
}

} // namespace

bool accept_frame(inbox& into, std::int64_t lparam, std::int64_t& result) noexcept
{
    const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(lparam);
    if (!data || data->dwData != frame_tag || data->cbData < frame_header_size || !data->lpData)
        return false;
    const auto* bytes = static_cast<const std::byte*>(data->lpData);
    const std::uint32_t n = load_u32le(bytes + 8);
    // In 64 bits: n close to 2^32 must not wrap onto a small cbData.
    if (std::uint64_t(n) + frame_header_size != data->cbData || n > max_frame_body)
        return false;
    const std::uint64_t header = load_u64le(bytes);
    try {
        std::vector<std::byte> body(bytes + frame_header_size, bytes + frame_header_size + n);
        // A closed inbox drops it: the connection has ended.
        into.push(message_t(std::uint32_t(header), std::uint32_t(header >> 32), std::move(body)));
    } catch (const std::bad_alloc&) {
        // No memory for the copy: the frame is lost, as one sent to a window that is gone.
    }
    result = 0;
    return true;
}

std::vector<std::byte> make_frame(const message_t& message)
{
    const std::size_t n = message.body.size();
    std::vector<std::byte> frame(frame_header_size + n);
    store_u32le(frame.data(), message.call_word());
    store_u32le(frame.data() + 4, message.method_id());
    store_u32le(frame.data() + 8, std::uint32_t(n));
    if (n)
        std::memcpy(frame.data() + frame_header_size, message.body.data(), n);
    return frame;
}

copydata_transport::copydata_transport(const endpoints& ends)
    : ends_(ends), inbox_(std::make_shared<inbox>()), open_(1)
{
}

copydata_transport::copydata_transport(copydata_transport&& other) noexcept
    : cancellation_(std::exchange(other.cancellation_,
                                  tavik::details::cancellation_source(
                                      std::shared_ptr<tavik::details::cancellation_source_body>{}))),
      ends_(other.ends_),
      inbox_(std::move(other.inbox_)),
      sent_(std::move(other.sent_)),
      open_(std::exchange(other.open_, 0))
{
}

copydata_transport& copydata_transport::operator=(copydata_transport&& other) noexcept
{
    if (this != &other) {
        close_if_open();
        cancellation_ = std::exchange(other.cancellation_, tavik::details::cancellation_source(
                                                               std::shared_ptr<tavik::details::cancellation_source_body>{}));
        ends_ = other.ends_;
        inbox_ = std::move(other.inbox_);
        sent_ = std::move(other.sent_);
        open_ = std::exchange(other.open_, 0);
    }
    return *this;
}

void copydata_transport::close() noexcept
{
    // The window may still hold the inbox: closing it makes its later frames drop.
    if (inbox_)
        inbox_->close();
    inbox_.reset();
    cancellation_ = tavik::details::cancellation_source(std::shared_ptr<tavik::details::cancellation_source_body>{});
    open_ = 0;
}

void copydata_transport::link_cancellation(const tavik::details::cancellation_source& parent)
{
    cancellation_ = tavik::details::make_linked_cancellation_source(parent);
}

tavik::details::future<message_t> copydata_transport::read()
{
    using namespace tavik::details;
    std::shared_ptr<inbox> queue = inbox_;
    if (!queue)
        throw_hresult(lurran::details::e_fail);
    cancellation_token token(cancellation_, co_await this_promise);
    inbox* q = queue.get();
    cancellation_subscription subscription(token, [q] { q->close(); });
    message_t message = co_await q->pop();
    co_return message;
}

tavik::details::future<void> copydata_transport::write(message_t message)
{
    using namespace tavik::details;
    if (!ends_.peer) {
        // The receiving side has nobody to answer: whatever its connection would send is dropped.
        if (sent_)
            sent_(S_OK);
        co_return;
    }
    HRESULT outcome = S_OK;
    try {
        std::vector<std::byte> frame = make_frame(message);
        message.body = {};
        COPYDATASTRUCT data{frame_tag, static_cast<DWORD>(frame.size()), frame.data()};
        // Not a window at all (a stale or damaged handle, or one the system would take for a
        // broadcast): fail at once rather than send it anywhere.
        if (!IsWindow(ends_.peer))
            throw_win32_error(ERROR_INVALID_WINDOW_HANDLE);
        if (ends_.synchronous) {
            DWORD_PTR answer = 0;
            SetLastError(0);
            if (!SendMessageTimeoutW(ends_.peer, WM_COPYDATA, reinterpret_cast<WPARAM>(ends_.own),
                                     reinterpret_cast<LPARAM>(&data), SMTO_NORMAL,
                                     static_cast<UINT>(ends_.send_timeout.count()), &answer)) {
                // A time-out leaves the last error 0 on some systems.
                const DWORD error = GetLastError();
                throw_win32_error(static_cast<std::int32_t>(error ? error : ERROR_TIMEOUT));
            }
        } else {
            auto state = std::make_shared<promise_type_<void>>();
            auto* reference = new std::shared_ptr<promise_type_<void>>(state);
            if (!SendMessageCallbackW(ends_.peer, WM_COPYDATA, reinterpret_cast<WPARAM>(ends_.own),
                                      reinterpret_cast<LPARAM>(&data), &on_sent, reinterpret_cast<ULONG_PTR>(reference))) {
                const DWORD error = GetLastError();
                delete reference;
                throw_win32_error(static_cast<std::int32_t>(error ? error : ERROR_MESSAGE_SYNC_ONLY));
            }
            cancellation_token token(cancellation_, co_await this_promise);
            cancellation_subscription subscription(
                token, [state] { state->set_exception(std::make_exception_ptr(make_operation_cancelled())); });
            co_await *state;
        }
    } catch (...) {
        outcome = lurran::details::e_fail;
        try {
            throw;
        } catch (const hresult_error_impl& e) {
            outcome = e.code();
        } catch (...) {
        }
        if (sent_)
            sent_(outcome);
        throw;
    }
    if (sent_)
        sent_(outcome);
}

} // namespace lurran::details::copydata
