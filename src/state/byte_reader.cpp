#include "state/byte_reader.hpp"

#include "base/utf8.hpp"

namespace kesra {

std::string utf8_error(const std::uint8_t* bytes, std::size_t size) {
    for (std::size_t i = 0; i < size;) {
        const Utf8Step step = decode_utf8(bytes, size, i);
        if (step.length == 0) {
            if (step.incomplete) return "incomplete utf-8 byte sequence from index " + std::to_string(i);
            return "invalid utf-8 sequence of " + std::to_string(step.good) + " bytes from index " + std::to_string(i);
        }
        i += step.length;
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
