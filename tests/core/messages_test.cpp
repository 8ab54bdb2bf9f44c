#include "engine/messages.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <string>

using kesra::format_f32;
using kesra::quote_string;

// Shortest round-trip digits, never an exponent: large values are padded with zeros, not
// written with every digit of the binary value.
TEST(FormatF32, ShortestRoundTripWithoutExponent) {
    EXPECT_EQ(format_f32(-0.0f), "-0");
    EXPECT_EQ(format_f32(0.1f), "0.1");
    EXPECT_EQ(format_f32(1e-45f), "0." + std::string(44, '0') + "1");
    EXPECT_EQ(format_f32(FLT_MAX), "34028235" + std::string(31, '0'));
    EXPECT_EQ(format_f32(-123456792.0f), "-123456790");
    EXPECT_EQ(format_f32(-INFINITY), "-inf");
    EXPECT_EQ(format_f32(-NAN), "NaN");
    for (const float v : {1.17549435e-38f, 3.3333333f, 1e-7f}) {
        const std::string text = format_f32(v);
        EXPECT_TRUE(text.find_first_of("eE") == std::string::npos && std::strtof(text.c_str(), nullptr) == v) << text;
    }
}

// Controls, quotes and backslashes are escaped; invalid UTF-8 becomes replacement escapes
// so that the message stays valid UTF-8.
TEST(QuoteString, EscapesControlsAndInvalidUtf8) {
    EXPECT_EQ(quote_string(std::string_view("\"\\\t\r\n\0", 6)), "\"\\\"\\\\\\t\\r\\n\\0\"");
    EXPECT_EQ(quote_string("a\x7f" "b\x01"), "\"a\\u{7f}b\\u{1}\"");
    EXPECT_EQ(quote_string("\xc2\x85\xe2\x80\x8b"), "\"\\u{85}\\u{200b}\"");  // C1 control, zero-width space
    EXPECT_EQ(quote_string("é kd→tree 🌲"), "\"é kd→tree 🌲\"");
    EXPECT_EQ(quote_string("\x80x\xc3x\xe2\x80"), "\"\\u{fffd}x\\u{fffd}x\\u{fffd}\\u{fffd}\"");
}
