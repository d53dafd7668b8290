// The pipe link between the window's process and the elevated copy, over real pipes: the proxy's
// calls reach the served object in order, the bytes on the wire are the documented ones, and the
// pipe serves only the process it was told to serve.

#include <tolvane/ui/ui_link.h>

#include <lurran/message.h>
#include <lurran/pipe_transport.h>
#include <tavik/error.h>
#include <tavik/future.h>
#include <testing/support/child_process.h>

#include <gtest/gtest.h>

#include <aclapi.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tolvane;
using tavik::details::traceable_error;

// Records every call as a line.
class recording_ui final : public SetupUiInterface {
public:
    std::mutex lock;
    std::vector<std::wstring> calls;
    bool progress_answer = true;
    bool shutdown_answer = true;
    bool throw_on_range = false;

    void note(std::wstring line)
    {
        std::lock_guard g(lock);
        calls.push_back(std::move(line));
    }
    std::vector<std::wstring> taken()
    {
        std::lock_guard g(lock);
        return calls;
    }

    void set_progress_range(std::uint32_t steps) override
    {
        if (throw_on_range)
            tavik::details::throw_hresult(static_cast<HRESULT>(0x80070005));
        note(L"range " + std::to_wstring(steps));
    }
    bool set_progress(std::uint32_t position) override
    {
        note(L"progress " + std::to_wstring(position));
        return progress_answer;
    }
    void set_status(const std::wstring& text) override { note(L"status& " + text); }
    void enable_cancel(bool allowed) override { note(allowed ? L"cancel on" : L"cancel off"); }
    void set_status(std::wstring&& text) override { note(L"status&& " + text); }
    std::uint64_t get_window() override { return 0x1234567890ull; }
    std::vector<feature_selection> get_feature_selection() override { return {}; }
    bool add_locked_file(const std::wstring& path) override
    {
        note(L"locked " + path);
        return true;
    }
    bool shutdown_applications() override
    {
        note(L"shutdown");
        return shutdown_answer;
    }
    void restart_applications() override { note(L"restart"); }
};

std::wstring unique_name()
{
    static std::atomic<int> n{0};
    return L"tolvane-ui-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++n);
}

GUID guid_of(std::uint32_t a)
{
    GUID g{};
    g.Data1 = a;
    g.Data2 = 0x1122;
    g.Data3 = 0x3344;
    for (int i = 0; i < 8; ++i)
        g.Data4[i] = static_cast<unsigned char>(0xA0 + i);
    return g;
}

// A raw client end that writes and reads frames byte for byte.
class raw_client {
public:
    explicit raw_client(const std::wstring& name)
    {
        const std::wstring path = L"\\\\.\\pipe\\" + name;
        for (int i = 0; i < 100 && pipe_ == INVALID_HANDLE_VALUE; ++i) {
            pipe_ = CreateFileW(path.c_str(), GENERIC_READ | FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
            if (pipe_ == INVALID_HANDLE_VALUE)
                Sleep(20);
        }
    }
    ~raw_client()
    {
        if (pipe_ != INVALID_HANDLE_VALUE)
            CloseHandle(pipe_);
    }
    bool open() const { return pipe_ != INVALID_HANDLE_VALUE; }
    HANDLE handle() const { return pipe_; }

    void send(std::uint32_t word, std::uint32_t method, const std::vector<std::uint8_t>& body)
    {
        std::vector<std::uint8_t> frame(12);
        const std::uint32_t length = static_cast<std::uint32_t>(body.size());
        std::memcpy(frame.data(), &word, 4);
        std::memcpy(frame.data() + 4, &method, 4);
        std::memcpy(frame.data() + 8, &length, 4);
        frame.insert(frame.end(), body.begin(), body.end());
        DWORD n = 0;
        ASSERT_TRUE(WriteFile(pipe_, frame.data(), DWORD(frame.size()), &n, nullptr));
    }
    // The next frame: call word, method id, body; false when the pipe broke.
    bool receive(std::uint32_t& word, std::uint32_t& method, std::vector<std::uint8_t>& body)
    {
        std::uint8_t header[12];
        if (!read_exact(header, 12))
            return false;
        std::uint32_t length = 0;
        std::memcpy(&word, header, 4);
        std::memcpy(&method, header + 4, 4);
        std::memcpy(&length, header + 8, 4);
        body.resize(length);
        return length == 0 || read_exact(body.data(), length);
    }
    // Whether a frame arrives within the time (PeekNamedPipe polling).
    bool frame_waiting(std::chrono::milliseconds within)
    {
        const auto end = std::chrono::steady_clock::now() + within;
        do {
            DWORD available = 0;
            if (!PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr))
                return false;
            if (available >= 12)
                return true;
            Sleep(10);
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }

private:
    bool read_exact(std::uint8_t* out, std::size_t n)
    {
        std::size_t at = 0;
        while (at < n) {
            DWORD got = 0;
            if (!ReadFile(pipe_, out + at, DWORD(n - at), &got, nullptr) || got == 0)
                return false;
            at += got;
        }
        return true;
    }
    HANDLE pipe_ = INVALID_HANDLE_VALUE;
};

std::vector<std::uint8_t> u32_bytes(std::uint32_t v)
{
    std::vector<std::uint8_t> b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

std::uint32_t reply_kind(std::uint32_t word) { return word >> 30; }

// Starts this test program again as the elevated copy would run: a proxy connecting to `name`,
// which reports progress 7 and its status, then exits with the answer of set_progress.
struct child_process {
    PROCESS_INFORMATION info{};
    explicit child_process(const std::wstring& name, const wchar_t* filter = L"UiLinkChild.ProxyRun")
    {
        wchar_t exe[MAX_PATH];
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(exe) + L"\" --gtest_filter=" + filter;
        SetEnvironmentVariableW(L"TOLVANE_UI_TEST_PIPE", name.c_str());
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        const BOOL ok = test_support::create_process(nullptr, command.data(), FALSE, 0, nullptr, nullptr, &startup,
                                                     &info);
        SetEnvironmentVariableW(L"TOLVANE_UI_TEST_PIPE", nullptr);
        EXPECT_TRUE(ok);
    }
    ~child_process()
    {
        if (info.hProcess) {
            if (WaitForSingleObject(info.hProcess, 0) != WAIT_OBJECT_0)
                TerminateProcess(info.hProcess, 99);
            CloseHandle(info.hProcess);
            CloseHandle(info.hThread);
        }
    }
    DWORD wait_exit(DWORD ms = 30000)
    {
        if (WaitForSingleObject(info.hProcess, ms) != WAIT_OBJECT_0)
            return 0xFFFFFFFF;
        DWORD code = 0;
        GetExitCodeProcess(info.hProcess, &code);
        return code;
    }
};

} // namespace

// The child side of the process tests (skipped when run on its own).
TEST(UiLinkChild, ProxyRun)
{
    wchar_t name[128];
    if (!GetEnvironmentVariableW(L"TOLVANE_UI_TEST_PIPE", name, 128))
        GTEST_SKIP() << "run by the process tests";
    int code = 0;
    try {
        ui_proxy proxy(name);
        proxy.set_status(std::wstring(L"from the copy"));
        code = proxy.set_progress(7) ? 10 : 11;
    } catch (const traceable_error& e) {
        code = 20;
    }
    std::fflush(stdout);
    ExitProcess(code);
}

TEST(UiLink, EveryOperationReachesTheServedObjectInCallOrder)
{
    recording_ui ui;
    const GUID a = guid_of(1), b = guid_of(2);
    auto started = start_ui_server(ui, [&] {
        return std::vector<feature_selection>{{a, 1, {}}, {b, 0, {}}};
    }, unique_name());
    started.server->serve_process(GetCurrentProcessId());
    ui_proxy proxy(started.pipe_name);

    proxy.set_progress_range(12);
    EXPECT_TRUE(proxy.set_progress(3));
    EXPECT_TRUE(proxy.set_progress(indeterminate_progress));
    const std::wstring kept = L"Committing changes";
    proxy.set_status(kept);
    proxy.set_status(std::wstring(L"Copying files"));
    proxy.enable_cancel(false);
    EXPECT_EQ(proxy.get_window(), 0x1234567890ull);
    EXPECT_TRUE(proxy.add_locked_file(L"C:\\p\\a.dll"));
    EXPECT_TRUE(proxy.shutdown_applications());
    proxy.restart_applications();
    ui.progress_answer = false;
    EXPECT_FALSE(proxy.set_progress(4));

    // Through the pipe the selection is the package's, not the window's (always empty).
    auto selection = proxy.get_feature_selection();
    ASSERT_EQ(selection.size(), 2u);
    EXPECT_TRUE(IsEqualGUID(selection[0].id, a));
    EXPECT_EQ(selection[0].selected, 1);
    EXPECT_TRUE(IsEqualGUID(selection[1].id, b));
    EXPECT_EQ(selection[1].selected, 0);
    EXPECT_EQ(ui.get_feature_selection().size(), 0u);

    // Both status entries arrive alike, through the entry that may keep the text.
    EXPECT_EQ(ui.taken(), (std::vector<std::wstring>{
                              L"range 12", L"progress 3", L"progress 4294967295", L"status&& Committing changes",
                              L"status&& Copying files", L"cancel off", L"locked C:\\p\\a.dll", L"shutdown",
                              L"restart", L"progress 4"}));
    EXPECT_EQ(kept, L"Committing changes");
}

TEST(UiLink, ErrorsOfTheServedObjectAndOfTheLinkReachTheCaller)
{
    recording_ui ui;
    auto started = start_ui_server(ui, {}, unique_name());
    started.server->serve_process(GetCurrentProcessId());
    auto proxy = std::make_unique<ui_proxy>(started.pipe_name);

    ui.throw_on_range = true;
    try {
        proxy->set_progress_range(3);
        FAIL() << "no error";
    } catch (const traceable_error& e) {
        EXPECT_EQ(e.code(), static_cast<HRESULT>(0x80070005));
    }
    // The connection goes on after an error reply.
    EXPECT_TRUE(proxy->set_progress(1));

    // The window's process goes away: every later call fails with operation_cancelled.
    started.server.reset();
    try {
        proxy->set_progress(2);
        FAIL() << "no error";
    } catch (const traceable_error& e) {
        EXPECT_EQ(e.code(), static_cast<HRESULT>(0x800704C7));
    }
}

TEST(UiLink, WireBytesOfRequestsAndReplies)
{
    recording_ui ui;
    const GUID a = guid_of(0xAABBCCDD), c = guid_of(3);
    // Three features, the one with the all-zero GUID left out by the package's walk.
    auto started = start_ui_server(ui, [&] {
        return std::vector<feature_selection>{{a, 1, {}}, {c, 0, {}}};
    }, unique_name());
    started.server->serve_process(GetCurrentProcessId());
    raw_client client(started.pipe_name);
    ASSERT_TRUE(client.open());

    std::uint32_t word = 0, method = 0;
    std::vector<std::uint8_t> body;

    // get_feature_selection: 4 + 2 x 20 bytes.
    client.send(5, 0xDE4AD26C, {});
    ASSERT_TRUE(client.receive(word, method, body));
    EXPECT_EQ(word, 5u | 0x80000000u);
    ASSERT_EQ(body.size(), 44u);
    std::vector<std::uint8_t> expected = {2, 0, 0, 0, 0xDD, 0xCC, 0xBB, 0xAA, 0x22, 0x11, 0x44, 0x33,
                                          0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6, 0xA7, 1};
    EXPECT_TRUE(std::equal(expected.begin(), expected.end(), body.begin()));
    EXPECT_EQ(body[24], 3);
    EXPECT_EQ(body[40], 0);

    // An empty text is four zero bytes and arrives empty.
    client.send(6, 0x40504B8F, {0, 0, 0, 0});
    ASSERT_TRUE(client.receive(word, method, body));
    EXPECT_EQ(word, 6u | 0x80000000u);
    EXPECT_TRUE(body.empty());

    // set_progress: u32 in, one byte out.
    client.send(7, 0x9269F13F, u32_bytes(9));
    ASSERT_TRUE(client.receive(word, method, body));
    EXPECT_EQ(body, std::vector<std::uint8_t>{1});

    // get_window: eight bytes.
    client.send(8, 0x2FA52D07, {});
    ASSERT_TRUE(client.receive(word, method, body));
    EXPECT_EQ(body, (std::vector<std::uint8_t>{0x90, 0x78, 0x56, 0x34, 0x12, 0, 0, 0}));

    // enable_cancel reads any non-zero byte as true.
    client.send(9, 0x547BF0C4, {0x80});
    ASSERT_TRUE(client.receive(word, method, body));

    // An unknown id: E_NOTIMPL, and the connection stays.
    client.send(10, 0x12345678, {});
    ASSERT_TRUE(client.receive(word, method, body));
    EXPECT_EQ(reply_kind(word), 3u);
    EXPECT_EQ(body, u32_bytes(0x80004001));

    // A text whose count runs past the body: an error reply, nothing read beyond it.
    client.send(11, 0x1965E418, {50, 0, 0, 0, 'a', 0});
    ASSERT_TRUE(client.receive(word, method, body));
    EXPECT_EQ(reply_kind(word), 3u);
    EXPECT_EQ(body, u32_bytes(0x80070057));
    // A short u32.
    client.send(12, 0xAEF3EF0C, {1, 2});
    ASSERT_TRUE(client.receive(word, method, body));
    EXPECT_EQ(reply_kind(word), 3u);

    client.send(13, 0x9269F13F, u32_bytes(1));
    ASSERT_TRUE(client.receive(word, method, body));
    EXPECT_EQ(reply_kind(word), 2u);

    EXPECT_EQ(ui.taken(), (std::vector<std::wstring>{L"status&& ", L"progress 9", L"cancel on", L"progress 1"}));
}

TEST(UiLink, BoundedFuzzOfRequestBodiesLeavesTheServerAnswering)
{
    recording_ui ui;
    auto started = start_ui_server(ui, [] { return std::vector<feature_selection>{}; }, unique_name());
    started.server->serve_process(GetCurrentProcessId());
    raw_client client(started.pipe_name);
    ASSERT_TRUE(client.open());
    const std::uint32_t ids[] = {0xAEF3EF0C, 0x9269F13F, 0x547BF0C4, 0x40504B8F, 0xDE4AD26C,
                                 0x1965E418, 0x2FA52D07, 0x44984914, 0x73796CAA, 0x11111111};
    std::uint32_t seed = 12345;
    auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
    for (std::uint32_t i = 1; i <= 300; ++i) {
        std::vector<std::uint8_t> body(next() % 24);
        for (auto& b : body)
            b = static_cast<std::uint8_t>(next() >> 16);
        client.send(i, ids[next() % 10], body);
        std::uint32_t word = 0, method = 0;
        std::vector<std::uint8_t> reply;
        ASSERT_TRUE(client.receive(word, method, reply)) << i;
        EXPECT_EQ(word & 0x3FFFFFFF, i);
        EXPECT_GE(reply_kind(word), 2u);
    }
    client.send(999, 0x9269F13F, u32_bytes(5));
    std::uint32_t word = 0, method = 0;
    std::vector<std::uint8_t> reply;
    ASSERT_TRUE(client.receive(word, method, reply));
    EXPECT_EQ(reply, std::vector<std::uint8_t>{1});
}

TEST(UiLink, AClientThatComesBeforeTheIdWaitsForIt)
{
    recording_ui ui;
    auto started = start_ui_server(ui, {}, unique_name());
    raw_client client(started.pipe_name);
    ASSERT_TRUE(client.open());
    client.send(1, 0x9269F13F, u32_bytes(2));
    EXPECT_FALSE(client.frame_waiting(std::chrono::milliseconds(300)));
    EXPECT_TRUE(ui.taken().empty());
    started.server->serve_process(GetCurrentProcessId());
    ASSERT_TRUE(client.frame_waiting(std::chrono::milliseconds(5000)));
    std::uint32_t word = 0, method = 0;
    std::vector<std::uint8_t> body;
    ASSERT_TRUE(client.receive(word, method, body));
    EXPECT_EQ(body, std::vector<std::uint8_t>{1});
}

TEST(UiLink, ARogueFirstClientIsRefusedAndTheStartedProcessServed)
{
    recording_ui ui;
    auto started = start_ui_server(ui, {}, unique_name());
    // This process connects first, but the server waits for the child's id.
    auto rogue = std::make_unique<raw_client>(started.pipe_name);
    ASSERT_TRUE(rogue->open());
    rogue->send(1, 0x40504B8F, {3, 0, 0, 0, 'b', 0, 'a', 0, 'd', 0});

    child_process child(started.pipe_name);
    started.server->serve_process(child.info.dwProcessId);
    std::uint32_t word = 0, method = 0;
    std::vector<std::uint8_t> body;
    EXPECT_FALSE(rogue->receive(word, method, body)); // disconnected
    rogue.reset();

    EXPECT_EQ(child.wait_exit(), 10u);
    EXPECT_EQ(ui.taken(), (std::vector<std::wstring>{L"status&& from the copy", L"progress 7"}));
}

TEST(UiLink, TheNameHasOneInstanceAndASecondServerFails)
{
    recording_ui ui;
    const std::wstring name = unique_name();
    auto first = start_ui_server(ui, {}, name);
    try {
        auto second = start_ui_server(ui, {}, name);
        FAIL() << "a second instance was made";
    } catch (const traceable_error& e) {
        // Windows refuses the first-instance flag (access denied); Wine enforces only the count.
        EXPECT_TRUE(e.code() == static_cast<HRESULT>(0x80070005) || e.code() == static_cast<HRESULT>(0x800700E7))
            << std::hex << e.code();
    }
    // The first still serves.
    first.server->serve_process(GetCurrentProcessId());
    ui_proxy proxy(first.pipe_name);
    EXPECT_TRUE(proxy.set_progress(1));
}

TEST(UiLink, TheAccessListAdmitsTheUserAndAdministratorsWithoutInstanceCreation)
{
    ui_pipe_security security;
    BOOL present = FALSE, defaulted = FALSE;
    PACL acl = nullptr;
    ASSERT_TRUE(GetSecurityDescriptorDacl(security.descriptor(), &present, &acl, &defaulted));
    ASSERT_TRUE(present);
    ASSERT_EQ(acl->AceCount, 2);
    alignas(8) unsigned char admins[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof(admins);
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, admins, &size));
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    alignas(8) unsigned char user[sizeof(TOKEN_USER) + SECURITY_MAX_SID_SIZE];
    DWORD length = 0;
    ASSERT_TRUE(GetTokenInformation(token, TokenUser, user, sizeof(user), &length));
    CloseHandle(token);
    PSID sids[2] = {reinterpret_cast<TOKEN_USER*>(user)->User.Sid, admins};
    for (int i = 0; i < 2; ++i) {
        void* ace = nullptr;
        ASSERT_TRUE(GetAce(acl, i, &ace));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(ace);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(allowed->Mask, 0x12019Bu);
        EXPECT_EQ(allowed->Mask & FILE_CREATE_PIPE_INSTANCE, 0u);
        EXPECT_TRUE(EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), sids[i]));
    }
    // The pipe's parameters: one instance, made only when nobody holds the name.
    auto params = ui_pipe_params(security.descriptor(), nullptr);
    EXPECT_EQ(params.max_instances, 1u);
    EXPECT_TRUE(lurran::details::pipe::server_open_mode(params) & FILE_FLAG_FIRST_PIPE_INSTANCE);
    EXPECT_EQ(params.in_buffer_size, 0x1000000u);
}

TEST(UiLink, ProxyWithoutAPipeFailsAtOnce)
{
    const auto start = std::chrono::steady_clock::now();
    try {
        ui_proxy proxy(unique_name());
        FAIL() << "connected";
    } catch (const traceable_error& e) {
        EXPECT_EQ(e.code(), static_cast<HRESULT>(0x80070002));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
}

TEST(UiLink, DestroyingAServerThatNobodyReachedEndsItsListening)
{
    recording_ui ui;
    for (int i = 0; i < 20; ++i) {
        auto started = start_ui_server(ui, {}, unique_name());
        if (i % 2)
            started.server->serve_process(4242);
        started.server.reset();
    }
}
