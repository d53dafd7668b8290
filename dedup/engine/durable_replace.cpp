#include <dedup/engine/durable_replace.h>

#include <dedup/engine/store_names.h>

#include <tavik/error.h>

#include <algorithm>

namespace dedup {

namespace {

// One overlapped write takes a 32-bit length; larger pieces are written in slices of this size.
constexpr std::size_t max_write = 64u << 20;

class piece_list_source final : public replacement_source {
public:
    explicit piece_list_source(std::span<const std::span<const std::byte>> pieces) noexcept : pieces_(pieces) {}

    std::span<const std::byte> next() override
    {
        while (next_ < pieces_.size()) {
            auto piece = pieces_[next_++];
            if (!piece.empty())
                return piece;
        }
        return {};
    }

private:
    std::span<const std::span<const std::byte>> pieces_;
    std::size_t next_ = 0;
};

tavik::details::future<void> write_and_flush(store_file_system& fs, const overlapped_file& file,
                                             replacement_source& source)
{
    std::uint64_t position = 0;
    for (auto piece = source.next(); !piece.empty(); piece = source.next()) {
        while (!piece.empty()) {
            auto length = static_cast<std::uint32_t>(std::min(piece.size(), max_write));
            std::uint32_t written = co_await fs.write(file, position, piece.data(), length);
            if (written != length)
                tavik::details::throw_win32_error(ERROR_WRITE_FAULT);
            position += length;
            piece = piece.subspan(length);
        }
    }
    fs.flush(file);
}

} // namespace

std::wstring recover_interrupted_replace(store_file_system& fs, const std::wstring& target)
{
    if (fs.file_exists(target))
        return target;
    std::wstring fresh = replacement_path(target);
    if (!fs.file_exists(fresh) || !fs.file_exists(backup_path(target)))
        return target;
    if (fs.move(fresh, target))
        return target;
    // Read-only medium or the like: the content is still right there.
    return fresh;
}

tavik::details::future<void> durable_replace(store_file_system& fs, std::wstring target, replacement_source& source)
{
    // ".new" may be the only copy of the current content when an earlier swap was interrupted.
    recover_interrupted_replace(fs, target);

    std::wstring fresh = replacement_path(target);
    std::exception_ptr failure;
    {
        overlapped_file file = fs.create_file(fresh, false);
        try {
            co_await write_and_flush(fs, file, source);
        } catch (...) {
            failure = std::current_exception();
        }
    }
    if (failure) {
        // Best effort: a partial ".new" that stays behind is harmless while the target exists,
        // and the next save overwrites it.
        fs.remove(fresh);
        std::rethrow_exception(failure);
    }

    std::wstring backup = backup_path(target);
    if (!fs.replace(target, fresh, backup)) {
        // No target yet (the first save), or ReplaceFileW gave up after moving the target away
        // (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2): either way ".new" can simply be renamed. When the
        // target is still there the move fails too and ".new" stays beside it.
        if (!fs.move(fresh, target)) {
            const DWORD error = GetLastError();
            // The caller hears of a failure and keeps the previous state (a writer then deletes
            // the block files that the new index names), so the previous content must be what the
            // next load finds. With the target moved away, ".new" beside ".backup" would look
            // like an interrupted swap and be finished by that load: put the backup back, or,
            // when even that fails, take ".new" away.
            if (!fs.file_exists(target) && fs.file_exists(backup) && !fs.move(backup, target))
                fs.remove(fresh);
            tavik::details::throw_win32_error(static_cast<std::int32_t>(error));
        }
    }
}

tavik::details::future<void> durable_replace(store_file_system& fs, std::wstring target,
                                             std::span<const std::span<const std::byte>> pieces)
{
    piece_list_source source(pieces);
    co_await durable_replace(fs, std::move(target), source);
}

} // namespace dedup
