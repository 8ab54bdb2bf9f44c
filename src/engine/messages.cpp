#include "engine/messages.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>

#include "base/utf8.hpp"

namespace kesra {

std::string format_f32(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
    // The shortest round-trip digits come from the scientific form ("-1.25e+02");
    // they are then laid out in plain positional notation.
    char buf[64];
    const auto res = std::to_chars(buf, buf + sizeof(buf), value, std::chars_format::scientific);
    const std::string text(buf, res.ptr);
    const std::size_t e = text.find('e');
    const bool negative = text[0] == '-';
    std::string digits;
    for (std::size_t i = negative ? 1 : 0; i < e; ++i)
        if (text[i] != '.') digits += text[i];
    const int exponent = std::stoi(text.substr(e + 1));
    // The value is 0.d1d2d3... * 10^(exponent + 1).
    const int point = exponent + 1;
    std::string out = negative ? "-" : "";
    if (point <= 0) {
        out += "0." + std::string(static_cast<std::size_t>(-point), '0') + digits;
    } else if (static_cast<std::size_t>(point) >= digits.size()) {
        out += digits + std::string(static_cast<std::size_t>(point) - digits.size(), '0');
    } else {
        out += digits.substr(0, static_cast<std::size_t>(point)) + "." + digits.substr(static_cast<std::size_t>(point));
    }
    return out;
}

namespace {

// Control and non-printable characters, as far as an escape is needed for a message:
// C0/C1 controls, DEL, surrogates, non-characters, separators and format characters
// that would be invisible.
bool is_printable(char32_t cp) {
    if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) return false;
    if (cp == 0xAD) return false;
    if (cp >= 0x2000 && cp <= 0x200F) return cp < 0x200B;  // spaces print, zero-width do not
    if (cp >= 0x2028 && cp <= 0x202E) return false;
    if (cp >= 0x2060 && cp <= 0x206F) return false;
    if (cp >= 0xD800 && cp <= 0xDFFF) return false;
    if (cp == 0xFEFF || (cp & 0xFFFE) == 0xFFFE) return false;
    if (cp >= 0xE000 && cp <= 0xF8FF) return false;  // private use
    if (cp > 0x10FFFF) return false;
    return true;
}

}  // namespace

std::string quote_string(std::string_view text) {
    std::string out = "\"";
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        const Utf8Step step = decode_utf8(bytes, text.size(), i);
        const char32_t cp = step.code_point;
        const std::size_t len = step.length;
        if (len == 0) {
            out += "\\u{fffd}";
            ++i;
            continue;
        }
        switch (cp) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case '\n': out += "\\n"; break;
            case '\0': out += "\\0"; break;
            default:
                if (is_printable(cp)) {
                    out.append(text.substr(i, len));
                } else {
                    char buf[16];
                    std::snprintf(buf, sizeof(buf), "\\u{%x}", static_cast<unsigned>(cp));
                    out += buf;
                }
        }
        i += len;
    }
    out += '"';
    return out;
}

std::string format_shape(const std::vector<std::size_t>& dims) {
    std::string out = "[";
    for (std::size_t i = 0; i < dims.size(); ++i) {
        if (i > 0) out += ", ";
        out += std::to_string(dims[i]);
    }
    return out + "]";
}

}  // namespace kesra
