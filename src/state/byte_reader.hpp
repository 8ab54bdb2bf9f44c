#pragma once
// Front-to-back reader of a state byte string. Every read checks the bytes that remain
// first and throws StateError with the decoder's message when they do not suffice.
#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "base/errors.hpp"

namespace kesra {

// A state that cannot be decoded; the binding raises ValueError with this message.
class StateError : public InvalidArgument {
public:
    using InvalidArgument::InvalidArgument;
};

// Storage reserved ahead of the elements of one sequence is capped at this many bytes, or
// at what the bytes still unread can hold when that is more: a corrupt count then cannot
// cause an allocation beyond the size of the state itself.
inline constexpr std::size_t STATE_RESERVE_BYTES = 1048576;

class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : pos_(data), end_(data + size) {}

    std::size_t remaining() const { return static_cast<std::size_t>(end_ - pos_); }

    std::uint8_t u8() {
        need(1);
        return *pos_++;
    }
    std::uint32_t u32() {
        need(4);
        const std::uint32_t v = static_cast<std::uint32_t>(pos_[0]) | static_cast<std::uint32_t>(pos_[1]) << 8 |
                                static_cast<std::uint32_t>(pos_[2]) << 16 | static_cast<std::uint32_t>(pos_[3]) << 24;
        pos_ += 4;
        return v;
    }
    std::int32_t i32() { return static_cast<std::int32_t>(u32()); }
    float f32() { return std::bit_cast<float>(u32()); }
    std::uint64_t u64() {
        const std::uint64_t lo = u32();
        return lo | static_cast<std::uint64_t>(u32()) << 32;
    }

    // A count of elements, or a machine-word field: a u64 that must fit a size_t.
    std::size_t count() {
        const std::uint64_t n = u64();
        if constexpr (SIZE_MAX < UINT64_MAX) {
            if (n > SIZE_MAX)
                throw StateError("Invalid size " + std::to_string(n) + ": sizes must fit in a usize (0 to " +
                                 std::to_string(SIZE_MAX) + ")");
        }
        return static_cast<std::size_t>(n);
    }
    std::size_t usize() {
        const std::uint64_t n = u64();
        if constexpr (SIZE_MAX < UINT64_MAX) {
            if (n > SIZE_MAX) throw StateError("invalid value: integer `" + std::to_string(n) + "`, expected usize");
        }
        return static_cast<std::size_t>(n);
    }

    // The UTF-8 text of a length-prefixed string.
    std::string text();

    // A sequence of 4-byte words (u32, i32 or f32 patterns) into `out`, `per_element`
    // words per element of T. The bytes are checked to be there before storage is made,
    // so a corrupt count cannot allocate more than the state holds.
    template <class T>
    void words(std::vector<T>& out, std::size_t per_element) {
        static_assert(std::is_trivially_copyable_v<T>);
        const std::size_t n = count();
        if (n > remaining() / (4 * per_element)) throw StateError("io error: unexpected end of file");
        out.clear();
        out.resize(n);
        copy_words(reinterpret_cast<std::uint32_t*>(out.data()), n * per_element);
    }

    // A sequence of elements of `encoded` bytes each, decoded one by one with
    // read(reader) -> T.
    template <class T, class Read>
    void elements(std::vector<T>& out, std::size_t encoded, Read&& read) {
        const std::size_t n = count();
        out.clear();
        out.reserve(reservation(n, encoded, sizeof(T)));
        for (std::size_t i = 0; i < n; ++i) out.push_back(read(*this));
    }

private:
    // Elements to reserve for a sequence of n elements of `encoded` bytes each.
    std::size_t reservation(std::size_t n, std::size_t encoded, std::size_t stored) const {
        const std::size_t cap = std::max(STATE_RESERVE_BYTES / stored, remaining() / encoded);
        return std::min(n, cap);
    }

    void need(std::size_t n) const {
        if (remaining() < n) throw StateError("io error: unexpected end of file");
    }

    void copy_words(std::uint32_t* out, std::size_t count) {
        if constexpr (std::endian::native == std::endian::little) {
            if (count != 0) std::memcpy(out, pos_, 4 * count);
            pos_ += 4 * count;
        } else {
            for (std::size_t i = 0; i < count; ++i) out[i] = u32();
        }
    }

    const std::uint8_t* pos_;
    const std::uint8_t* end_;
};

// Why `bytes` are not valid UTF-8, in the decoder's wording, or empty when they are.
std::string utf8_error(const std::uint8_t* bytes, std::size_t size);

}  // namespace kesra
