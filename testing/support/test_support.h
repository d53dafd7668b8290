#pragma once
// Helpers shared by the test programs of every library: a temporary folder, file contents, and
// running a coroutine's future to its end on a plain thread. The program as its own child is in
// child_process.h, the failing operator new in failing_allocator.h.

#include <tavik/error.h>
#include <tavik/future.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace test_support {

using bytes = std::vector<std::byte>;

// A new empty folder under the temporary folder, deleted with everything in it at the end
// (read-only items too).
class temp_folder {
public:
    temp_folder();
    ~temp_folder();
    temp_folder(const temp_folder&) = delete;
    temp_folder& operator=(const temp_folder&) = delete;
    const std::wstring& path() const noexcept { return path_; }
    std::wstring operator/(std::wstring_view name) const { return path_ + L"\\" + std::wstring(name); }

private:
    std::wstring path_;
};

bytes read_file(const std::wstring& path);
void write_file(const std::wstring& path, const bytes& content);
bool file_exists(const std::wstring& path);
std::uint64_t file_size(const std::wstring& path);
void make_folder(const std::wstring& path);
// Deletes the folder and everything in it, read-only items too; what cannot be deleted stays.
void remove_tree(const std::wstring& path);
// Names of the files (not folders) directly in `folder`, sorted.
std::vector<std::wstring> list_files(const std::wstring& folder);

bytes to_bytes(std::string_view text);

// Runs a coroutine's future to its end on this (plain) thread; returns its value or rethrows.
template <class T>
T run(tavik::details::future<T> f)
{
    return tavik::details::wait_blocking_result(std::move(f));
}

// HRESULT of a traceable error raised by `body`, or 0 when it raises nothing.
template <class F>
long hresult_of(F&& body)
{
    try {
        body();
    } catch (const tavik::details::hresult_error_impl& e) {
        return e.code();
    }
    return 0;
}

} // namespace test_support
