#pragma once
// Formatting of values inside error messages.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kesra {

// Shortest decimal that reads back to the same float, never in exponent notation:
// "0", "-0", "-2.5", "inf", "-inf", "NaN".
std::string format_f32(float value);

// Double-quoted with escapes: \" \\ \t \r \n \0, other control or non-printable
// characters as \u{hex}; everything else (printable non-ASCII included) unchanged.
// Invalid UTF-8 bytes are shown as \u{fffd}.
std::string quote_string(std::string_view text);

// "[5, 2]"
std::string format_shape(const std::vector<std::size_t>& dims);

}  // namespace kesra
