#pragma once
// How the emulation decides an item's on-disk state, and which update flags let PrjDeleteFile
// discard it. Pure functions over what the record remembers and what is on disk now, so the whole
// state table is testable without a file system.
//
// The platform tracks states inside the file system; the emulation cannot see other programs'
// writes, so it remembers how it left each item (its "look": size, times, attributes) and compares:
//
//   recorded as      on disk now                      state reported
//   (nothing)        present                          FULL (created or written by an application)
//   (nothing)        missing                          not found
//   virtual          its shell as left                virtual: the state query makes it a
//                                                     placeholder, as an open would
//   any              missing                          TOMBSTONE (deleted by an application)
//   placeholder      data changed (size, write time)  FULL
//   placeholder      other metadata changed           PLACEHOLDER | DIRTY_PLACEHOLDER
//   placeholder      as left                          PLACEHOLDER
//   hydrated         (the same three rows)            as placeholder, with HYDRATED_PLACEHOLDER
//   virtual          its shell changed                as placeholder: on the platform the
//                                                     application's open made it one first
//   a directory      anything changed                 PLACEHOLDER | DIRTY_PLACEHOLDER: directories
//                                                     never turn full or hydrated
//   one kind         the other kind (file/directory)  FULL (replaced by an application)
//
// A shell is what the emulation leaves on disk for a virtual item so that every program's listing
// shows it: an empty sparse file of the projected size with the projected times and attributes, or
// a directory. Its content is never compared, only its size and times, so its zeros are no change.
//
// Known differences from the platform: an application that sets a file's last write time without
// writing makes it FULL here, not dirty; one that restores the metadata it changed makes the item
// clean again here, where the platform keeps it dirty.

#include <platform/projfs/projfs.h>

#include <cstdint>

namespace projfs::emulation {

enum class recorded_kind : std::uint8_t {
    virtual_item = 1,          // projected by the provider; a shell on disk keeps it listed
    placeholder = 2,           // metadata written, data not
    hydrated_placeholder = 3,  // data written too
};

// What the emulation compares: how an item looked when it last wrote it, or how it looks now.
struct item_look {
    std::uint64_t size = 0;
    std::int64_t creation_time = 0;
    std::int64_t last_write_time = 0;
    std::uint32_t attributes = 0;  // FILE_ATTRIBUTE_*, FILE_ATTRIBUTE_DIRECTORY included

    bool directory() const noexcept { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
    friend bool operator==(const item_look&, const item_look&) = default;
};

struct recorded_item {
    recorded_kind kind = recorded_kind::placeholder;
    item_look look;
};

enum class condition : std::uint8_t {
    absent,        // neither recorded nor on disk
    virtual_item,  // recorded virtual and its shell is on disk as the emulation left it
    placeholder,   // state holds PLACEHOLDER and maybe HYDRATED_PLACEHOLDER, DIRTY_PLACEHOLDER
    full,
    tombstone,
};

struct observation {
    condition what = condition::absent;
    PRJ_FILE_STATE state = PRJ_FILE_STATE(0);  // for placeholder, full and tombstone
    bool read_only = false;                    // the item on disk has FILE_ATTRIBUTE_READONLY
};

// Attributes that an application's change makes a placeholder dirty. The ones the platform or
// the emulation manage themselves (sparse, reparse, recall) are not among them.
inline constexpr std::uint32_t compared_attributes =
    FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_DIRECTORY |
    FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// `recorded` and `on_disk` are null when there is none.
observation observe(const recorded_item* recorded, const item_look* on_disk) noexcept;

// The causes that forbid discarding an observed item under `flags`, or NONE when it may go. Only
// placeholder, full and tombstone observations are meaningful here.
PRJ_UPDATE_FAILURE_CAUSES refusal(const observation& seen, PRJ_UPDATE_TYPES flags) noexcept;

} // namespace projfs::emulation
