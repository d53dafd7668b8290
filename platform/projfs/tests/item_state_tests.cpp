// The emulation's state table: what PrjGetOnDiskFileState reports from the record and the disk, and
// which update flags let PrjDeleteFile discard each state.

#include <platform/projfs/emulation/item_state.h>

#include <gtest/gtest.h>

#include <optional>

namespace {

using namespace projfs::emulation;

constexpr item_look file_look{100, 1000, 2000, FILE_ATTRIBUTE_ARCHIVE};
constexpr item_look directory_look{0, 1000, 2000, FILE_ATTRIBUTE_DIRECTORY};

item_look changed(item_look look, void (*change)(item_look&))
{
    change(look);
    return look;
}

struct observe_case {
    const char* name;
    std::optional<recorded_item> recorded;
    std::optional<item_look> on_disk;
    condition what;
    PRJ_FILE_STATE state;
};

const PRJ_FILE_STATE placeholder = PRJ_FILE_STATE_PLACEHOLDER;
const PRJ_FILE_STATE hydrated = PRJ_FILE_STATE_PLACEHOLDER | PRJ_FILE_STATE_HYDRATED_PLACEHOLDER;
const PRJ_FILE_STATE dirty = PRJ_FILE_STATE_PLACEHOLDER | PRJ_FILE_STATE_DIRTY_PLACEHOLDER;

const recorded_item placeholder_file{recorded_kind::placeholder, file_look};
const recorded_item hydrated_file{recorded_kind::hydrated_placeholder, file_look};
const recorded_item placeholder_directory{recorded_kind::placeholder, directory_look};
const recorded_item shell_file{recorded_kind::virtual_item, file_look};
const recorded_item shell_directory{recorded_kind::virtual_item, directory_look};

const observe_case observe_cases[] = {
    {"nothing anywhere", std::nullopt, std::nullopt, condition::absent, PRJ_FILE_STATE(0)},
    {"made by an application", std::nullopt, file_look, condition::full, PRJ_FILE_STATE_FULL},
    {"placeholder as left", placeholder_file, file_look, condition::placeholder, placeholder},
    {"hydrated as left", hydrated_file, file_look, condition::placeholder, hydrated},
    {"placeholder resized", placeholder_file, changed(file_look, [](item_look& l) { l.size = 5; }),
     condition::full, PRJ_FILE_STATE_FULL},
    {"hydrated written", hydrated_file, changed(file_look, [](item_look& l) { l.last_write_time += 1; }),
     condition::full, PRJ_FILE_STATE_FULL},
    {"placeholder hidden", placeholder_file,
     changed(file_look, [](item_look& l) { l.attributes |= FILE_ATTRIBUTE_HIDDEN; }), condition::placeholder, dirty},
    {"hydrated hidden", hydrated_file,
     changed(file_look, [](item_look& l) { l.attributes |= FILE_ATTRIBUTE_HIDDEN; }), condition::placeholder,
     dirty | PRJ_FILE_STATE_HYDRATED_PLACEHOLDER},
    {"placeholder creation time set", placeholder_file,
     changed(file_look, [](item_look& l) { l.creation_time = 7; }), condition::placeholder, dirty},
    {"attributes the platform manages are not a change", placeholder_file,
     changed(file_look, [](item_look& l) { l.attributes |= FILE_ATTRIBUTE_SPARSE_FILE; }), condition::placeholder,
     placeholder},
    {"directory with a new child", placeholder_directory,
     changed(directory_look, [](item_look& l) { l.last_write_time += 1; }), condition::placeholder, dirty},
    {"directory as left", placeholder_directory, directory_look, condition::placeholder, placeholder},
    {"deleted by an application", placeholder_file, std::nullopt, condition::tombstone, PRJ_FILE_STATE_TOMBSTONE},
    {"file replaced by a directory", placeholder_file, directory_look, condition::full, PRJ_FILE_STATE_FULL},
    {"shell of a virtual item", shell_file, file_look, condition::virtual_item, PRJ_FILE_STATE(0)},
    {"shell of a virtual directory", shell_directory, directory_look, condition::virtual_item, PRJ_FILE_STATE(0)},
    // A shell's zeros are no data: only an application's write (size, write time) makes it full.
    {"shell written", shell_file, changed(file_look, [](item_look& l) { l.last_write_time += 1; }), condition::full,
     PRJ_FILE_STATE_FULL},
    {"shell resized", shell_file, changed(file_look, [](item_look& l) { l.size = 0; }), condition::full,
     PRJ_FILE_STATE_FULL},
    {"shell hidden", shell_file, changed(file_look, [](item_look& l) { l.attributes |= FILE_ATTRIBUTE_HIDDEN; }),
     condition::placeholder, dirty},
    {"shell directory with a new child", shell_directory,
     changed(directory_look, [](item_look& l) { l.last_write_time += 1; }), condition::placeholder, dirty},
    {"shell deleted", shell_file, std::nullopt, condition::tombstone, PRJ_FILE_STATE_TOMBSTONE},
    {"shell replaced by a directory", shell_file, directory_look, condition::full, PRJ_FILE_STATE_FULL},
};

TEST(ItemState, ObservationTable)
{
    for (const auto& c : observe_cases) {
        SCOPED_TRACE(c.name);
        observation seen = observe(c.recorded ? &*c.recorded : nullptr, c.on_disk ? &*c.on_disk : nullptr);
        EXPECT_EQ(seen.what, c.what);
        if (c.what != condition::absent && c.what != condition::virtual_item) {
            EXPECT_EQ(seen.state, c.state);
        }
    }
}

TEST(ItemState, ReadOnlyIsSeenOnTheDiskItem)
{
    item_look read_only = file_look;
    read_only.attributes |= FILE_ATTRIBUTE_READONLY;
    recorded_item recorded{recorded_kind::placeholder, read_only};
    observation seen = observe(&recorded, &read_only);
    EXPECT_EQ(seen.state, PRJ_FILE_STATE_PLACEHOLDER);  // read-only as written: clean
    EXPECT_TRUE(seen.read_only);
}

struct refusal_case {
    condition what;
    PRJ_FILE_STATE state;
    bool read_only;
    PRJ_UPDATE_TYPES flags;
    PRJ_UPDATE_FAILURE_CAUSES causes;
};

const refusal_case refusal_cases[] = {
    {condition::placeholder, placeholder, false, PRJ_UPDATE_NONE, PRJ_UPDATE_FAILURE_CAUSE_NONE},
    {condition::placeholder, hydrated, false, PRJ_UPDATE_NONE, PRJ_UPDATE_FAILURE_CAUSE_NONE},
    {condition::placeholder, dirty, false, PRJ_UPDATE_NONE, PRJ_UPDATE_FAILURE_CAUSE_DIRTY_METADATA},
    {condition::placeholder, dirty, false, PRJ_UPDATE_ALLOW_DIRTY_DATA, PRJ_UPDATE_FAILURE_CAUSE_DIRTY_METADATA},
    {condition::placeholder, dirty, false, PRJ_UPDATE_ALLOW_DIRTY_METADATA, PRJ_UPDATE_FAILURE_CAUSE_NONE},
    {condition::full, PRJ_FILE_STATE_FULL, false, PRJ_UPDATE_NONE, PRJ_UPDATE_FAILURE_CAUSE_DIRTY_DATA},
    {condition::full, PRJ_FILE_STATE_FULL, false, PRJ_UPDATE_ALLOW_DIRTY_METADATA,
     PRJ_UPDATE_FAILURE_CAUSE_DIRTY_DATA},
    {condition::full, PRJ_FILE_STATE_FULL, false, PRJ_UPDATE_ALLOW_DIRTY_DATA, PRJ_UPDATE_FAILURE_CAUSE_NONE},
    {condition::tombstone, PRJ_FILE_STATE_TOMBSTONE, false, PRJ_UPDATE_ALLOW_DIRTY_DATA | PRJ_UPDATE_ALLOW_DIRTY_METADATA,
     PRJ_UPDATE_FAILURE_CAUSE_TOMBSTONE},
    {condition::tombstone, PRJ_FILE_STATE_TOMBSTONE, false, PRJ_UPDATE_ALLOW_TOMBSTONE, PRJ_UPDATE_FAILURE_CAUSE_NONE},
    {condition::placeholder, placeholder, true, PRJ_UPDATE_NONE, PRJ_UPDATE_FAILURE_CAUSE_READ_ONLY},
    {condition::placeholder, placeholder, true, PRJ_UPDATE_ALLOW_READ_ONLY, PRJ_UPDATE_FAILURE_CAUSE_NONE},
    {condition::full, PRJ_FILE_STATE_FULL, true, PRJ_UPDATE_NONE,
     PRJ_UPDATE_FAILURE_CAUSE_DIRTY_DATA | PRJ_UPDATE_FAILURE_CAUSE_READ_ONLY},
    {condition::full, PRJ_FILE_STATE_FULL, true, PRJ_UPDATE_ALLOW_DIRTY_DATA | PRJ_UPDATE_ALLOW_READ_ONLY,
     PRJ_UPDATE_FAILURE_CAUSE_NONE},
};

TEST(ItemState, RefusalTable)
{
    for (const auto& c : refusal_cases) {
        SCOPED_TRACE(testing::Message() << "condition " << int(c.what) << " state " << int(c.state) << " read-only "
                                        << c.read_only << " flags " << int(c.flags));
        EXPECT_EQ(refusal(observation{c.what, c.state, c.read_only}, c.flags), c.causes);
    }
}

} // namespace
