#pragma once
// Decoding of well-formed UTF-8 (no overlong forms, surrogates or code points above
// U+10FFFF), one code point at a time: for checking saved text and quoting names in
// messages.
#include <cstddef>
#include <cstdint>

namespace kesra {

struct Utf8Step {
    char32_t code_point = 0;  // when valid
    std::size_t length = 0;   // bytes of the code point; 0 when the bytes at `at` are invalid
    // When invalid: how many bytes from `at` could still begin a valid sequence, and
    // whether the bytes ended inside it.
    std::size_t good = 0;
    bool incomplete = false;
};

// The code point that starts at bytes[at], at < size.
Utf8Step decode_utf8(const std::uint8_t* bytes, std::size_t size, std::size_t at);

}  // namespace kesra
