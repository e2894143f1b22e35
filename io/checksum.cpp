#include "io/checksum.hpp"

#include <openssl/evp.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <memory>

#include "foundation/cell.hpp"
#include "foundation/fire.hpp"
#include "foundation/platform/shared_lib.hpp"
#include "foundation/print.hpp"

namespace kro::checksum {

namespace {

struct Name {
    const char* text;
    int id;
};
// Listed in the order the method words are made at start-up.
constexpr Name METHODS[] = {{"tcp", TCP},       {"md5", MD5},       {"sha1", SHA1},
                            {"crc32", CRC32},   {"adler32", -1},    {"sha256", SHA256},
                            {"sha384", SHA384}, {"sha512", SHA512}, {"hash", -1}};

bool same_name(std::string_view a, const char* b) {
    size_t n = std::strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; i++) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

const Name* find(std::string_view name) {
    for (const Name& m : METHODS)
        if (same_name(name, m.text)) return &m;
    return nullptr;
}

constexpr std::array<uint32_t, 256> make_crc_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        t[i] = c;
    }
    return t;
}
constexpr std::array<uint32_t, 256> CRC_TABLE = make_crc_table();

#define CRYPTO_CALLS(X)                                                                               \
    X(EVP_DigestFinal_ex) X(EVP_DigestInit_ex) X(EVP_DigestUpdate) X(EVP_MD_CTX_free) X(EVP_MD_CTX_new) \
    X(EVP_md5) X(EVP_sha1) X(EVP_sha256) X(EVP_sha384) X(EVP_sha512)
KRO_SHARED_LIB(CryptoCalls, crypto, "libcrypto.so.3", CRYPTO_CALLS)

const EVP_MD* evp_of(int id) {
    switch (id) {
        case MD5: return crypto().EVP_md5();
        case SHA1: return crypto().EVP_sha1();
        case SHA256: return crypto().EVP_sha256();
        case SHA384: return crypto().EVP_sha384();
        case SHA512: return crypto().EVP_sha512();
        default: return nullptr;
    }
}

struct Piece {
    const uint8_t* data;
    size_t len;
};

struct CtxFree {
    void operator()(EVP_MD_CTX* c) const { crypto().EVP_MD_CTX_free(c); }
};

// One digest over several pieces laid end to end, so HMAC needs no joined copy.
std::vector<uint8_t> digest_of(int id, std::initializer_list<Piece> parts) {
    const EVP_MD* md = evp_of(id);
    if (!md) {
        Cell arg{TYPE_INTEGER, 0, uint32_t(id), 0};
        fire("script", "invalid-arg", &arg);
    }
    const CryptoCalls& lib = crypto();
    std::unique_ptr<EVP_MD_CTX, CtxFree> ctx(lib.EVP_MD_CTX_new());
    if (!ctx) fire("internal", "no-memory");
    if (lib.EVP_DigestInit_ex(ctx.get(), md, nullptr) != 1) fire("internal", "feature-na");
    for (const Piece& p : parts)
        if (p.len && lib.EVP_DigestUpdate(ctx.get(), p.data, p.len) != 1) fire("internal", "feature-na");
    std::vector<uint8_t> out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    if (lib.EVP_DigestFinal_ex(ctx.get(), out.data(), &n) != 1 || n != digest_size(id))
        fire("internal", "feature-na");
    out.resize(n);
    return out;
}

}  // namespace

bool is_method(std::string_view name) { return find(name) != nullptr; }

int method_id(std::string_view name) {
    const Name* m = find(name);
    return m ? m->id : -1;
}

size_t digest_size(int id) {
    switch (id) {
        case MD5: return 16;
        case SHA1: return 20;
        case SHA256: return 32;
        case SHA384: return 48;
        case SHA512: return 64;
        default: return 0;
    }
}

uint32_t crc32_update(uint32_t crc, const uint8_t* data, size_t len) {
    uint32_t r = ~crc;
    for (size_t i = 0; i < len; i++) r = (r >> 8) ^ CRC_TABLE[(r ^ data[i]) & 0xFF];
    return ~r;
}

uint32_t crc32(const uint8_t* data, size_t len) { return crc32_update(0, data, len); }

uint16_t tcp(const uint8_t* data, size_t len) {
    // A 64-bit sum: a 32-bit one overflows on inputs of about 128 KB and more.
    uint64_t sum = 0;
    size_t i = 0;
    for (; i + 1 < len; i += 2) sum += uint32_t(data[i]) << 8 | data[i + 1];
    if (i < len) sum += uint32_t(data[i]) << 8;
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return uint16_t(~sum & 0xFFFF);
}

uint32_t adler32(const uint8_t* data, size_t len) {
    constexpr uint32_t MOD = 65521;
    constexpr size_t CHUNK = 3854;
    uint32_t a = 1, b = 0;
    while (len > 0) {
        size_t n = len < CHUNK ? len : CHUNK;
        len -= n;
        for (; n >= 16; n -= 16)
            for (int k = 0; k < 16; k++) {
                a += *data++;
                b += a;
            }
        for (; n > 0; n--) {
            a += *data++;
            b += a;
        }
        a %= MOD;
        b %= MOD;
    }
    return b << 16 | a;
}

std::vector<uint8_t> crypto_hash(const uint8_t* data, size_t len, int id) {
    return digest_of(id, {{data, len}});
}

std::optional<std::vector<uint8_t>> keyed_hash(const uint8_t* data, size_t len, const uint8_t* key,
                                               size_t key_len, std::string_view method) {
    int id = method_id(method);
    if (digest_size(id) == 0) {
        print::print_line({print::text("The selected algorithm doesn't support HMAC calculation")});
        return std::nullopt;
    }
    const size_t block = (id == SHA384 || id == SHA512) ? 128 : 64;
    std::vector<uint8_t> hashed_key;
    if (key_len > block) {
        hashed_key = crypto_hash(key, key_len, id);
        key = hashed_key.data();
        key_len = hashed_key.size();
    }
    std::array<uint8_t, 128> ipad{}, opad{};
    for (size_t i = 0; i < block; i++) {
        uint8_t k = i < key_len ? key[i] : 0;
        ipad[i] = k ^ 0x36;
        opad[i] = k ^ 0x5C;
    }
    std::vector<uint8_t> inner = digest_of(id, {{ipad.data(), block}, {data, len}});
    return digest_of(id, {{opad.data(), block}, {inner.data(), inner.size()}});
}

void hash_stub() { print::print_line({print::text("** /hash support not yet implemented; algorithm TBD.")}); }

}  // namespace kro::checksum
