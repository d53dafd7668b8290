#pragma once
// Window messages as the dialog objects see them: the message record, the handler chain, and the
// entries of a message map.
//
//     install(message_map(
//         on_message(WM_INITDIALOG, [this](message_record& m) { ...; return true; }),
//         on_command(IDOK, [this] { ... }),
//         end_dialog_on(IDCANCEL),
//         on_notification(1001, LBN_SELCHANGE, [this] { ... })));
//
// Entries are tried in the order the map lists them until one reports the message handled. A
// command sent as "Quvan_WM_PROCESSCOMMAND" reaches the same command entries as WM_COMMAND, with
// the result 1 instead of 0. Installing a map keeps the handler installed before it, which is
// tried first.

#include <windows.h>

#include <cstdint>
#include <functional>
#include <tuple>
#include <utility>

namespace Ostrel::windows::impl {

struct message_record {
    HWND window;
    std::uint32_t message;
    std::uint64_t wparam;
    std::int64_t lparam;
    std::int64_t result = 0;
};

// The registered messages, registered on first use.
UINT process_command_message() noexcept;
UINT ui_return_message() noexcept;

inline bool is_command(const message_record& m) noexcept
{
    return m.message == WM_COMMAND || (m.message == process_command_message() && m.message != 0);
}
inline void set_command_result(message_record& m) noexcept { m.result = m.message == WM_COMMAND ? 0 : 1; }

using handler = std::move_only_function<bool(message_record&)>;

class messages {
public:
    // The new handler runs after the one installed before it, and only when that one left the
    // message unhandled.
    void install(handler next)
    {
        if (!handler_) {
            handler_ = std::move(next);
            return;
        }
        handler_ = [first = std::move(handler_), second = std::move(next)](message_record& m) mutable {
            return first(m) || second(m);
        };
    }
    // An empty chain handles nothing.
    bool dispatch(message_record& m) { return handler_ && handler_(m); }

private:
    handler handler_;
};

template <class F>
struct message_entry {
    std::uint32_t id;
    F target;
    bool operator()(message_record& m) { return m.message == id && target(m); }
};

template <class F>
struct command_entry {
    std::uint16_t id;
    F target;
    bool operator()(message_record& m)
    {
        if (!is_command(m) || LOWORD(m.wparam) != id)
            return false;
        target();
        set_command_result(m);
        return true;
    }
};

struct end_dialog_entry {
    std::uint16_t id;
    bool operator()(message_record& m)
    {
        if (!is_command(m) || LOWORD(m.wparam) != id)
            return false;
        EndDialog(m.window, 2);
        set_command_result(m);
        return true;
    }
};

template <class F>
struct notification_entry {
    std::uint16_t id;
    std::uint16_t code;
    F target;
    bool operator()(message_record& m)
    {
        if (!is_command(m) || LOWORD(m.wparam) != id || HIWORD(m.wparam) != code)
            return false;
        target();
        set_command_result(m);
        return true;
    }
};

template <class F>
message_entry<F> on_message(std::uint32_t id, F target)
{
    return {id, std::move(target)};
}
template <class F>
command_entry<F> on_command(std::uint16_t id, F target)
{
    return {id, std::move(target)};
}
inline end_dialog_entry end_dialog_on(std::uint16_t id) { return {id}; }
template <class F>
notification_entry<F> on_notification(std::uint16_t id, std::uint16_t code, F target)
{
    return {id, code, std::move(target)};
}

template <class... Entries>
handler message_map(Entries... entries)
{
    return [list = std::make_tuple(std::move(entries)...)](message_record& m) mutable {
        return std::apply([&m](auto&... e) { return (e(m) || ...); }, list);
    };
}

} // namespace Ostrel::windows::impl
