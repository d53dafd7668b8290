#include <tolvane/extract_archive.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <vector>

#include <windows.h>

extern "C" {
#include <7z.h>
#include <7zAlloc.h>
#include <7zCrc.h>
#include <7zFile.h>
}

#include <tavik/error.h>
#include <tolvane/config_error.h>

namespace tolvane {

namespace {

using tavik::details::hresult_from_win32;

constexpr std::size_t look_ahead_size = 262'144;
constexpr std::size_t search_limit = 4 * 1024 * 1024;
constexpr DWORD write_piece = 4 * 1024 * 1024;
constexpr std::uint32_t unix_extension = 0x8000;
constexpr std::uint32_t unix_type_mask = 0170000;
constexpr std::uint32_t unix_link = 0120000;
const HRESULT refused_name = hresult_from_win32(ERROR_INVALID_NAME);

bool is_device_name(std::wstring_view component)
{
    // The part before the first dot, without trailing blanks, names the device ("aux.txt", "NUL ").
    std::wstring_view base = component.substr(0, component.find(L'.'));
    while (!base.empty() && base.back() == L' ')
        base.remove_suffix(1);
    std::wstring upper(base);
    for (wchar_t& c : upper)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    static constexpr std::wstring_view fixed[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
    if (std::find(std::begin(fixed), std::end(fixed), upper) != std::end(fixed))
        return true;
    if (upper.size() == 4 && (upper.starts_with(L"COM") || upper.starts_with(L"LPT"))) {
        wchar_t d = upper[3];
        return (d >= L'0' && d <= L'9') || d == L'\u00B9' || d == L'\u00B2' || d == L'\u00B3';
    }
    return false;
}

class sz_error_text {
public:
    static HRESULT code(SRes res)
    {
        switch (res) {
        case SZ_ERROR_MEM: return E_OUTOFMEMORY;
        case SZ_ERROR_CRC: return hresult_from_win32(ERROR_CRC);
        case SZ_ERROR_UNSUPPORTED: return hresult_from_win32(ERROR_NOT_SUPPORTED);
        case SZ_ERROR_NO_ARCHIVE: return hresult_from_win32(ERROR_BAD_FORMAT);
        default: return hresult_from_win32(ERROR_FILE_CORRUPT);
        }
    }
    static std::wstring text(SRes res)
    {
        switch (res) {
        case SZ_ERROR_MEM: return L"memory for the archive";
        case SZ_ERROR_CRC: return L"data matching its checksum (CRC error)";
        case SZ_ERROR_UNSUPPORTED: return L"a compression method this reader supports";
        case SZ_ERROR_NO_ARCHIVE: return L"a 7z archive";
        case SZ_ERROR_INPUT_EOF: return L"the rest of the archive (it is cut short)";
        default: return L"an undamaged 7z archive (error " + std::to_wstring(res) + L")";
        }
    }
};

// The archive may follow other data (a self-extracting stub): the first signature within 4 MiB
// whose start header checksum matches.
bool find_archive_start(HANDLE file, std::uint64_t& start)
{
    std::vector<unsigned char> data(search_limit + 32);
    DWORD total = 0;
    while (total < data.size()) {
        DWORD n = 0;
        if (!ReadFile(file, data.data() + total, static_cast<DWORD>(std::min<std::size_t>(32768, data.size() - total)),
                      &n, nullptr)
            || n == 0)
            break;
        total += n;
    }
    for (std::size_t i = 0; i + 32 <= total && i < search_limit; ++i) {
        if (std::memcmp(data.data() + i, k7zSignature, k7zSignatureSize) != 0)
            continue;
        std::uint32_t stored = 0;
        std::memcpy(&stored, data.data() + i + 8, 4);
        if (CrcCalc(data.data() + i + 12, 20) == stored) {
            start = i;
            return true;
        }
    }
    return false;
}

struct archive_reader {
    CFileInStream stream{};
    CLookToRead2 look{};
    CSzArEx db{};
    ISzAlloc alloc{SzAlloc, SzFree};
    ISzAlloc alloc_temp{SzAllocTemp, SzFreeTemp};
    Byte* block = nullptr;
    std::size_t block_size = 0;
    UInt32 block_index = 0xFFFFFFFF;
    bool file_open = false, db_open = false;

    ~archive_reader()
    {
        if (block)
            ISzAlloc_Free(&alloc, block);
        if (db_open)
            SzArEx_Free(&db, &alloc);
        if (look.buf)
            ISzAlloc_Free(&alloc, look.buf);
        if (file_open)
            File_Close(&stream.file);
    }
};

std::wstring entry_name(const CSzArEx& db, std::size_t i)
{
    std::size_t length = SzArEx_GetFileNameUtf16(&db, i, nullptr);
    std::vector<UInt16> name(length);
    SzArEx_GetFileNameUtf16(&db, i, name.data());
    std::wstring out(name.begin(), name.end());
    while (!out.empty() && out.back() == L'\0')
        out.pop_back();
    return out;
}

} // namespace

std::wstring check_archive_entry(std::wstring_view name, std::uint32_t attributes, bool is_directory)
{
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT)
        return L"a plain file or folder, not a link (reparse-point attribute)";
    if ((attributes & unix_extension) && ((attributes >> 16) & unix_type_mask) == unix_link)
        return L"a plain file or folder, not a link (Unix link mode)";
    if (name.size() + 1 >= MAX_PATH)
        return L"a name shorter than 260 characters";
    if (name.empty())
        return L"a name";
    if (name.front() == L'/')
        return L"a relative name, not an absolute one";
    for (wchar_t c : name) {
        if (c == L'\\')
            return L"a name without backslashes (\"/\" separates folders)";
        if (c == L':')
            return L"a name without colons (no drive, no stream)";
        if (c < 0x20 || c == L'<' || c == L'>' || c == L'"' || c == L'|' || c == L'?' || c == L'*')
            return L"a name without characters that Windows refuses in file names";
    }
    std::wstring_view rest = name;
    for (;;) {
        std::size_t slash = rest.find(L'/');
        std::wstring_view component = rest.substr(0, slash);
        const bool last = slash == std::wstring_view::npos;
        if (component.empty()) {
            if (last && is_directory && rest.empty())
                break; // a folder entry written with a trailing "/"
            return L"a name without empty components";
        }
        if (component == L"." || component == L"..")
            return L"a name without \".\" or \"..\" components";
        if (component.back() == L'.' || component.back() == L' ')
            return L"components that do not end in a dot or a blank";
        if (is_device_name(component))
            return L"a name that is not a device name (CON, PRN, AUX, NUL, COM1-9, LPT1-9)";
        if (last)
            break;
        rest.remove_prefix(slash + 1);
    }
    return {};
}

void extract_archive(const std::wstring& archive, const std::wstring& target, const std::atomic<std::uint32_t>* cancel)
{
    static std::once_flag crc_table;
    std::call_once(crc_table, [] { CrcGenerateTable(); });

    auto fail = [&](HRESULT hr, const std::wstring& entry, const std::wstring& expected) {
        throw config_error(hr, archive, entry.empty() ? std::wstring{} : L"entry \"" + entry + L"\"", expected);
    };
    auto fail_last_error = [&](const std::wstring& entry, const wchar_t* what) {
        const HRESULT hr = hresult_from_win32(static_cast<std::int32_t>(GetLastError()));
        fail(hr, entry, std::wstring(what) + L": " + tavik::details::hresult_error_impl::message(hr));
    };

    archive_reader r;
    if (WRes w = InFile_OpenW(&r.stream.file, archive.c_str()); w != 0) {
        SetLastError(static_cast<DWORD>(w));
        fail_last_error({}, L"a readable archive");
    }
    r.file_open = true;
    FileInStream_CreateVTable(&r.stream);

    std::uint64_t start = 0;
    if (!find_archive_start(r.stream.file.handle, start))
        fail(hresult_from_win32(ERROR_BAD_FORMAT), {}, L"a 7z archive within the file's first 4 MiB");
    Int64 position = static_cast<Int64>(start);
    if (File_Seek(&r.stream.file, &position, SZ_SEEK_SET) != 0)
        fail_last_error({}, L"a seekable archive");

    LookToRead2_CreateVTable(&r.look, False);
    r.look.buf = static_cast<Byte*>(ISzAlloc_Alloc(&r.alloc, look_ahead_size));
    if (!r.look.buf)
        fail(E_OUTOFMEMORY, {}, L"memory for the archive");
    r.look.bufSize = look_ahead_size;
    r.look.realStream = &r.stream.vt;
    LookToRead2_INIT(&r.look);

    SzArEx_Init(&r.db);
    if (SRes res = SzArEx_Open(&r.db, &r.look.vt, &r.alloc, &r.alloc_temp); res != SZ_OK)
        fail(sz_error_text::code(res), {}, sz_error_text::text(res));
    r.db_open = true;

    // Every name is checked before anything is written: a hostile archive leaves no trace.
    const UInt32 count = r.db.NumFiles;
    std::vector<std::wstring> names(count);
    for (UInt32 i = 0; i < count; ++i) {
        names[i] = entry_name(r.db, i);
        const std::uint32_t attributes = SzBitWithVals_Check(&r.db.Attribs, i) ? r.db.Attribs.Vals[i] : 0;
        if (std::wstring reason = check_archive_entry(names[i], attributes, SzArEx_IsDir(&r.db, i)); !reason.empty())
            fail(refused_name, names[i], reason);
    }

    std::wstring base = target;
    if (base.empty() || base.back() != L'\\')
        base += L'\\';
    for (UInt32 i = 0; i < count; ++i) {
        if (cancel && cancel->load(std::memory_order_acquire) != 0)
            tavik::details::throw_operation_cancelled();
        const std::wstring& name = names[i];
        const bool is_dir = SzArEx_IsDir(&r.db, i);
        std::size_t offset = 0, size = 0;
        if (!is_dir) {
            SRes res = SzArEx_Extract(&r.db, &r.look.vt, i, &r.block_index, &r.block, &r.block_size, &offset, &size,
                                      &r.alloc, &r.alloc_temp);
            if (res != SZ_OK)
                fail(sz_error_text::code(res), name, sz_error_text::text(res));
            if (offset > r.block_size || size > r.block_size - offset)
                fail(hresult_from_win32(ERROR_FILE_CORRUPT), name, L"an entry inside its decoded block");
        }
        std::wstring path = base;
        for (wchar_t c : name) {
            if (c == L'/') {
                CreateDirectoryW(path.c_str(), nullptr); // exists already, or the file's creation says why
                path += L'\\';
            } else {
                path += c;
            }
        }
        if (is_dir) {
            while (path.size() > base.size() && path.back() == L'\\')
                path.pop_back();
            CreateDirectoryW(path.c_str(), nullptr);
            continue;
        }
        HANDLE out = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
        if (out == INVALID_HANDLE_VALUE)
            fail_last_error(name, L"a file that can be created");
        std::size_t written = 0;
        bool ok = true;
        while (ok && written < size) {
            DWORD piece = static_cast<DWORD>(std::min<std::size_t>(write_piece, size - written));
            DWORD n = 0;
            ok = WriteFile(out, r.block + offset + written, piece, &n, nullptr) && n == piece;
            if (ok)
                written += n;
            else if (GetLastError() == ERROR_SUCCESS)
                SetLastError(ERROR_HANDLE_DISK_FULL);
        }
        if (!ok) {
            // A file cut short (a full disk) is not an installed file.
            const DWORD e = GetLastError();
            CloseHandle(out);
            SetLastError(e);
            fail_last_error(name, L"the whole file written");
        }
        if (SzBitWithVals_Check(&r.db.MTime, i)) {
            FILETIME t{r.db.MTime.Vals[i].Low, r.db.MTime.Vals[i].High};
            SetFileTime(out, nullptr, nullptr, &t); // the time is a courtesy: a failure loses no data
        }
        if (!CloseHandle(out))
            fail_last_error(name, L"a file that can be closed");
        if (SzBitWithVals_Check(&r.db.Attribs, i)) {
            constexpr DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM
                                   | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
            const DWORD a = r.db.Attribs.Vals[i] & kept;
            SetFileAttributesW(path.c_str(), a ? a : FILE_ATTRIBUTE_NORMAL);
        }
    }
}

} // namespace tolvane
