#include <dedup/server/provider.h>

#include <dedup/engine/root_folder.h>

#include <ostrel/logger.h>
#include <quillo/render.h>
#include <tavik/error_categories.h>
#include <tavik/timer.h>

#include <algorithm>

namespace dedup {

namespace {

constexpr HRESULT operation_aborted = HRESULT_FROM_WIN32(ERROR_OPERATION_ABORTED);  // 0x800703E3

void log_line(std::wstring&& text, int level) noexcept
{
    if (ILogger* logger = global_logger)
        logger->log(std::move(text), level);
}

std::wstring from_utf8(const std::string& text)
{
    if (text.empty())
        return {};
    const int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), n);
    return out;
}

bool is_separator(wchar_t c) noexcept { return c == L'\\' || c == L'/'; }

} // namespace

// ---------------------------------------------------------------------------------------------
// usage_latch

void usage_latch::leave() noexcept
{
    if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1)
        idle_->set_value();
}

tavik::details::future<void> usage_latch::close()
{
    closed_ = true;
    const auto idle = idle_;  // the last user may let the owner go as soon as it has signalled
    leave();
    co_await *idle;
}

// ---------------------------------------------------------------------------------------------
// Paths

std::wstring normalize_folder_path(std::wstring_view path)
{
    if (path.empty())
        return {};
    // The platform's full-path conversion: resolves a relative path against the current
    // directory, "." and ".." elements, and '/' separators.
    const std::wstring argument(path);
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFullPathNameW(argument.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0)
            return {};
        if (n < full.size()) {
            full.resize(n);
            break;
        }
        full.resize(n);  // too small: n is the size needed, terminator included
    }
    std::ranges::replace(full, L'/', L'\\');
    while (full.size() > 1 && is_separator(full.back()) && !is_volume_root(full))
        full.pop_back();
    return full;
}

bool is_volume_root(const std::wstring& path)
{
    std::wstring_view rest = path;
    bool unc = false;
    // "\\?\" and "\\.\" prefixes name the same places; "\\?\UNC\server\share" is "\\server\share".
    if (rest.starts_with(L"\\\\?\\") || rest.starts_with(L"\\\\.\\")) {
        rest.remove_prefix(4);
        if (rest.starts_with(L"UNC\\")) {
            rest.remove_prefix(4);
            unc = true;
        }
    } else if (rest.starts_with(L"\\\\")) {
        rest.remove_prefix(2);
        unc = true;
    }
    while (!rest.empty() && is_separator(rest.back()))
        rest.remove_suffix(1);
    if (unc)
        return std::ranges::count_if(rest, is_separator) <= 1;  // "server\share": two components
    return rest.empty() || (rest.size() == 2 && rest[1] == L':');
}

// ---------------------------------------------------------------------------------------------
// provider_impl

std::size_t guid_fnv1a_hash::operator()(const GUID& id) const noexcept
{
    std::uint64_t hash = 0xcbf29ce484222325ull;
    const auto* bytes = reinterpret_cast<const unsigned char*>(&id);
    for (std::size_t i = 0; i < sizeof(GUID); ++i) {
        hash ^= bytes[i];
        hash *= 0x100000001b3ull;
    }
    return static_cast<std::size_t>(hash);
}

tavik::details::future<void> wait_for_stop(provider_impl& provider)
{
    auto stopped = std::make_shared<tavik::details::promise_type_<void>>();
    tavik::details::cancellation_token token(provider.source);
    try {
        tavik::details::cancellation_subscription subscription(token, [stopped] { stopped->set_value(); });
        co_await *stopped;
    } catch (const tavik::details::operation_cancelled&) {
        // Already stopped when the wait began: the listener ends as after a stop.
    }
}

provider_impl::provider_impl(std::wstring folder_path, const create_params& create_options, folder_listener listener)
    : folder(std::move(folder_path)), options(create_options), listener_(std::move(listener))
{
    if (!listener_)
        listener_ = [](provider_impl& self) { return wait_for_stop(self); };
}

provider_impl::~provider_impl()
{
    listener_state.reset();
    enumerations.clear();
    pending.clear();
    root = nullptr;
}

void provider_impl::report_failure(const tavik::details::traceable_error& error, std::int32_t stage) noexcept
{
    try {
        log_line(quillo::format(L"Deduplicated folder {0} failed with error {1ub016x} at stage {2}: {3}\r\n",
                                            folder, static_cast<std::int32_t>(error.code()), stage, error.full_text()),
                 1);
    } catch (...) {
        // No memory for the line: the folder still stops.
    }
    source.cancel();
}

void provider_impl::report_failure(std::error_code error) noexcept
{
    try {
        log_line(quillo::format(L"Deduplicated folder {0} failed with error {1ub016x} at stage {2}: {3}\r\n",
                                            folder, static_cast<std::int32_t>(error.value()), 0,
                                            from_utf8(error.message())),
                 1);
    } catch (...) {
        // As above.
    }
    source.cancel();
}

void provider_impl::schedule_stop()
{
    // Holds its own reference to the folder's source: the provider may be gone when it fires.
    [](tavik::details::cancellation_source stopping) -> tavik::details::fire_and_forget {
        tavik::details::threadpool_timer delay;
        delay.set_relative(tavik::details::timer_duration(5'000'000));
        try {
            co_await delay;
        } catch (...) {
            co_return;  // no timer: the folder keeps running
        }
        stopping.cancel();
    }(source);
}

void provider_impl::stop_instance() noexcept
{
    if (running.exchange(false, std::memory_order_acq_rel))
        PrjStopVirtualizing(context);
}

HRESULT provider_impl::start_instance()
{
    PRJ_NOTIFICATION_MAPPING mapping{};
    mapping.NotificationBitMask = static_cast<PRJ_NOTIFY_TYPES>(PRJ_NOTIFY_PRE_RENAME | PRJ_NOTIFY_PRE_SET_HARDLINK);
    mapping.NotificationRoot = L"";
    PRJ_STARTVIRTUALIZING_OPTIONS start{};
    start.Flags = PRJ_FLAG_NONE;
    start.NotificationMappings = &mapping;
    start.NotificationMappingsCount = 1;
    return PrjStartVirtualizing(folder.c_str(), &callback_table(), this, &start, &context);
}

tavik::details::future<void> provider_impl::run(tavik::details::cancellation_source& server_source)
{
    source = tavik::details::make_linked_cancellation_source(server_source);
    // The folder's work runs in `serve`, whose awaits a stop interrupts; the waits for the folder's
    // last users below must not be interrupted by it, so this coroutine binds no token.
    std::exception_ptr unexpected;
    bool closing_line = false;
    try {
        closing_line = co_await serve();
    } catch (...) {
        unexpected = std::current_exception();
    }
    // Client connections and commands of the file system may still end on other threads: the
    // folder ends after the last of them.
    co_await connections.close();
    co_await commands.close();
    if (unexpected)
        std::rethrow_exception(unexpected);
    if (closing_line)
        log_line(L"Server has been stopped successfully.\r\n", 3);
}

tavik::details::future<bool> provider_impl::serve()
{
    // Raises operation_cancelled, with nothing logged, when the folder was stopped before it began.
    tavik::details::cancellation_token token(source, co_await tavik::details::this_promise);
    struct instance_guard {
        provider_impl& self;
        ~instance_guard() { self.stop_instance(); }
    };
    try {
        if (is_volume_root(folder))
            tavik::details::throw_hresult(E_INVALIDARG);
        root = Ostrel::com::make<impl::root_folder>(source);
        bool created = false;
        if (const std::error_code made = root->create(folder, options)) {
            if (made != make_error_code(create_error::folder_already_exists)) {
                report_failure(made);
                co_return false;
            }
            if (const std::error_code opened = co_await root->open(folder)) {
                report_failure(opened);
                co_return false;
            }
        } else {
            created = true;
        }
        const GUID id = root->get_folder_id();
        if (created) {
            if (const HRESULT hr = PrjMarkDirectoryAsPlaceholder(folder.c_str(), nullptr, nullptr, &id); FAILED(hr))
                tavik::details::throw_hresult(hr);
        }
        HRESULT started = start_instance();
        if (started == HRESULT_FROM_WIN32(ERROR_NOT_A_REPARSE_POINT) ||
            started == HRESULT_FROM_WIN32(ERROR_REPARSE_TAG_MISMATCH)) {
            // A folder whose marking failed after its store was made: mark it now, once.
            if (const HRESULT hr = PrjMarkDirectoryAsPlaceholder(folder.c_str(), nullptr, nullptr, &id); FAILED(hr))
                tavik::details::throw_hresult(hr);
            started = start_instance();
        }
        if (FAILED(started))
            tavik::details::throw_hresult(started);
        PrjGetVirtualizationInstanceInfo(context, &instance_info);  // zero alignment: offsets stay as asked
        root->set_virtualization_context(context);
        running.store(true, std::memory_order_release);
        instance_guard guard{*this};
        co_await listener_(*this);
    } catch (const tavik::details::traceable_error& error) {
        stop_instance();
        if (error.code() != operation_aborted)
            report_failure(error, 0);
    }
    co_return true;
}

} // namespace dedup
