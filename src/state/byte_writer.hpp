#pragma once
// The two sinks of the state encoder: one only adds up sizes, the other writes
// little-endian values into a buffer of exactly that size. The encoder runs the same
// field walk over both, so the size and the bytes cannot disagree.
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "base/errors.hpp"

namespace kesra {

class SizeCounter {
public:
    void u8(std::uint8_t) { size_ += 1; }
    void u32(std::uint32_t) { size_ += 4; }
    void i32(std::int32_t) { size_ += 4; }
    void f32(float) { size_ += 4; }
    void u64(std::uint64_t) { size_ += 8; }
    void bytes(const void*, std::size_t n) { size_ += n; }
    // `count` values of 4-byte words, stored in memory as native words.
    void words(const void*, std::size_t count) { size_ += 4 * count; }
    // A sequence: its element count, then `per_element` words for each element.
    template <class T>
    void words(const std::vector<T>& v, std::size_t per_element) {
        u64(v.size());
        words(v.data(), v.size() * per_element);
    }

    std::size_t size() const { return size_; }

private:
    std::size_t size_ = 0;
};

class BufferWriter {
public:
    BufferWriter(std::uint8_t* out, std::size_t size) : pos_(out), end_(out + size) {}

    void u8(std::uint8_t v) { bytes(&v, 1); }
    void u32(std::uint32_t v) {
        const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                                   static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)};
        bytes(b, 4);
    }
    void i32(std::int32_t v) { u32(static_cast<std::uint32_t>(v)); }
    void f32(float v) { u32(std::bit_cast<std::uint32_t>(v)); }
    void u64(std::uint64_t v) {
        u32(static_cast<std::uint32_t>(v));
        u32(static_cast<std::uint32_t>(v >> 32));
    }
    void bytes(const void* data, std::size_t n) {
        check(n <= static_cast<std::size_t>(end_ - pos_), "state encoder ran past its computed size");
        if (n != 0) std::memcpy(pos_, data, n);
        pos_ += n;
    }
    // 4-byte words (u32, i32 or f32 bit patterns) from native memory: copied whole where the
    // machine is little-endian.
    void words(const void* data, std::size_t count) {
        if constexpr (std::endian::native == std::endian::little) {
            bytes(data, 4 * count);
        } else {
            const auto* w = static_cast<const std::uint32_t*>(data);
            for (std::size_t i = 0; i < count; ++i) u32(w[i]);
        }
    }

    // A sequence: its element count, then `per_element` words for each element.
    template <class T>
    void words(const std::vector<T>& v, std::size_t per_element) {
        u64(v.size());
        words(v.data(), v.size() * per_element);
    }

    bool full() const { return pos_ == end_; }

private:
    std::uint8_t* pos_;
    std::uint8_t* end_;
};

}  // namespace kesra
