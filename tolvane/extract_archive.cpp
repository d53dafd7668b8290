#include <tolvane/extract_archive.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include <windows.h>

extern "C" {
#include <7z.h>
#include <7zAlloc.h>
#include <7zCrc.h>
#include <7zFile.h>
#include <Lzma2Dec.h>
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

constexpr UInt32 lzma2_method = 0x21;

// A folder of one LZMA2 coder over one packed stream: decoded here piece by piece, so that its files
// are written while the rest is still being decoded. Anything else goes through the SDK's own
// decoder, which hands over the whole folder at once.
bool is_streamable(const CSzArEx& db, UInt32 folder, CSzFolder& info)
{
    CSzData sd{db.db.CodersData + db.db.FoCodersOffsets[folder],
               db.db.FoCodersOffsets[folder + 1] - db.db.FoCodersOffsets[folder]};
    if (SzGetNextFolderItem(&info, &sd) != SZ_OK)
        return false;
    return info.NumCoders == 1 && info.NumPackStreams == 1 && info.NumBonds == 0
           && info.Coders[0].MethodID == lzma2_method && info.Coders[0].PropsSize == 1 && info.Coders[0].NumStreams == 1;
}

// The decoded part of a folder, as the decoder publishes it and the writer takes it.
struct decode_progress {
    std::mutex lock;
    std::condition_variable changed;
    std::size_t decoded = 0;
    bool finished = false; // no more output will come: the end, or the decoder stopped
    std::atomic<bool> writer_failed{false};

    void stop()
    {
        {
            std::lock_guard guard(lock);
            finished = true;
        }
        changed.notify_one();
    }
    void publish(std::size_t position, bool last)
    {
        {
            std::lock_guard guard(lock);
            decoded = position;
            finished = finished || last;
        }
        changed.notify_one();
    }
    // Waits until `end` bytes are decoded; false when the decoder stopped before.
    bool wait_for(std::size_t end)
    {
        std::unique_lock guard(lock);
        changed.wait(guard, [&] { return decoded >= end || finished; });
        return decoded >= end;
    }
};

// Decodes the folder into `out` (its whole unpacked size), publishing progress. SZ_OK, or the
// decoder's or the stream's error; a cancel or a failed writer stops it early (SZ_OK, incomplete).
SRes decode_lzma2_folder(const CSzArEx& db, UInt32 folder, const CSzFolder& info, ILookInStreamPtr stream, Byte* out,
                         std::size_t out_size, ISzAllocPtr alloc, decode_progress& progress,
                         const std::atomic<std::uint32_t>* cancel)
{
    const Byte* props = db.db.CodersData + db.db.FoCodersOffsets[folder] + info.Coders[0].PropsOffset;
    const UInt32 pack_index = db.db.FoStartPackStreamIndex[folder];
    UInt64 in_left = db.db.PackPositions[pack_index + 1] - db.db.PackPositions[pack_index];
    if (SRes res = LookInStream_SeekTo(stream, db.dataPos + db.db.PackPositions[pack_index]); res != SZ_OK)
        return res;
    CLzma2Dec decoder;
    Lzma2Dec_CONSTRUCT(&decoder)
    if (SRes res = Lzma2Dec_AllocateProbs(&decoder, props[0], alloc); res != SZ_OK)
        return res;
    decoder.decoder.dic = out;
    decoder.decoder.dicBufSize = out_size;
    Lzma2Dec_Init(&decoder);
    // The writer is woken every 4 MiB, not for every packet.
    constexpr std::size_t publish_step = 4 * 1024 * 1024;
    SRes res = SZ_OK;
    for (;;) {
        if ((cancel && cancel->load(std::memory_order_acquire) != 0) || progress.writer_failed.load())
            break;
        const void* in = nullptr;
        std::size_t look = static_cast<std::size_t>(std::min<UInt64>(look_ahead_size, in_left));
        if ((res = ILookInStream_Look(stream, &in, &look)) != SZ_OK)
            break;
        const SizeT before = decoder.decoder.dicPos;
        const SizeT limit = std::min<SizeT>(out_size, before + publish_step);
        SizeT used = look;
        ELzmaStatus status;
        res = Lzma2Dec_DecodeToDic(&decoder, limit, static_cast<const Byte*>(in), &used,
                                   limit == out_size ? LZMA_FINISH_END : LZMA_FINISH_ANY, &status);
        in_left -= used;
        if (res != SZ_OK)
            break;
        if ((res = ILookInStream_Skip(stream, used)) != SZ_OK)
            break;
        const SizeT now = decoder.decoder.dicPos;
        if (status == LZMA_STATUS_FINISHED_WITH_MARK) {
            if (now != out_size || in_left != 0)
                res = SZ_ERROR_DATA;
            else
                progress.publish(now, true);
            break;
        }
        if (used == 0 && now == before) {
            // Nothing more comes out: either the folder is complete, or its data ended early.
            if (now == out_size)
                progress.publish(now, true);
            else
                res = SZ_ERROR_INPUT_EOF;
            break;
        }
        progress.publish(now, false);
    }
    Lzma2Dec_FreeProbs(&decoder, alloc);
    return res;
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
    // The path of an entry, its parent folders made on the way.
    auto entry_path = [&](const std::wstring& name) {
        std::wstring path = base;
        for (wchar_t c : name) {
            if (c == L'/') {
                CreateDirectoryW(path.c_str(), nullptr); // exists already, or the file's creation says why
                path += L'\\';
            } else {
                path += c;
            }
        }
        return path;
    };
    // An entry's file while it is written; one not finished (a failure, a stopped decoder) is
    // removed, so that no file cut short or with wrong bytes stays behind.
    struct entry_file {
        HANDLE handle = INVALID_HANDLE_VALUE;
        std::wstring path;
        entry_file() = default;
        entry_file(const entry_file&) = delete;
        entry_file& operator=(const entry_file&) = delete;
        ~entry_file()
        {
            if (handle != INVALID_HANDLE_VALUE) {
                const DWORD e = GetLastError();
                CloseHandle(handle);
                DeleteFileW(path.c_str());
                SetLastError(e);
            }
        }
    };
    auto open_entry = [&](UInt32 i, entry_file& f) {
        f.path = entry_path(names[i]);
        f.handle = CreateFileW(f.path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
        if (f.handle == INVALID_HANDLE_VALUE)
            fail_last_error(names[i], L"a file that can be created");
    };
    auto write_bytes = [&](UInt32 i, entry_file& f, const Byte* data, std::size_t size) {
        std::size_t written = 0;
        while (written < size) {
            DWORD piece = static_cast<DWORD>(std::min<std::size_t>(write_piece, size - written));
            DWORD n = 0;
            if (!WriteFile(f.handle, data + written, piece, &n, nullptr) || n != piece) {
                // A file cut short (a full disk) is not an installed file.
                if (GetLastError() == ERROR_SUCCESS)
                    SetLastError(ERROR_HANDLE_DISK_FULL);
                fail_last_error(names[i], L"the whole file written");
            }
            written += n;
        }
    };
    // Gives the written file its time and attributes.
    auto finish_entry = [&](UInt32 i, entry_file& f) {
        if (SzBitWithVals_Check(&r.db.MTime, i)) {
            FILETIME t{r.db.MTime.Vals[i].Low, r.db.MTime.Vals[i].High};
            SetFileTime(f.handle, nullptr, nullptr, &t); // the time is a courtesy: a failure loses no data
        }
        if (!CloseHandle(std::exchange(f.handle, INVALID_HANDLE_VALUE))) {
            const DWORD e = GetLastError();
            DeleteFileW(f.path.c_str());
            SetLastError(e);
            fail_last_error(names[i], L"a file that can be closed");
        }
        if (SzBitWithVals_Check(&r.db.Attribs, i)) {
            constexpr DWORD kept = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM
                                   | FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
            const DWORD a = r.db.Attribs.Vals[i] & kept;
            SetFileAttributesW(f.path.c_str(), a ? a : FILE_ATTRIBUTE_NORMAL);
        }
    };
    // Writes one file whole. Called by one thread at a time.
    auto write_entry = [&](UInt32 i, const Byte* data, std::size_t size) {
        entry_file f;
        open_entry(i, f);
        write_bytes(i, f, data, size);
        finish_entry(i, f);
    };

    std::vector<char> done(count, 0);
    // Decodes an LZMA2 folder while a second thread writes its files as their bytes come; a file whose
    // checksum does not match is removed and ends the extraction.
    auto stream_folder = [&](UInt32 folder, const CSzFolder& info, UInt32 starting_entry) {
        const UInt64 unpack = SzAr_GetFolderUnpackSize(&r.db.db, folder);
        if (unpack > SIZE_MAX / 2)
            fail(E_OUTOFMEMORY, names[starting_entry], L"a block that fits in memory");
        const auto size = static_cast<std::size_t>(unpack);
        std::unique_ptr<Byte, void (*)(Byte*)> out(static_cast<Byte*>(std::malloc(size ? size : 1)),
                                                   [](Byte* b) { std::free(b); });
        if (!out)
            fail(E_OUTOFMEMORY, names[starting_entry], L"memory for the decoded block");
        const UInt32 first = r.db.FolderToFile[folder], last = r.db.FolderToFile[folder + 1];
        const UInt64 folder_start = r.db.UnpackPositions[first];
        decode_progress progress;
        std::exception_ptr writer_error;
        std::thread writer([&] {
            try {
                for (UInt32 j = first; j < last; ++j) {
                    if (r.db.FileToFolder[j] != folder)
                        continue;
                    const std::size_t offset = static_cast<std::size_t>(r.db.UnpackPositions[j] - folder_start);
                    const std::size_t length = static_cast<std::size_t>(SzArEx_GetFileSize(&r.db, j));
                    if (offset > size || length > size - offset)
                        fail(hresult_from_win32(ERROR_FILE_CORRUPT), names[j], L"an entry inside its decoded block");
                    // Written piece by piece as the decoder gets there, so that little is left to
                    // write when it ends; a checksum that does not match removes the file.
                    entry_file f;
                    open_entry(j, f);
                    UInt32 crc = CRC_INIT_VAL;
                    for (std::size_t have = 0; have < length;) {
                        const std::size_t upto = std::min(length, have + write_piece);
                        if (!progress.wait_for(offset + upto))
                            return; // the decoder stopped; it says why
                        crc = CrcUpdate(crc, out.get() + offset + have, upto - have);
                        write_bytes(j, f, out.get() + offset + have, upto - have);
                        have = upto;
                    }
                    if (SzBitWithVals_Check(&r.db.CRCs, j) && CRC_GET_DIGEST(crc) != r.db.CRCs.Vals[j])
                        fail(sz_error_text::code(SZ_ERROR_CRC), names[j], sz_error_text::text(SZ_ERROR_CRC));
                    finish_entry(j, f);
                    done[j] = 1;
                }
            } catch (...) {
                writer_error = std::current_exception();
                progress.writer_failed.store(true);
            }
        });
        const SRes res = decode_lzma2_folder(r.db, folder, info, &r.look.vt, out.get(), size, &r.alloc, progress, cancel);
        progress.stop();
        writer.join();
        if (writer_error)
            std::rethrow_exception(writer_error);
        if (res != SZ_OK)
            fail(sz_error_text::code(res), names[starting_entry], sz_error_text::text(res));
        if (cancel && cancel->load(std::memory_order_acquire) != 0)
            tavik::details::throw_operation_cancelled();
        if (SzBitWithVals_Check(&r.db.db.FolderCRCs, folder) && CrcCalc(out.get(), size) != r.db.db.FolderCRCs.Vals[folder])
            fail(sz_error_text::code(SZ_ERROR_CRC), names[starting_entry], sz_error_text::text(SZ_ERROR_CRC));
    };

    for (UInt32 i = 0; i < count; ++i) {
        if (cancel && cancel->load(std::memory_order_acquire) != 0)
            tavik::details::throw_operation_cancelled();
        if (done[i])
            continue;
        const std::wstring& name = names[i];
        if (SzArEx_IsDir(&r.db, i)) {
            std::wstring path = entry_path(name);
            while (path.size() > base.size() && path.back() == L'\\')
                path.pop_back();
            CreateDirectoryW(path.c_str(), nullptr);
            continue;
        }
        if (const UInt32 folder = r.db.FileToFolder[i]; folder != static_cast<UInt32>(-1)) {
            CSzFolder info{};
            if (is_streamable(r.db, folder, info)) {
                stream_folder(folder, info, i);
                continue;
            }
        }
        std::size_t offset = 0, size = 0;
        SRes res = SzArEx_Extract(&r.db, &r.look.vt, i, &r.block_index, &r.block, &r.block_size, &offset, &size, &r.alloc,
                                  &r.alloc_temp);
        if (res != SZ_OK)
            fail(sz_error_text::code(res), name, sz_error_text::text(res));
        if (offset > r.block_size || size > r.block_size - offset)
            fail(hresult_from_win32(ERROR_FILE_CORRUPT), name, L"an entry inside its decoded block");
        write_entry(i, r.block + offset, size);
    }
}

} // namespace tolvane
