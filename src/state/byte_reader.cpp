#include "state/byte_reader.hpp"

namespace kesra {

namespace {

bool is_continuation(std::uint8_t b) { return (b & 0xC0) == 0x80; }

// Whether `second` may follow the lead byte `first` of a 3- or 4-byte sequence: excludes
// overlong forms, surrogates and code points above U+10FFFF.
bool valid_second(std::uint8_t first, std::uint8_t second) {
    if (first == 0xE0) return second >= 0xA0 && second <= 0xBF;
    if (first == 0xED) return second >= 0x80 && second <= 0x9F;
    if (first == 0xF0) return second >= 0x90 && second <= 0xBF;
    if (first == 0xF4) return second >= 0x80 && second <= 0x8F;
    return is_continuation(second);
}

std::size_t sequence_width(std::uint8_t first) {
    if (first >= 0xC2 && first <= 0xDF) return 2;
    if (first >= 0xE0 && first <= 0xEF) return 3;
    if (first >= 0xF0 && first <= 0xF4) return 4;
    return 0;
}

}  // namespace

std::string utf8_error(const std::uint8_t* bytes, std::size_t size) {
    std::size_t i = 0;
    while (i < size) {
        const std::uint8_t first = bytes[i];
        if (first < 0x80) {
            ++i;
            continue;
        }
        const std::size_t start = i;
        const std::size_t width = sequence_width(first);
        // The `good` bytes from `start` are the longest prefix that could still begin a
        // valid sequence; that prefix is the invalid sequence reported.
        std::size_t good = 1;
        if (width != 0) {
            while (good < width) {
                if (start + good >= size) return "incomplete utf-8 byte sequence from index " + std::to_string(start);
                const std::uint8_t b = bytes[start + good];
                if (!(good == 1 ? valid_second(first, b) : is_continuation(b))) break;
                ++good;
            }
            if (good == width) {
                i = start + width;
                continue;
            }
        }
        return "invalid utf-8 sequence of " + std::to_string(good) + " bytes from index " + std::to_string(start);
    }
    return {};
}

std::string ByteReader::text() {
    const std::size_t length = count();
    if (remaining() < length) throw StateError("io error: ");
    const std::string error = utf8_error(pos_, length);
    if (!error.empty()) throw StateError("string is not valid utf8: " + error);
    std::string out(reinterpret_cast<const char*>(pos_), length);
    pos_ += length;
    return out;
}

}  // namespace kesra
