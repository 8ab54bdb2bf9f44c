#include "engine/messages.hpp"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <string>

using kesra::format_f32;
using kesra::quote_string;

TEST(FormatF32, ShortestRoundTripWithoutExponent) {
    EXPECT_EQ(format_f32(0.0f), "0");
    EXPECT_EQ(format_f32(-0.0f), "-0");
    EXPECT_EQ(format_f32(-1.0f), "-1");
    EXPECT_EQ(format_f32(-2.5f), "-2.5");
    EXPECT_EQ(format_f32(0.1f), "0.1");
    EXPECT_EQ(format_f32(16777216.0f), "16777216");
    EXPECT_EQ(format_f32(1e-45f), "0." + std::string(44, '0') + "1");
    EXPECT_EQ(format_f32(std::numeric_limits<float>::infinity()), "inf");
    EXPECT_EQ(format_f32(-std::numeric_limits<float>::infinity()), "-inf");
    EXPECT_EQ(format_f32(std::nanf("")), "NaN");
    EXPECT_EQ(format_f32(-std::nanf("")), "NaN");
    for (const float v : {1.17549435e-38f, 3.3333333f, -123456.79f, 1e-7f}) {
        const std::string text = format_f32(v);
        EXPECT_EQ(text.find_first_of("eE"), std::string::npos) << text;
        EXPECT_EQ(std::strtof(text.c_str(), nullptr), v) << text;
    }
}

// Shortest digits padded with zeros, not every digit of the binary value.
TEST(FormatF32, LargeValuesUseTheShortestDigits) {
    EXPECT_EQ(format_f32(FLT_MAX), "34028235" + std::string(31, '0'));
    EXPECT_EQ(format_f32(-3e38f), "-3" + std::string(38, '0'));
    EXPECT_EQ(format_f32(1e20f), "1" + std::string(20, '0'));
    EXPECT_EQ(format_f32(123456792.0f), "123456790");
}

TEST(QuoteString, EscapesControlsAndKeepsPrintableText) {
    EXPECT_EQ(quote_string(""), "\"\"");
    EXPECT_EQ(quote_string("vox\"el\\"), "\"vox\\\"el\\\\\"");
    EXPECT_EQ(quote_string(std::string_view("\t\r\n\0", 4)), "\"\\t\\r\\n\\0\"");
    EXPECT_EQ(quote_string("a\x7f" "b\x01"), "\"a\\u{7f}b\\u{1}\"");
    EXPECT_EQ(quote_string("\xc2\x85"), "\"\\u{85}\"");  // C1 control
    EXPECT_EQ(quote_string("\xe2\x80\x8b"), "\"\\u{200b}\"");  // zero-width space
    EXPECT_EQ(quote_string("é kd→tree 🌲"), "\"é kd→tree 🌲\"");
}

// Invalid UTF-8 (a lone continuation byte, a truncated sequence) must not leak into the
// message, which has to stay valid UTF-8.
TEST(QuoteString, InvalidUtf8BecomesReplacementEscapes) {
    EXPECT_EQ(quote_string("\x80x\xe2\x80"), "\"\\u{fffd}x\\u{fffd}\\u{fffd}\"");
}

TEST(FormatShape, CommaSeparatedInBrackets) {
    EXPECT_EQ(kesra::format_shape({}), "[]");
    EXPECT_EQ(kesra::format_shape({0}), "[0]");
    EXPECT_EQ(kesra::format_shape({5, 2}), "[5, 2]");
    EXPECT_EQ(kesra::format_shape({3, 4, 18446744073709551615u}), "[3, 4, 18446744073709551615]");
}
