// Checksums and digests: CRC-32, Adler-32 and the internet checksum are our own;
// MD5 and the SHA family come from libcrypto; HMAC is built here on top of them.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace kro::checksum {

// Method ids as the `checksum` native numbers them; adler32 and hash have none.
enum Method : int { TCP = 0, CRC32 = 1, MD5 = 2, SHA1 = 3, SHA256 = 4, SHA384 = 5, SHA512 = 6 };

constexpr size_t MAX_DIGEST = 64;

// The nine method names (tcp md5 sha1 crc32 adler32 sha256 sha384 sha512 hash),
// compared without regard to ASCII case as words are.
bool is_method(std::string_view name);
// 0-6 for the methods that have an id; -1 for adler32, hash and anything else,
// which the caller must handle itself.
int method_id(std::string_view name);
// 16/20/32/48/64 for the digest methods, 0 for every other id.
size_t digest_size(int id);

uint32_t crc32(const uint8_t* data, size_t len);
// Continues a CRC-32 over more bytes: crc32(a+b) = crc32_update(crc32(a), b).
uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t len);
uint16_t tcp(const uint8_t* data, size_t len);
uint32_t adler32(const uint8_t* data, size_t len);

// The digest of the bytes, digest_size(id) long. An id outside md5..sha512
// raises script/invalid-arg; a libcrypto failure raises an internal error.
std::vector<uint8_t> crypto_hash(const uint8_t* data, size_t len, int id);

// HMAC (RFC 2104) over one of the digest methods, named as the native names it.
// tcp, crc32, adler32 and hash print a notice and answer no digest.
std::optional<std::vector<uint8_t>> keyed_hash(const uint8_t* data, size_t len, const uint8_t* key,
                                               size_t key_len, std::string_view method);

// The `hash` method is not designed yet: says so on the console.
void hash_stub();

}  // namespace kro::checksum
