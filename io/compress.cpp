#include "io/compress.hpp"

#include <cstring>
#include <memory>

#include "foundation/fire.hpp"
#include "io/checksum.hpp"

namespace kro::compress {

using namespace kro::deflate;

namespace {

constexpr size_t ZLIB_OVERHEAD = 6;   // 2-byte header, 4-byte Adler-32
constexpr size_t GZIP_OVERHEAD = 18;  // 10-byte header, CRC-32 and size
constexpr size_t GZIP_HEADER = 10;

void put_be32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}
void put_le32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}
uint32_t get_be32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint32_t get_le32(const uint8_t* p) { return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]; }

bool same_name(std::string_view a, const char* b) {
    if (a.size() != std::strlen(b)) return false;
    for (size_t i = 0; i < a.size(); i++) {
        char c = a[i];
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
        if (c != b[i]) return false;
    }
    return true;
}

// The body of a frame: deflate into out + head, leaving tail bytes behind it.
int framed_deflate(uint8_t* out, size_t& size, const uint8_t* in, size_t in_len, size_t head, size_t overhead) {
    size_t body = size - overhead;
    int r = deflate::deflate(out + head, body, in, in_len);
    size = body + overhead;
    return r;
}

}  // namespace

int zlib_encode(uint8_t* out, size_t& size, const uint8_t* in, size_t in_len) {
    if (size < ZLIB_OVERHEAD) {
        size = in_len + ZLIB_OVERHEAD;
        return BAD_DATA;
    }
    out[0] = 0x78;
    out[1] = 0x01;
    int r = framed_deflate(out, size, in, in_len, 2, ZLIB_OVERHEAD);
    if (r != OK) return r;
    put_be32(out + size - 4, checksum::adler32(in, in_len));
    return OK;
}

int zlib_decode(uint8_t* out, size_t& size, const uint8_t* in, size_t in_len) {
    // Shorter than header and trailer: nothing to read them from.
    if (in_len < ZLIB_OVERHEAD) return BAD_DATA;
    uint32_t cmf = in[0], flg = in[1];
    if ((cmf * 256 + flg) % 31 != 0 || (cmf & 0x0F) != 8 || (cmf & 0x80) || (flg & 0x20)) return BAD_DATA;
    int r = inflate(out, size, in + 2, in_len - ZLIB_OVERHEAD);
    if (r != OK) return r;
    if (checksum::adler32(out, size) != get_be32(in + in_len - 4)) return BAD_DATA;
    return OK;
}

int gzip_encode(uint8_t* out, size_t& size, const uint8_t* in, size_t in_len) {
    // Input that is already gzip data is compressed like any other: handing it
    // back unchanged would make decompression answer something else than it.
    if (size < GZIP_OVERHEAD) {
        size = in_len + GZIP_OVERHEAD;
        return BAD_DATA;
    }
    static constexpr uint8_t HEADER[GZIP_HEADER] = {0x1F, 0x8B, 0x08, 0, 0, 0, 0, 0, 0x04, 0x04};
    std::memcpy(out, HEADER, GZIP_HEADER);
    int r = framed_deflate(out, size, in, in_len, GZIP_HEADER, GZIP_OVERHEAD);
    if (r != OK) return r;
    put_le32(out + size - 8, checksum::crc32(in, in_len));
    put_le32(out + size - 4, uint32_t(in_len));
    return OK;
}

int gzip_decode(uint8_t* out, size_t& size, const uint8_t* in, size_t in_len) {
    enum { FTEXT = 1, FHCRC = 2, FEXTRA = 4, FNAME = 8, FCOMMENT = 16 };
    if (in_len < GZIP_OVERHEAD) return BAD_DATA;
    if (in[0] != 0x1F || in[1] != 0x8B || in[2] != 8 || in[3] >= 32) return BAD_DATA;
    const uint8_t flags = in[3];
    const size_t end = in_len - 8;  // the trailer starts here; the header must end before it
    size_t pos = GZIP_HEADER;
    if (pos > end) return BAD_DATA;
    if (flags & FEXTRA) {
        if (end - pos < 2) return BAD_DATA;
        size_t xlen = size_t(in[pos]) | size_t(in[pos + 1]) << 8;
        pos += 2;
        if (end - pos < xlen) return BAD_DATA;
        pos += xlen;
    }
    for (int f : {FNAME, FCOMMENT}) {
        if (!(flags & f)) continue;
        const void* zero = std::memchr(in + pos, 0, end - pos);
        if (!zero) return BAD_DATA;
        pos = size_t(static_cast<const uint8_t*>(zero) - in) + 1;
    }
    if (flags & FHCRC) {
        if (end - pos < 2) return BAD_DATA;
        uint32_t stored = uint32_t(in[pos]) | uint32_t(in[pos + 1]) << 8;
        if ((checksum::crc32(in, pos) & 0xFFFF) != stored) return BAD_DATA;
        pos += 2;
    }
    const uint32_t crc = get_le32(in + end);
    const uint32_t isize = get_le32(in + end + 4);
    // The stored size is not trusted to size a buffer: the stream is decoded
    // (counting past the capacity) and its real size must agree with it.
    int r = inflate(out, size, in + pos, end - pos);
    if (r > TOO_SMALL) return r;
    if (uint32_t(size) != isize) return BAD_DATA;
    if (r == TOO_SMALL) return r;
    if (checksum::crc32(out, size) != crc) return BAD_DATA;
    return OK;
}

std::optional<Method> method_of(std::string_view name) {
    if (same_name(name, "zlib")) return Method::ZLIB;
    if (same_name(name, "deflate")) return Method::DEFLATE;
    if (same_name(name, "gzip")) return Method::GZIP;
    return std::nullopt;
}

std::vector<uint8_t> encode(Method m, const uint8_t* in, size_t in_len) {
    std::vector<uint8_t> out(deflate_bound(in_len) + GZIP_OVERHEAD);
    size_t size = out.size();
    int r = m == Method::ZLIB      ? zlib_encode(out.data(), size, in, in_len)
            : m == Method::GZIP    ? gzip_encode(out.data(), size, in, in_len)
                                   : deflate::deflate(out.data(), size, in, in_len);
    // The buffer holds the worst case, so the encoders cannot run short.
    if (r != OK) fire("internal", "limit-hit");
    out.resize(size);
    return out;
}

int decode(Method m, const uint8_t* in, size_t in_len, std::vector<uint8_t>& out, size_t limit, size_t size_hint) {
    // the room is left uninitialised: a generous hint costs only the pages
    // the output fills, not a clearing of all of it
    std::unique_ptr<uint8_t[]> room;
    auto run = [&](size_t& size) {
        return m == Method::ZLIB   ? zlib_decode(room.get(), size, in, in_len)
               : m == Method::GZIP ? gzip_decode(room.get(), size, in, in_len)
                                   : inflate(room.get(), size, in, in_len);
    };
    size_t cap = size_hint ? size_hint : (in_len < (size_t(1) << 20) ? in_len * 4 + 64 : in_len * 2);
    if (cap > limit) cap = limit;
    room.reset(new uint8_t[cap ? cap : 1]);
    size_t size = cap;
    int r = run(size);
    if (r == TOO_SMALL && size <= limit) {
        room.reset(new uint8_t[size ? size : 1]);
        r = run(size);
    }
    out.clear();
    if (r != OK) return r;
    out.assign(room.get(), room.get() + size);
    return OK;
}

}  // namespace kro::compress
