#include <tolvane/ui/files_in_use.h>

#include <ostrel/windows/dialog.h>
#include <quillo/render.h>
#include <tolvane/ui/dialog_ids.h>

#include <memory>
#include <string>

namespace tolvane {

namespace {

using Ostrel::windows::impl::message_record;

// Posted by a waiter whose process has ended; lParam is the waiter's line key.
constexpr UINT process_ended_message = WM_APP + 0x133;

// One waiting process. Its thread-pool wait posts the line key to the dialog; the dialog's close
// stops the wait (and waits only for a callback already running, which merely posts) before the
// handle is closed.
struct process_waiter {
    HWND dialog = nullptr;
    LPARAM key = 0;
    HANDLE process = nullptr;
    PTP_WAIT wait = nullptr;

    static void CALLBACK ended(PTP_CALLBACK_INSTANCE, void* context, PTP_WAIT, TP_WAIT_RESULT result)
    {
        auto* self = static_cast<process_waiter*>(context);
        // A dialog that has closed since is gone: the post fails and changes nothing.
        if (result == WAIT_OBJECT_0)
            PostMessageW(self->dialog, process_ended_message, 0, self->key);
    }

    void stop() noexcept
    {
        if (wait) {
            SetThreadpoolWait(wait, nullptr, nullptr);
            WaitForThreadpoolWaitCallbacks(wait, TRUE);
            CloseThreadpoolWait(wait);
            wait = nullptr;
        }
        if (process) {
            CloseHandle(process);
            process = nullptr;
        }
    }
    ~process_waiter() { stop(); }
};

class files_in_use_dlg : public Ostrel::windows::impl::dialog<files_in_use_dlg, IDD_TOLVANE_FILES_IN_USE> {
public:
    explicit files_in_use_dlg(const std::vector<RM_PROCESS_INFO>& processes) : processes_(processes)
    {
        using namespace Ostrel::windows::impl;
        install(message_map(on_message(WM_INITDIALOG, [this](message_record& m) { return on_init(m); }),
                            on_message(process_ended_message, [this](message_record& m) { return on_ended(m); }),
                            [this](message_record& m) {
                                if (!is_command(m))
                                    return false;
                                const int id = LOWORD(m.wparam);
                                if (id != IDOK && id != IDCANCEL && id != IDC_TOLVANE_CLOSE_AND_RETRY)
                                    return false;
                                close(m.window, id);
                                set_command_result(m);
                                return true;
                            }));
    }
    ~files_in_use_dlg() { stop_waiters(); }

private:
    bool on_init(message_record& m)
    {
        HWND list = GetDlgItem(m.window, IDC_TOLVANE_PROCESS_LIST);
        // Every line first: a waiter whose process has already ended may report at once, and the
        // lines after it must be there to keep the dialog open.
        waiters_.reserve(processes_.size());
        for (std::size_t i = 0; i < processes_.size(); ++i) {
            const RM_PROCESS_INFO& info = processes_[i];
            const std::wstring line = quillo::format(L"{0} (Process ID: {1})", std::wstring_view(info.strAppName),
                                                     static_cast<std::uint32_t>(info.Process.dwProcessId));
            const LRESULT at = SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
            SendMessageW(list, LB_SETITEMDATA, at, static_cast<LPARAM>(i + 1));
        }
        for (std::size_t i = 0; i < processes_.size(); ++i) {
            auto waiter = std::make_unique<process_waiter>();
            waiter->dialog = m.window;
            waiter->key = static_cast<LPARAM>(i + 1);
            // A process that cannot be opened keeps its line until the user closes the dialog.
            waiter->process = OpenProcess(SYNCHRONIZE, FALSE, processes_[i].Process.dwProcessId);
            if (!waiter->process)
                continue;
            waiter->wait = CreateThreadpoolWait(&process_waiter::ended, waiter.get(), nullptr);
            if (!waiter->wait)
                continue;
            SetThreadpoolWait(waiter->wait, waiter->process, nullptr);
            waiters_.push_back(std::move(waiter));
        }
        m.result = FALSE;
        return true;
    }

    bool on_ended(message_record& m)
    {
        if (closed_)
            return true;
        HWND list = GetDlgItem(m.window, IDC_TOLVANE_PROCESS_LIST);
        const LRESULT count = SendMessageW(list, LB_GETCOUNT, 0, 0);
        for (LRESULT i = 0; i < count; ++i) {
            if (SendMessageW(list, LB_GETITEMDATA, i, 0) == m.lparam) {
                SendMessageW(list, LB_DELETESTRING, i, 0);
                if (count == 1)
                    close(m.window, IDOK);
                break;
            }
        }
        return true;
    }

    void close(HWND window, int id)
    {
        closed_ = true;
        stop_waiters();
        EndDialog(window, id);
    }

    void stop_waiters() noexcept
    {
        for (auto& waiter : waiters_)
            waiter->stop();
    }

    const std::vector<RM_PROCESS_INFO>& processes_;
    std::vector<std::unique_ptr<process_waiter>> waiters_;
    bool closed_ = false;
};

} // namespace

int show_files_in_use(HWND owner, const std::vector<RM_PROCESS_INFO>& processes)
{
    files_in_use_dlg dialog(processes);
    return static_cast<int>(dialog.show_modal(owner));
}

} // namespace tolvane
