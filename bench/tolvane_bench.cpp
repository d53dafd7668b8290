// Installer engine figures: actions per second for no-ops and for 4 KiB copies with undo against
// bare CopyFileExW, and, given a 7z archive as the first argument, extraction speed and peak memory
// (compare with `7zz x -mmt=1` on the Linux side).

#include <tolvane/action_queue.h>
#include <tolvane/extract_archive.h>
#include <tolvane/package.h>

#include <windows.h>
#include <psapi.h>
#include <shellapi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "harness.h"

namespace {

std::wstring temp_dir(const wchar_t* name)
{
    wchar_t temp[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring path = std::wstring(temp, n) + name + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

void clear(const std::wstring& dir)
{
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW((dir + L"\\*").c_str(), &d);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring name = d.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            clear(dir + L"\\" + name);
            RemoveDirectoryW((dir + L"\\" + name).c_str());
        } else {
            SetFileAttributesW((dir + L"\\" + name).c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW((dir + L"\\" + name).c_str());
        }
    } while (FindNextFileW(h, &d));
    FindClose(h);
}

} // namespace

int main()
{
    using namespace tolvane;
    const std::wstring root = temp_dir(L"tolvane_bench");
    const std::wstring out = root + L"\\out", backup = root + L"\\backup";
    CreateDirectoryW(out.c_str(), nullptr);
    CreateDirectoryW(backup.c_str(), nullptr);
    package pkg;
    pkg.set_backup_folder(backup);

    constexpr int noops = 200000;
    const double noop_seconds = bench::median_seconds(5, [&] {
        ActionQueue q, undo;
        for (int i = 0; i < noops; ++i)
            q.add(std::make_unique<generic_action>([](package&, ActionQueue*, HANDLE) { return S_OK; }, L"noop"));
        std::wstring log;
        q.run(log, pkg, &undo, nullptr, nullptr, true);
    });
    bench::report("noop_actions", noops / noop_seconds, "actions/s");

    const std::wstring source = root + L"\\source.bin";
    {
        std::vector<char> data(4096, 'x');
        HANDLE h = CreateFileW(source.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        DWORD n = 0;
        WriteFile(h, data.data(), 4096, &n, nullptr);
        CloseHandle(h);
    }
    constexpr int copies = 2000;
    const double bare = bench::median_seconds(5, [&] {
        clear(out);
        for (int i = 0; i < copies; ++i)
            CopyFileExW(source.c_str(), (out + L"\\f" + std::to_wstring(i)).c_str(), nullptr, nullptr, nullptr, 0);
    });
    const double queued = bench::median_seconds(5, [&] {
        clear(out);
        ActionQueue q, undo;
        for (int i = 0; i < copies; ++i)
            q.add(std::make_unique<copy_file_action>(source, out + L"\\f" + std::to_wstring(i)));
        std::wstring log;
        q.run(log, pkg, &undo, nullptr, nullptr, true);
    });
    bench::report("copy_4k_bare", copies / bare, "files/s");
    bench::report("copy_4k_actions_with_undo", copies / queued, "files/s");
    bench::report("copy_4k_overhead", (queued / bare - 1.0) * 100.0, "%");

    int argc = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argc > 1) {
        const std::wstring archive = argv[1];
        WIN32_FILE_ATTRIBUTE_DATA a{};
        GetFileAttributesExW(archive.c_str(), GetFileExInfoStandard, &a);
        std::uint64_t unpacked = 0;
        // Each run into an empty folder; the removal of the previous run's files is not timed.
        std::vector<double> times;
        for (int run = 0; run < 5; ++run) {
            clear(out);
            times.push_back(bench::median_seconds(1, [&] { extract_archive(archive, out, nullptr); }));
        }
        std::sort(times.begin(), times.end());
        const double seconds = times[times.size() / 2];
        WIN32_FIND_DATAW d;
        // Sum of the unpacked sizes, one level deep is enough for a bench archive of files.
        HANDLE h = FindFirstFileW((out + L"\\*").c_str(), &d);
        if (h != INVALID_HANDLE_VALUE) {
            do
                unpacked += (std::uint64_t(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
            while (FindNextFileW(h, &d));
            FindClose(h);
        }
        PROCESS_MEMORY_COUNTERS counters{};
        GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
        bench::report("extraction", unpacked / seconds / 1e6, "MB/s");
        bench::report("extraction_peak_working_set", counters.PeakWorkingSetSize / 1048576.0, "MiB");
    }
    LocalFree(argv);
    clear(root);
    RemoveDirectoryW(root.c_str());
    return 0;
}
