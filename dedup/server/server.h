#pragma once
// server: the folder server that `dedup --server` runs. It owns the folders named on the command
// line, runs one provider (provider.h) per folder at the same time, and ends when the last one has
// ended. It does no work on the folders itself: stores, instances, pipes and error lines are the
// providers'.

#include <dedup/engine/iroot.h>
#include <dedup/server/provider.h>

#include <tavik/cancellation.h>
#include <tavik/future.h>

#include <filesystem>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace dedup {

class server {
public:
    virtual ~server() = default;
    // Starts every provider. Contract: called once, on the caller's thread, where every provider
    // runs until its first suspension before this returns; the future completes on the thread of
    // the last provider to end, with the first exception that escaped a provider's run, after all
    // have ended. Completes at once for an empty folder list; raises operation_cancelled when
    // stop came first (then no provider is made).
    virtual tavik::details::future<void> start() = 0;
    // Any thread, any number of times, before, during or after start; never waits.
    virtual void stop() noexcept = 0;
};

class server_impl final : public server {
public:
    // Folders are made absolute (dropped when that fails or they are empty), stripped of trailing
    // separators, sorted in path order and made distinct. `listener` is handed to every provider
    // (null: a folder serves no pipe and waits for its stop).
    server_impl(std::span<const std::wstring_view> folder_arguments, const create_params& create_options,
                 folder_listener listener = {});
    // Only after the future of start has completed, or when start was never called.
    ~server_impl() override;

    tavik::details::future<void> start() override;
    void stop() noexcept override;

    const std::vector<std::filesystem::path>& folders() const noexcept { return folders_; }

private:
    tavik::details::cancellation_source source_;
    std::vector<std::filesystem::path> folders_;
    std::vector<std::unique_ptr<provider>> providers_;
    create_params options_;
    folder_listener listener_;
};

} // namespace dedup
