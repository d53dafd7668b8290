#pragma once
// Optimize and recover on a folder's own server, over its pipe: the calls behind
// folder_services::resync and folder_services::recover.
//
// Contract: awaited once by anyone; resumes on a thread-pool thread. The connect runs on the
// thread pool (a busy pipe is waited for there, not on the UI thread). When the folder server
// closes its end, the connection is shut down at once, so a pending call fails with 0x800704C7
// instead of waiting for good. Every way out shuts the connection down.

#include <plendor/commands/folder_commands.h>
#include <plendor/commands/progress_dlg.h>

#include <dedup/engine/operation_results.h>
#include <tavik/future.h>

#include <expected>
#include <memory>
#include <string>

// resync(0, 7, 3); the progress messages become stage and progress reports of `target`, which
// is held weakly: the owner alone decides when the dialog goes.
tavik::details::future<std::expected<dedup::resync_stats, long>> resync_over_pipe(std::wstring folder,
                                                                                 std::weak_ptr<progress> target);

// recover(0); progress messages are ignored.
tavik::details::future<std::expected<dedup::recover_stats, long>> recover_over_pipe(std::wstring folder);

// folder_services with optimize and recover over the folders' pipes; convert and delete go to the
// service through the calls given (the service connection's).
class pipe_folder_services : public folder_services {
public:
    using convert_call = std::function<tavik::details::future<long>(std::wstring path)>;
    using delete_call = std::function<tavik::details::future<long>(std::wstring path, bool force)>;

    pipe_folder_services(convert_call convert, delete_call remove)
        : convert_(std::move(convert)), delete_(std::move(remove))
    {
    }

    tavik::details::future<long> convert(std::wstring path) override { return convert_(std::move(path)); }
    tavik::details::future<long> delete_folder(std::wstring path, bool force) override
    {
        return delete_(std::move(path), force);
    }
    tavik::details::future<std::expected<dedup::resync_stats, long>> resync(std::wstring path,
                                                                             std::shared_ptr<progress> target) override
    {
        return resync_over_pipe(std::move(path), std::move(target));
    }
    tavik::details::future<std::expected<dedup::recover_stats, long>> recover(std::wstring path) override
    {
        return recover_over_pipe(std::move(path));
    }

private:
    convert_call convert_;
    delete_call delete_;
};
