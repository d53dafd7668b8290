#pragma once
// Replacing a store file ("blocks.ddb", "files.deinfo") so that whatever happens to the process or
// the machine, the file afterwards holds either its previous content or its new content, whole.
//
// A save writes the new content to "<target>.new", flushes it to the medium, closes it, and only
// then swaps it in with ReplaceFileW, which keeps the previous file as "<target>.backup"; when
// there is no target yet, MoveFileW puts ".new" in place. What a crash leaves on disk:
//
//   crash during                        on disk                                  next open reads
//   writing or flushing ".new"          target (old), partial ".new"             target: old
//   ReplaceFileW, between its renames   no target, ".backup" (old), ".new"       ".new": new
//                                       complete and flushed
//   MoveFileW of a first save           no target, no ".backup", ".new"          nothing: as before
//                                       complete or not                          the first save
//   after the swap                      target (new), ".backup" (old)            target: new
//
// The flush is what makes the table hold: without it a power loss may persist the rename but not
// the data, leaving a target of zeros. Only a swap that was under way can leave ".new" beside a
// ".backup" with no target, so finishing that swap (recover_interrupted_replace) is always right;
// a save does it first, before it overwrites ".new". A save that fails before the swap deletes the
// partial ".new" (when it can) so that it never outlives the failure; one whose swap fails after
// the target was moved away puts ".backup" back (or, failing that, deletes ".new"), so that no load
// finishes a swap that its caller was told had failed.

#include <dedup/engine/store_file_system.h>

#include <tavik/future.h>

#include <cstddef>
#include <span>
#include <string>

namespace dedup {

// The new content of a replaced file, piece by piece, in file order.
class replacement_source {
public:
    // The next piece, or an empty span after the last one. The bytes must stay valid until the
    // next call.
    virtual std::span<const std::byte> next() = 0;

protected:
    ~replacement_source() = default;
};

// Contract: awaited once; resumes on a thread-pool I/O thread or on the caller's thread. Failures
// raise traceable_error with the failing call's error (the target then holds its previous
// content); nothing in it tests for cancellation, so a caller that must stop before writing tests
// before it calls. The source is read only while the coroutine runs.
tavik::details::future<void> durable_replace(store_file_system& fs, std::wstring target, replacement_source& source);

// The same with the content given as consecutive pieces, all in memory.
tavik::details::future<void> durable_replace(store_file_system& fs, std::wstring target,
                                             std::span<const std::span<const std::byte>> pieces);

// Finishes a swap that a crash interrupted (no target, but ".backup" and ".new"), and returns the
// path that holds the file's current content: the target, or ".new" when the rename failed. Call
// it before opening a replaced file for reading.
std::wstring recover_interrupted_replace(store_file_system& fs, const std::wstring& target);

} // namespace dedup
