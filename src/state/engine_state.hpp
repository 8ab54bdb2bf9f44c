#pragma once
// The engine state: a headerless little-endian byte string holding the whole engine
// record, backend structure included, so that a restored engine answers every query as
// the saved one without rebuilding. Machine words and counts are always 8 bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/engine.hpp"

namespace kesra {

// Exact size of the encoding of `engine`, computed without writing.
std::size_t encoded_size(const Engine& engine);

// Writes the encoding into out[0, size), where size == encoded_size(engine).
void encode_engine(const Engine& engine, std::uint8_t* out, std::size_t size);

// Convenience for the core's own users and tests.
std::vector<std::uint8_t> encode_engine(const Engine& engine);

// Decodes an engine record from the front of data[0, size); bytes after it are ignored.
// Throws StateError with the decoder's message when the bytes do not hold a record, and
// InvalidArgument when a structure holds a value the engine cannot represent.
Engine decode_engine(const std::uint8_t* data, std::size_t size);

}  // namespace kesra
