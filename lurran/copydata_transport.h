#pragma once
// The messages of one connection carried between two top-level windows of the same desktop by
// WM_COPYDATA, in place of a pipe: the configuration utility's second start hands its command line
// to the window of the instance already running.
//
// Frame, one WM_COPYDATA per message:
//
//   COPYDATASTRUCT field   value
//   dwData                 0x3776427F, compared in all its bits
//   cbData                 12 + n
//   lpData                 the message's 12-byte pipe header (call word, method id, n, all
//                          little-endian) followed by the n body bytes
//
// The receiving window hands every WM_COPYDATA to accept_frame (through the transport's inbox,
// which it keeps from receiver()). A frame whose tag or length does not match, or whose body is
// larger than a whole command line, is left unhandled; an accepted one is copied (the data is
// valid only while the window procedure runs) and queued for read(), which resumes on a
// thread-pool thread, never inside the window procedure.
//
// Writing: synchronous transports send with SendMessageTimeoutW, bounded by the send time-out, so
// a receiver that no longer pumps messages cannot hold the sender forever; a frame that timed out
// is not delivered later. Asynchronous transports try SendMessageCallbackW, which the system
// refuses for WM_COPYDATA (its data must outlive the send): such a write fails with that error.
// Every write reports its outcome (S_OK or the failure) to the sent hook before it ends, so a
// sender can wait until its frame has gone before it shuts the connection down. A transport
// without a peer window (the receiving side) discards what it is given to write.
//
// Cancellation: cancelling the transport's source (a child of the connection's) closes the inbox:
// a waiting or later read ends with operation_cancelled, and frames that arrive afterwards are
// still answered 0 but dropped. A send in progress is not interrupted; it is bounded by its
// time-out.

#include <lurran/handler_slot.h>
#include <lurran/message.h>
#include <lurran/write_queue.h>

#include <tavik/cancellation.h>
#include <tavik/future.h>

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <memory>

namespace lurran::details::copydata {

inline constexpr ULONG_PTR frame_tag = 0x3776427F;
// The largest body accepted: a whole command line (a u32 count and 32,767 UTF-16 units) is the
// biggest thing the product sends this way.
inline constexpr std::uint32_t max_frame_body = 4 + 2 * 32767;
// Above the longest time a first instance's UI thread is blocked (five 3-second connect waits).
inline constexpr std::chrono::milliseconds default_send_timeout{30000};

using inbox = write_queue;

// The receiving window's handling of one WM_COPYDATA (wparam: the sender's window, not examined;
// lparam: the COPYDATASTRUCT). Whether it was handled; an accepted frame sets the result to 0.
bool accept_frame(inbox& into, std::int64_t lparam, std::int64_t& result) noexcept;

// The frame bytes of a message: header, n, body.
std::vector<std::byte> make_frame(const message_t& message);

struct endpoints {
    HWND peer = nullptr;    // where write sends; null on a side that only receives
    HWND own = nullptr;     // sent as the wParam of every frame
    bool synchronous = true;
    std::chrono::milliseconds send_timeout = default_send_timeout;
};

class copydata_transport {
public:
    copydata_transport() noexcept = default;
    explicit copydata_transport(const endpoints& ends);
    copydata_transport(copydata_transport&& other) noexcept;
    // Closes this transport first when it is open.
    copydata_transport& operator=(copydata_transport&& other) noexcept;
    copydata_transport(const copydata_transport&) = delete;
    copydata_transport& operator=(const copydata_transport&) = delete;
    ~copydata_transport() { close_if_open(); }

    // The next accepted frame, in arrival order.
    tavik::details::future<message_t> read();

    // Sends one frame to the peer window. Fails with the send's error: 0x80070578 for a handle
    // that is not a window (one that no longer exists, or a broadcast value), before sending, 0x800705B4 when the receiver did not take it within the time-out,
    // 0x80070487 (1159) for an asynchronous send.
    tavik::details::future<void> write(message_t message);

    // Destroys the inbox (frames still queued are dropped) and releases the source.
    void close() noexcept;
    void close_if_open() noexcept
    {
        if (open_)
            close();
    }

    // Replaces the transport's source by a child of the given one.
    void link_cancellation(const tavik::details::cancellation_source& parent);

    // The inbox as the receiving window holds it: it stays valid after the transport has been
    // moved into its connection and after the transport has closed (accept_frame then drops).
    std::shared_ptr<inbox> receiver() const noexcept { return inbox_; }

    // Runs after every write with its outcome, on the writer's thread.
    void set_sent_hook(handler_slot<void(HRESULT)> hook) noexcept { sent_ = std::move(hook); }

    bool is_open() const noexcept { return open_ != 0; }

private:
    tavik::details::cancellation_source cancellation_{std::shared_ptr<tavik::details::cancellation_source_body>{}};
    endpoints ends_;
    std::shared_ptr<inbox> inbox_;
    handler_slot<void(HRESULT)> sent_;
    std::uint8_t open_ = 0;
};

} // namespace lurran::details::copydata
