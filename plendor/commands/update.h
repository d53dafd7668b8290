#pragma once
// The silent update check: ask the update site whether a newer version exists, download the newer
// installer before asking anything, ask, and on Yes start it with "--wait-process" and a handle of
// this process that it inherits, then close the main window.
//
// No failure of the check or the download is ever shown. The downloaded file lives only as long
// as the flow needs it: every way the flow ends except a started installer deletes it.

#include <plendor/commands/texts.h>

#include <ostrel/windows/async_context.h>
#include <tavik/cancellation.h>
#include <tavik/future.h>

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The update site; tests give their own server's address.
inline constexpr std::wstring_view update_site_address = site_address;

// The query answer is small; more than this is no answer of the update site.
inline constexpr std::size_t update_answer_limit = 64 * 1024;

// "{base}dispatch/dedup/checkforupdates?ver={N}".
std::wstring make_update_query_address(std::wstring_view base, const version_t& own);

// What an answer offers. `url` only when the offered version is newer than `own`.
struct update_offer {
    version_t version;
    std::optional<std::wstring> url;
};

// Reads the query answer; nothing when the text is not a JSON object, "Version" is missing, not a
// number, negative or above 2^32 - 1, or, for a newer version, "Url" is not a string that
// WinHttpCrackUrl accepts, or is not https while the query was (`https_only`).
std::optional<update_offer> read_update_answer(std::string_view body, const version_t& own, bool https_only);

// The offered version is newer: at the first part that differs, it is greater.
bool is_newer_version(const version_t& offered, const version_t& own) noexcept;

// The result of check_for_updates: the offered version, and the started download when it is newer.
struct update_info {
    version_t offered;
    std::optional<tavik::details::future<std::wstring>> download;
};

// Contract of the coroutines below: awaited once by anyone; they resume on thread-pool threads;
// cancelling the source ends them at once with operation_cancelled.

// GET of the query address and the answer read; any failure is the future's exception.
tavik::details::future<update_info> check_for_updates(std::wstring address, tavik::details::cancellation_source cancel,
                                                      std::wstring temp_folder = {});

// The installer downloaded into the temporary folder under a new GUID's text, without extension;
// its full path, or an empty text when the server did not answer 2xx (no file then). A failed or
// cancelled download leaves no file.
tavik::details::future<std::wstring> download_file(std::wstring url, tavik::details::cancellation_source cancel,
                                                   std::wstring temp_folder = {});

// The text form of a new GUID (braces, upper-case digits); all zeros when UuidCreate fails.
std::wstring new_guid_text();

// What the flow needs from the main window.
struct update_flow_host {
    HWND main_window = nullptr;
    // The UI thread's context of the main window: the question is asked on that thread.
    const Ostrel::windows::impl::async_context* ui = nullptr;
    std::wstring base_address = std::wstring(update_site_address);
    version_t own = {};
    // The folder downloads go to; empty: GetTempPathW.
    std::wstring temp_folder = {};
    // Asks the question; IDYES or anything else. Empty: a message box owned by the main window.
    std::function<int(HWND owner, const std::wstring& text)> ask = {};
};

// Contract: started on the UI thread; awaited by nobody or once; ends without an exception in every
// case; runs under a source linked to `cancel` (the main window's), whose cancellation ends it at
// the next step. When the installer started, WM_CLOSE has been posted to the main window.
tavik::details::future<void> run_update_flow(update_flow_host host, tavik::details::cancellation_source cancel);

// The main window's hold on its update flow.
//
// start keeps a flow that is still running (a verbless start forwarded meanwhile must not begin a
// second download and question, nor leave a flow that closing does not wait for). stop cancels
// the flow and waits for its end while resuming the UI returns posted to this thread: a flow whose
// download has just finished needs the UI thread to resume, see the cancellation and delete its
// file. Called from inside the flow's question it only cancels (see update_question_open). It must
// be called on the UI thread.
class update_flow_slot {
public:
    // Whether a new flow was started: `begin` makes it, observing the source it is given.
    bool start(const std::function<tavik::details::future<void>(tavik::details::cancellation_source)>& begin);
    // run_update_flow for this host.
    bool start(update_flow_host host);
    void stop() noexcept;
    bool running() const noexcept { return flow_.valid() && !flow_.is_ready(); }
    const tavik::details::cancellation_source& source() const noexcept { return source_; }

private:
    tavik::details::cancellation_source source_;
    tavik::details::future<void> flow_;
};

// Whether an update flow is asking its question on this thread, in the question's own message
// loop. A window destroyed from that loop must not wait for the flow: the flow resumes only once
// the close has returned and the question's loop has ended.
bool update_question_open() noexcept;

// Waits for `f` on the UI thread, resuming only the UI returns posted to it meanwhile.
void wait_resuming_ui_returns(const tavik::details::future<void>& f) noexcept;
