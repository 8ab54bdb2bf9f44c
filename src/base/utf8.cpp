#include "base/utf8.hpp"

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

Utf8Step decode_utf8(const std::uint8_t* bytes, std::size_t size, std::size_t at) {
    const std::uint8_t first = bytes[at];
    if (first < 0x80) return {first, 1};
    Utf8Step step;
    step.good = 1;
    const std::size_t width = sequence_width(first);
    if (width == 0) return step;
    char32_t cp = first & (width == 2 ? 0x1F : width == 3 ? 0x0F : 0x07);
    for (; step.good < width; ++step.good) {
        if (at + step.good >= size) {
            step.incomplete = true;
            return step;
        }
        const std::uint8_t b = bytes[at + step.good];
        if (!(step.good == 1 ? valid_second(first, b) : is_continuation(b))) return step;
        cp = (cp << 6) | (b & 0x3F);
    }
    return {cp, width};
}

}  // namespace kesra
