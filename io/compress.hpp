// zlib (RFC 1950) and gzip (RFC 1952) framing around our DEFLATE coder, and the
// buffer-sizing loop that the `compress` and `decompress` natives need.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "io/deflate.hpp"

namespace kro::compress {

// The same arguments and result codes as deflate::deflate and deflate::inflate.
// An encoder given less room than its framing answers BAD_DATA with the input
// length plus the framing size in size.
int zlib_encode(uint8_t* out, size_t& size, const uint8_t* in, size_t in_len);
int zlib_decode(uint8_t* out, size_t& size, const uint8_t* in, size_t in_len);
int gzip_encode(uint8_t* out, size_t& size, const uint8_t* in, size_t in_len);
int gzip_decode(uint8_t* out, size_t& size, const uint8_t* in, size_t in_len);

enum class Method { ZLIB, DEFLATE, GZIP };

// zlib, deflate or gzip, without regard to ASCII case.
std::optional<Method> method_of(std::string_view name);

// The whole compressed form of the input.
std::vector<uint8_t> encode(Method m, const uint8_t* in, size_t in_len);

// Decodes into out, never letting it grow past limit bytes. size_hint, when
// not 0, is the first capacity tried. Answers deflate::OK, TOO_SMALL when the
// data would decode to more than limit bytes (out is then empty), or a code
// above TOO_SMALL for data that does not decode.
constexpr size_t DEFAULT_LIMIT = size_t(1) << 30;
int decode(Method m, const uint8_t* in, size_t in_len, std::vector<uint8_t>& out,
           size_t limit = DEFAULT_LIMIT, size_t size_hint = 0);

}  // namespace kro::compress
