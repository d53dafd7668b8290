#include <tavik/io/directory_reader.h>

#include <testing/support/test_support.h>

#include <gtest/gtest.h>

#include <map>
#include <string>

using tavik::io::directory_reader;
using tavik::io::page_buffer_pool;
using test_support::temp_folder;

namespace {

void make_file(const std::wstring& path, DWORD size)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    std::string data(size, 'x');
    DWORD written = 0;
    if (size)
        WriteFile(h, data.data(), size, &written, nullptr);
    CloseHandle(h);
}

struct entry {
    std::uint64_t size;
    bool folder;
    bool operator==(const entry&) const = default;
};

std::map<std::wstring, entry> read_all(const std::wstring& path, page_buffer_pool& pool)
{
    std::map<std::wstring, entry> entries;
    directory_reader reader;
    reader.open(path.c_str(), pool);
    for (auto* e = reader.current(); e; e = reader.next() ? reader.current() : nullptr) {
        std::wstring name(directory_reader::name(*e));
        if (name == L"." || name == L"..")
            continue;
        EXPECT_TRUE(entries.emplace(name, entry{std::uint64_t(e->EndOfFile.QuadPart),
                                                (e->FileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0})
                        .second)
            << "listed twice";
    }
    reader.close();
    return entries;
}

} // namespace

TEST(DirectoryReader, ListsEveryEntryAcrossBatches)
{
    temp_folder folder;
    std::map<std::wstring, entry> expected;
    // Long names make each record about 230 bytes, so the 20,480-byte batches run out many times.
    for (int i = 0; i < 400; ++i) {
        std::wstring name = L"file-with-a-rather-long-name-to-fill-batches-quickly-" + std::to_wstring(i);
        make_file((folder / name), DWORD(i));
        expected[name] = {std::uint64_t(i), false};
    }
    CreateDirectoryW((folder / L"sub folder").c_str(), nullptr);
    expected[L"sub folder"] = {0, true};

    page_buffer_pool pool;
    auto entries = read_all(folder.path(), pool);
    EXPECT_EQ(entries.size(), expected.size());
    EXPECT_EQ(entries, expected);

    // The batch buffer went back to the pool and is used again by the next folder.
    ASSERT_EQ(pool.size(), 1u);
    EXPECT_TRUE(read_all((folder / L"sub folder"), pool).empty());
    EXPECT_EQ(pool.size(), 1u);
}

TEST(DirectoryReader, AFolderThatCannotBeOpenedReadsAsEmpty)
{
    temp_folder folder;
    page_buffer_pool pool;
    directory_reader reader;
    reader.open((folder / L"missing").c_str(), pool);
    EXPECT_EQ(reader.current(), nullptr);
    EXPECT_FALSE(reader.next());
    EXPECT_EQ(reader.error(), DWORD(ERROR_FILE_NOT_FOUND));
    reader.close();
    reader.close();
    EXPECT_EQ(pool.size(), 1u);
}

// A caller must tell "listed to its end" from "could not list": only the first proves an item
// missing.
TEST(DirectoryReader, ErrorTellsAnIncompleteListingFromAComplete)
{
    temp_folder folder;
    make_file(folder / L"a.txt", 1);
    page_buffer_pool pool;
    directory_reader reader;
    reader.open(folder.path().c_str(), pool);
    while (reader.next()) {
    }
    EXPECT_EQ(reader.error(), DWORD(ERROR_SUCCESS));
    reader.close();

    // Held open without sharing, the folder cannot be opened for listing.
    HANDLE held = CreateFileW(folder.path().c_str(), FILE_READ_DATA, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    reader.open(folder.path().c_str(), pool);
    EXPECT_EQ(reader.current(), nullptr);
    EXPECT_EQ(reader.error(), DWORD(ERROR_SHARING_VIOLATION));
    reader.close();
    EXPECT_EQ(reader.error(), DWORD(ERROR_SHARING_VIOLATION));
    CloseHandle(held);

    reader.open(folder.path().c_str(), pool);
    EXPECT_EQ(reader.error(), DWORD(ERROR_SUCCESS)) << "a new open starts afresh";
}
