#pragma once
// A read-only IStream over a block of memory: the image decoder reads an embedded PNG through it.
//
//     auto stream = Ostrel::com::make<Ostrel::details::memstream<Ostrel::details::external_storage>>(data, size);
//
// external_storage borrows the block (it must outlive the stream); owned_storage keeps its own copy
// and frees it with the stream. The stream answers for IUnknown and IStream only: asking for
// ISequentialStream fails, as it always has, and the image decoder is content with IStream.
//
// Positions are 64-bit and never point before the start: a Seek there fails with
// STG_E_INVALIDFUNCTION and keeps the position. A Seek past the end is allowed; reading and copying
// from there give 0 bytes, so nothing outside the block is ever read, whatever a file asks for.
//
// Threads: the reference count is atomic; the position is not guarded, so one thread at a time.

#include <ostrel/com/object.h>

#include <windows.h>
#include <objidl.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

namespace Ostrel::details {

class external_storage {
public:
    external_storage(const void* data, std::uint64_t size) noexcept
        : data_(static_cast<const std::byte*>(data)), size_(size)
    {
    }
    const std::byte* data() const noexcept { return data_; }
    std::uint64_t size() const noexcept { return size_; }

private:
    const std::byte* data_;
    std::uint64_t size_;
};

class owned_storage {
public:
    owned_storage(const void* data, std::uint64_t size)
        : data_(std::make_unique_for_overwrite<std::byte[]>(static_cast<std::size_t>(size))), size_(size)
    {
        if (size)
            std::memcpy(data_.get(), data, static_cast<std::size_t>(size));
    }
    owned_storage(std::unique_ptr<std::byte[]> data, std::uint64_t size) noexcept : data_(std::move(data)), size_(size) {}
    const std::byte* data() const noexcept { return data_.get(); }
    std::uint64_t size() const noexcept { return size_; }

private:
    std::unique_ptr<std::byte[]> data_;
    std::uint64_t size_;
};

template <class Storage>
class memstream : public Ostrel::com::details::object<memstream<Storage>, IStream> {
public:
    template <class... Args>
    explicit memstream(Args&&... args) : storage_(std::forward<Args>(args)...)
    {
    }

    std::uint64_t position() const noexcept { return position_; }

    HRESULT STDMETHODCALLTYPE Read(void* buffer, ULONG count, ULONG* read) override
    {
        const ULONG n = available(count);
        if (n)
            std::memcpy(buffer, storage_.data() + position_, n);
        position_ += n;
        if (read)
            *read = n;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override { return E_NOTIMPL; }

    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER* new_position) override
    {
        std::int64_t base;
        switch (origin) {
        case STREAM_SEEK_SET: base = 0; break;
        case STREAM_SEEK_CUR: base = static_cast<std::int64_t>(position_); break;
        case STREAM_SEEK_END: base = static_cast<std::int64_t>(storage_.size()); break;
        default: return STG_E_INVALIDFUNCTION;
        }
        // Positions and sizes stay far below 2^63, so only the move itself can overflow the sum.
        std::int64_t target;
        if (__builtin_add_overflow(base, static_cast<std::int64_t>(move.QuadPart), &target) || target < 0)
            return STG_E_INVALIDFUNCTION;
        position_ = static_cast<std::uint64_t>(target);
        if (new_position)
            new_position->QuadPart = position_;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }

    // Writes what remains (up to `count`) to the target. The position moves by what the target took;
    // a target that fails keeps its error, which is returned.
    HRESULT STDMETHODCALLTYPE CopyTo(IStream* target, ULARGE_INTEGER count, ULARGE_INTEGER* read,
                                     ULARGE_INTEGER* written) override
    {
        if (!target)
            return STG_E_INVALIDPOINTER;
        std::uint64_t left = remaining();
        if (count.QuadPart < left)
            left = count.QuadPart;
        std::uint64_t done = 0;
        HRESULT hr = S_OK;
        while (done < left) {
            const ULONG chunk = static_cast<ULONG>(std::min<std::uint64_t>(left - done, 0x40000000u));
            ULONG wrote = 0;
            hr = target->Write(storage_.data() + position_ + done, chunk, &wrote);
            done += std::min(wrote, chunk);
            if (FAILED(hr) || wrote < chunk)
                break;
        }
        position_ += done;
        if (read)
            read->QuadPart = done;
        if (written)
            written->QuadPart = done;
        return FAILED(hr) ? hr : S_OK;
    }

    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE Revert() override { return S_OK; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return S_OK; }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return S_OK; }

    HRESULT STDMETHODCALLTYPE Stat(STATSTG* stat, DWORD) override
    {
        if (!stat)
            return STG_E_INVALIDPOINTER;
        *stat = STATSTG{};
        stat->type = STGTY_LOCKBYTES;
        stat->cbSize.QuadPart = storage_.size();
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Clone(IStream** result) override
    {
        if (result)
            *result = nullptr;
        return E_NOTIMPL;
    }

private:
    std::uint64_t remaining() const noexcept { return position_ < storage_.size() ? storage_.size() - position_ : 0; }
    ULONG available(ULONG count) const noexcept
    {
        return static_cast<ULONG>(std::min<std::uint64_t>(count, remaining()));
    }

    Storage storage_;
    std::uint64_t position_ = 0;
};

} // namespace Ostrel::details
