// DEFLATE (RFC 1951): our own coder, which writes one fixed-Huffman block, and a
// decoder for all three block types. Both work in one pass into a caller's
// buffer and count the size they need instead of failing early.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kro::deflate {

// Result codes shared with the zlib and gzip framings. Every code above
// TOO_SMALL means the data is unusable.
enum Result : int {
    OK = 0,
    TOO_SMALL = 1,        // the output did not fit: size holds the size needed
    BAD_DATA = 2,         // malformed stream (or, for the encoders, no room for the framing)
    STORED_TOO_LONG = 3,  // a stored block runs past the input
    BAD_BLOCK_TYPE = 4,   // block type 3
    BAD_DISTANCE = 5,     // a match reaches before the start of the output
};

// On entry size is the capacity of out; on return the bytes produced, or the
// bytes needed when the answer is TOO_SMALL. Bytes past the capacity are
// counted, never stored.
int deflate(uint8_t* out, size_t& size, const uint8_t* in, size_t in_len);
int inflate(uint8_t* out, size_t& size, const uint8_t* in, size_t in_len);

// The most bytes deflate can write for in_len input bytes (all literals).
size_t deflate_bound(size_t in_len);

}  // namespace kro::deflate
