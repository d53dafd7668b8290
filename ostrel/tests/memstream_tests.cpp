#include <ostrel/com/ptr.h>
#include <ostrel/memstream.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

namespace {

using Ostrel::details::external_storage;
using Ostrel::details::memstream;
using Ostrel::details::owned_storage;

const std::array<std::uint8_t, 10> data{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};

Ostrel::com::ptr<memstream<external_storage>> borrowed()
{
    return Ostrel::com::make<memstream<external_storage>>(data.data(), data.size());
}

std::uint64_t seek(IStream* s, std::int64_t move, DWORD origin, HRESULT* hr = nullptr)
{
    LARGE_INTEGER m;
    m.QuadPart = move;
    ULARGE_INTEGER pos{};
    const HRESULT r = s->Seek(m, origin, &pos);
    if (hr)
        *hr = r;
    return pos.QuadPart;
}

// A target that takes at most `limit` bytes per call and answers `answer`.
class sink : public Ostrel::com::details::object<sink, IStream> {
public:
    sink(ULONG limit, HRESULT answer) : limit_(limit), answer_(answer) {}
    std::vector<std::uint8_t> got;
    HRESULT STDMETHODCALLTYPE Read(void*, ULONG, ULONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Write(const void* p, ULONG n, ULONG* written) override
    {
        const ULONG take = std::min(n, limit_);
        got.insert(got.end(), static_cast<const std::uint8_t*>(p), static_cast<const std::uint8_t*>(p) + take);
        if (written)
            *written = take;
        return answer_;
    }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*, ULARGE_INTEGER*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

private:
    ULONG limit_;
    HRESULT answer_;
};

TEST(Memstream, ReadsToTheEndThenNothing)
{
    auto s = borrowed();
    std::array<std::uint8_t, 16> buffer{};
    ULONG n = 99;
    EXPECT_EQ(s->Read(buffer.data(), 4, &n), S_OK);
    EXPECT_EQ(n, 4u);
    EXPECT_EQ(buffer[3], 3);
    EXPECT_EQ(s->Read(buffer.data(), 16, &n), S_OK);
    EXPECT_EQ(n, 6u);
    EXPECT_EQ(buffer[0], 4);
    EXPECT_EQ(buffer[5], 9);
    EXPECT_EQ(s->Read(buffer.data(), 16, &n), S_OK);
    EXPECT_EQ(n, 0u);
    EXPECT_EQ(s->Read(buffer.data(), 16, nullptr), S_OK);
}

TEST(Memstream, SeekUsesTheWholeMoveAndNeverGoesBeforeTheStart)
{
    auto s = borrowed();
    HRESULT hr;
    EXPECT_EQ(seek(s.get(), 0, STREAM_SEEK_END, &hr), 10u);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(seek(s.get(), -3, STREAM_SEEK_CUR, &hr), 7u);
    // Below the start: refused, position kept.
    seek(s.get(), -8, STREAM_SEEK_CUR, &hr);
    EXPECT_EQ(hr, STG_E_INVALIDFUNCTION);
    EXPECT_EQ(s->position(), 7u);
    seek(s.get(), INT64_MIN, STREAM_SEEK_END, &hr);
    EXPECT_EQ(hr, STG_E_INVALIDFUNCTION);
    EXPECT_EQ(s->position(), 7u);
    // A move above 32 bits is not cut to its low half (which would be 2 here).
    EXPECT_EQ(seek(s.get(), 0x100000002ll, STREAM_SEEK_SET, &hr), 0x100000002ull);
    EXPECT_EQ(hr, S_OK);
    // Past the end nothing is read, whatever is asked.
    std::array<std::uint8_t, 4> buffer{};
    ULONG n = 99;
    EXPECT_EQ(s->Read(buffer.data(), 4, &n), S_OK);
    EXPECT_EQ(n, 0u);
    auto target = Ostrel::com::make<sink>(100, S_OK);
    ULARGE_INTEGER count{}, read{}, written{};
    count.QuadPart = 100;
    EXPECT_EQ(s->CopyTo(target.get(), count, &read, &written), S_OK);
    EXPECT_EQ(written.QuadPart, 0u);
    EXPECT_TRUE(target->got.empty());
    // Unknown origin.
    seek(s.get(), 0, 7, &hr);
    EXPECT_EQ(hr, STG_E_INVALIDFUNCTION);
}

TEST(Memstream, CopyToReportsTheTargetsErrorAndCountsOnlyWhatWasWritten)
{
    struct row {
        ULONG limit;
        HRESULT answer;
        HRESULT expected;
        std::uint64_t written;
    };
    for (const row& r : {row{100, S_OK, S_OK, 10}, row{4, STG_E_MEDIUMFULL, STG_E_MEDIUMFULL, 4},
                         row{0, E_FAIL, E_FAIL, 0}, row{3, S_OK, S_OK, 3}}) {
        auto s = borrowed();
        auto target = Ostrel::com::make<sink>(r.limit, r.answer);
        ULARGE_INTEGER count{}, read{}, written{};
        count.QuadPart = 100;
        EXPECT_EQ(s->CopyTo(target.get(), count, &read, &written), r.expected) << r.limit;
        EXPECT_EQ(written.QuadPart, r.written);
        EXPECT_EQ(read.QuadPart, r.written);
        EXPECT_EQ(target->got.size(), r.written);
        EXPECT_EQ(s->position(), r.written);
    }
}

TEST(Memstream, StatInterfacesAndUnsupportedCalls)
{
    auto s = borrowed();
    STATSTG stat;
    std::memset(&stat, 0xCC, sizeof(stat));
    EXPECT_EQ(s->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.type, 3u);
    EXPECT_EQ(stat.cbSize.QuadPart, 10u);
    EXPECT_EQ(stat.pwcsName, nullptr);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(s->QueryInterface(__uuidof(ISequentialStream), &out), E_NOINTERFACE);
    EXPECT_EQ(out, nullptr);
    ASSERT_EQ(s->QueryInterface(__uuidof(IStream), &out), S_OK);
    static_cast<IStream*>(out)->Release();
    ULONG n = 0;
    EXPECT_EQ(s->Write(data.data(), 1, &n), E_NOTIMPL);
    EXPECT_EQ(s->SetSize(ULARGE_INTEGER{}), E_NOTIMPL);
    IStream* clone = reinterpret_cast<IStream*>(1);
    EXPECT_EQ(s->Clone(&clone), E_NOTIMPL);
    EXPECT_EQ(clone, nullptr);
}

TEST(Memstream, OwnedStorageKeepsItsCopy)
{
    std::vector<std::uint8_t> source{7, 8, 9};
    auto s = Ostrel::com::make<memstream<owned_storage>>(source.data(), source.size());
    source.assign(3, 0);
    std::array<std::uint8_t, 3> buffer{};
    ULONG n = 0;
    EXPECT_EQ(s->Read(buffer.data(), 3, &n), S_OK);
    EXPECT_EQ(n, 3u);
    EXPECT_EQ(buffer[2], 9);
}

} // namespace
