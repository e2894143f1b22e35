// The crush format: a small LZ77 coder for data stored inside the program (the
// boot data and the stack-map table). A stream is an 8-byte header (the bytes
// that follow, the unpacked length; 32-bit little-endian) and independent
// blocks of at most 1 MB, each its length and then a bit stream of literals
// and matches.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kro::crush {

constexpr uint32_t BLOCK_MAX = 0x100000;  // bytes a block unpacks to
constexpr uint32_t WINDOW = 0x40000;      // farthest match distance
constexpr uint32_t MIN_MATCH = 3;
constexpr uint32_t MAX_MATCH = 566;
constexpr size_t MIN_PACK = 128;          // shorter inputs are not worth packing

// Decodes the whole stream of in_len bytes into out (its size is the number of
// bytes produced). Every read is bounded by in_len and the stream's own fields;
// answers false, with out empty, for a stream that does not decode.
bool unpack(const uint8_t* in, size_t in_len, std::vector<uint8_t>& out);

// Encodes len bytes into dst, which has room for len bytes. Answers the stream
// length, or -1 when the input is shorter than MIN_PACK or the stream would not
// fit in len bytes.
int64_t pack(const uint8_t* src, size_t len, uint8_t* dst);

}  // namespace kro::crush
