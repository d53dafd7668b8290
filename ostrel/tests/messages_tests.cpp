#include <ostrel/windows/dpi.h>
#include <ostrel/windows/messages.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Ostrel::windows::impl;

message_record command(std::uint32_t message, std::uint16_t id, std::uint16_t code = 0)
{
    return message_record{nullptr, message, MAKEWPARAM(id, code), 0, 0};
}

TEST(Messages, EntriesAreTriedInOrderUntilOneHandles)
{
    std::vector<std::string> calls;
    messages chain;
    chain.install(message_map(
        on_message(WM_TIMER, [&](message_record&) { calls.push_back("observe"); return false; }),
        on_message(WM_TIMER, [&](message_record& m) { calls.push_back("handle"); m.result = 42; return true; }),
        on_message(WM_TIMER, [&](message_record&) { calls.push_back("never"); return true; }),
        on_command(7, [&] { calls.push_back("command 7"); }),
        on_notification(1001, LBN_DBLCLK, [&] { calls.push_back("dblclk"); }),
        on_command(1001, [&] { calls.push_back("any 1001"); })));
    message_record timer{nullptr, WM_TIMER, 0, 0, 0};
    EXPECT_TRUE(chain.dispatch(timer));
    EXPECT_EQ(timer.result, 42);
    EXPECT_EQ(calls, (std::vector<std::string>{"observe", "handle"}));

    calls.clear();
    auto plain = command(WM_COMMAND, 7);
    EXPECT_TRUE(chain.dispatch(plain));
    EXPECT_EQ(plain.result, 0);
    auto registered = command(process_command_message(), 7);
    registered.result = 99;
    EXPECT_TRUE(chain.dispatch(registered));
    EXPECT_EQ(registered.result, 1);
    auto dbl = command(WM_COMMAND, 1001, LBN_DBLCLK);
    EXPECT_TRUE(chain.dispatch(dbl));
    auto sel = command(process_command_message(), 1001, LBN_SELCHANGE);
    EXPECT_TRUE(chain.dispatch(sel));
    EXPECT_EQ(sel.result, 1);
    EXPECT_EQ(calls, (std::vector<std::string>{"command 7", "command 7", "dblclk", "any 1001"}));

    auto unknown = command(WM_COMMAND, 8);
    EXPECT_FALSE(chain.dispatch(unknown));
    message_record other{nullptr, WM_PAINT, 7, 0, 0};
    EXPECT_FALSE(chain.dispatch(other));
    EXPECT_NE(process_command_message(), 0u);
    EXPECT_NE(process_command_message(), ui_return_message());
}

TEST(Messages, TheHandlerInstalledFirstRunsFirst)
{
    std::vector<int> order;
    messages chain;
    message_record empty_chain{nullptr, WM_CLOSE, 0, 0, 0};
    EXPECT_FALSE(chain.dispatch(empty_chain));
    chain.install(message_map(on_message(WM_CLOSE, [&](message_record&) { order.push_back(1); return false; }),
                              on_message(WM_DESTROY, [&](message_record&) { order.push_back(2); return true; })));
    chain.install(message_map(on_message(WM_CLOSE, [&](message_record&) { order.push_back(3); return true; }),
                              on_message(WM_DESTROY, [&](message_record&) { order.push_back(4); return true; })));
    message_record close{nullptr, WM_CLOSE, 0, 0, 0};
    message_record destroy{nullptr, WM_DESTROY, 0, 0, 0};
    EXPECT_TRUE(chain.dispatch(close));
    EXPECT_TRUE(chain.dispatch(destroy));
    EXPECT_EQ(order, (std::vector<int>{1, 3, 2}));
}

TEST(Messages, CopyDataNotAcceptedGoesOnToTheCommandEntriesWhichDoNotMatchIt)
{
    // The main dialog's order: its framework block, then WM_COPYDATA (a transport that accepts only
    // its own frames), then the command entries.
    int accepted = 0, commands = 0;
    messages chain;
    chain.install(message_map(
        on_message(WM_COPYDATA,
                   [&](message_record& m) {
                       const auto* data = reinterpret_cast<const COPYDATASTRUCT*>(m.lparam);
                       if (!data || data->dwData != 0x3776427F || data->cbData <= 11)
                           return false;
                       ++accepted;
                       m.result = 0;
                       return true;
                   }),
        on_command(1, [&] { ++commands; }), on_command(2, [&] { ++commands; })));
    COPYDATASTRUCT foreign{0x1234, 0, nullptr};
    message_record m{nullptr, WM_COPYDATA, 1, reinterpret_cast<std::int64_t>(&foreign), 0};
    EXPECT_FALSE(chain.dispatch(m));
    std::uint8_t frame[12] = {};
    COPYDATASTRUCT ours{0x3776427F, sizeof(frame), frame};
    message_record n{nullptr, WM_COPYDATA, 2, reinterpret_cast<std::int64_t>(&ours), 7};
    EXPECT_TRUE(chain.dispatch(n));
    EXPECT_EQ(n.result, 0);
    EXPECT_EQ(accepted, 1);
    EXPECT_EQ(commands, 0);
}

TEST(Messages, DpiFallsBackToTheDeviceContextWithoutThePerMonitorFunctions)
{
    const dpi_api none{};
    const UINT from_dc = window_dpi(nullptr, none);
    HDC dc = GetDC(nullptr);
    const UINT expected = static_cast<UINT>(GetDeviceCaps(dc, LOGPIXELSX));
    ReleaseDC(nullptr, dc);
    EXPECT_EQ(from_dc, expected ? expected : 96u);
    const dpi_api fixed{[](HWND) -> UINT { return 144; }, [](int index, UINT dpi) -> int {
                            return index == SM_CXSMICON ? static_cast<int>(dpi / 6) : 0;
                        }};
    EXPECT_EQ(window_dpi(nullptr, fixed), 144u);
    EXPECT_EQ(system_metric(SM_CXSMICON, 144, fixed), 24);
    EXPECT_EQ(system_metric(SM_CXSMICON, 144, none), GetSystemMetrics(SM_CXSMICON));
    // A function that answers 0 (no window) falls back too.
    const dpi_api zero{[](HWND) -> UINT { return 0; }, nullptr};
    EXPECT_EQ(window_dpi(nullptr, zero), from_dc);
}

} // namespace
