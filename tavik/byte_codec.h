#pragma once
// Little-endian integers in and out of byte images: the one reader and writer of every stored
// format ("blocks.ddb", block-file headers, "files.deinfo", the emulation's record).
//
// The reader never reads outside its image. A read past the end returns zero and marks the reader
// failed; the failure sticks, so a parser reads a whole record and checks `ok()` once, and turns a
// failure into its own error ("Folder is invalid" for the store).

#include <bit>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

namespace tavik {

static_assert(std::endian::native == std::endian::little, "stored formats are little-endian");

class byte_reader {
public:
    explicit byte_reader(std::span<const std::byte> image) noexcept : image_(image) {}

    template <std::unsigned_integral T>
    T get() noexcept
    {
        T value{};
        if (take(sizeof(T)))
            std::memcpy(&value, image_.data() + position_ - sizeof(T), sizeof(T));
        return value;
    }
    std::uint8_t u8() noexcept { return get<std::uint8_t>(); }
    std::uint16_t u16() noexcept { return get<std::uint16_t>(); }
    std::uint32_t u32() noexcept { return get<std::uint32_t>(); }
    std::uint64_t u64() noexcept { return get<std::uint64_t>(); }

    // The next `size` bytes, or an empty span (and failure) when fewer remain.
    std::span<const std::byte> bytes(std::size_t size) noexcept
    {
        if (!take(size))
            return {};
        return image_.subspan(position_ - size, size);
    }
    void skip(std::size_t size) noexcept { take(size); }

    bool ok() const noexcept { return ok_; }
    std::size_t position() const noexcept { return position_; }
    std::size_t remaining() const noexcept { return image_.size() - position_; }
    bool at_end() const noexcept { return position_ == image_.size(); }

private:
    bool take(std::size_t size) noexcept
    {
        if (!ok_ || size > image_.size() - position_) {
            ok_ = false;
            return false;
        }
        position_ += size;
        return true;
    }

    std::span<const std::byte> image_;
    std::size_t position_ = 0;
    bool ok_ = true;
};

// Appends to a growing image, or writes into a fixed one (a header, a record slot). A fixed image
// too small for what is written is a fault of the caller's layout: the writer stops there and marks
// itself failed rather than writing past the end.
class byte_writer {
public:
    explicit byte_writer(std::vector<std::byte>& out) noexcept : grow_(&out) {}
    explicit byte_writer(std::span<std::byte> fixed) noexcept : fixed_(fixed) {}

    template <std::unsigned_integral T>
    void put(T value)
    {
        if (!grow_ && ok_ && sizeof(T) <= fixed_.size() - position_) {
            std::memcpy(fixed_.data() + position_, &value, sizeof(T));
            position_ += sizeof(T);
            return;
        }
        std::byte raw[sizeof(T)];
        std::memcpy(raw, &value, sizeof(T));
        bytes(raw);
    }
    void u8(std::uint8_t v) { put(v); }
    void u16(std::uint16_t v) { put(v); }
    void u32(std::uint32_t v) { put(v); }
    void u64(std::uint64_t v) { put(v); }

    void bytes(std::span<const std::byte> data)
    {
        if (grow_) {
            grow_->insert(grow_->end(), data.begin(), data.end());
        } else if (ok_ && data.size() <= fixed_.size() - position_) {
            std::memcpy(fixed_.data() + position_, data.data(), data.size());
            position_ += data.size();
        } else {
            ok_ = false;
        }
    }
    void zeros(std::size_t count)
    {
        for (std::size_t i = 0; i < count; ++i)
            u8(0);
    }

    bool ok() const noexcept { return ok_; }
    std::size_t position() const noexcept { return grow_ ? grow_->size() : position_; }

private:
    std::vector<std::byte>* grow_ = nullptr;
    std::span<std::byte> fixed_;
    std::size_t position_ = 0;
    bool ok_ = true;
};

} // namespace tavik
