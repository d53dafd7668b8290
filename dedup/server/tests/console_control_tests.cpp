// The console control handler of the folder server: which events stop the server.

#include "server_test_support.h"

#include <dedup/server/folder_server.h>

#include <gtest/gtest.h>

#include <atomic>

namespace {

class counting_server final : public dedup::impl::folder_server {
public:
    tavik::details::future<void> start() override { co_return; }
    void stop() noexcept override { ++stops; }
    std::atomic<int> stops{0};
};

TEST(ConsoleControl, CtrlCBreakAndCloseStopTheServerOtherEventsPassOn)
{
    server_test::recording_logger log;
    counting_server server;
    dedup::impl::set_global_server(&server);
    struct case_t {
        DWORD event;
        BOOL handled;
    } cases[] = {{CTRL_C_EVENT, TRUE}, {CTRL_BREAK_EVENT, TRUE}, {CTRL_CLOSE_EVENT, TRUE},
                 {CTRL_LOGOFF_EVENT, FALSE}, {CTRL_SHUTDOWN_EVENT, FALSE}};
    int expected_stops = 0;
    for (const auto& c : cases) {
        EXPECT_EQ(dedup::impl::console_ctrl_handler(c.event), c.handled) << c.event;
        expected_stops += c.handled ? 1 : 0;
        EXPECT_EQ(server.stops.load(), expected_stops) << c.event;
    }
    dedup::impl::set_global_server(nullptr);
    ASSERT_EQ(log.lines().size(), 3u);
    for (const auto& line : log.lines()) {
        EXPECT_EQ(line.text, L"Stop event received, stopping server...\r\n");
        EXPECT_EQ(line.level, 4);
    }
    // Before a server exists: handled, nothing to stop.
    EXPECT_TRUE(dedup::impl::console_ctrl_handler(CTRL_C_EVENT));
}

} // namespace
