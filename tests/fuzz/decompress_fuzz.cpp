// libFuzzer target over the decoders behind `decompress`: the first byte picks
// the framing (raw DEFLATE, zlib, gzip) and how the output is sized (the
// growing decoder with a small limit and a hint, or one call into a fixed
// buffer of 0 to 255 bytes that must count what does not fit); the rest is the
// data. Bad data is expected; crashes, sanitizer reports, hangs, a size that
// disagrees between the two ways, and a failed round trip of the input through
// our own encoder are not. zlib is the second opinion: whatever it decodes
// whole, we decode to the same bytes, and a raw stream we accept it accepts too
// (the framings' trailers we read from the input's end, so there only the
// first way holds).
#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <vector>

#include "io/compress.hpp"
#include "io/deflate.hpp"

using namespace kro;

namespace {

int decode_into(compress::Method m, uint8_t* out, size_t& size, const uint8_t* in, size_t n) {
    switch (m) {
        case compress::Method::ZLIB: return compress::zlib_decode(out, size, in, n);
        case compress::Method::GZIP: return compress::gzip_decode(out, size, in, n);
        default: return deflate::inflate(out, size, in, n);
    }
}

void check(bool ok) {
    if (!ok) std::abort();
}

// zlib's reading of the same bytes, at most limit of them: true when the stream
// ends within the limit, with every input byte used when whole is set.
bool zlib_reads(compress::Method m, const uint8_t* in, size_t n, size_t limit, bool whole, std::vector<uint8_t>& out) {
    z_stream z{};
    int bits = m == compress::Method::DEFLATE ? -15 : m == compress::Method::ZLIB ? 15 : 31;
    if (inflateInit2(&z, bits) != Z_OK) std::abort();
    out.clear();
    z.next_in = const_cast<Bytef*>(in);
    z.avail_in = uInt(n);
    int r = Z_OK;
    while (r == Z_OK && out.size() <= limit) {
        uint8_t chunk[16384];
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        r = inflate(&z, Z_NO_FLUSH);
        out.insert(out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
    }
    bool ok = r == Z_STREAM_END && out.size() <= limit && (!whole || z.avail_in == 0);
    inflateEnd(&z);
    return ok;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    uint8_t mode = data[0], room = data[1];
    const uint8_t* in = data + 2;
    size_t n = size - 2;
    compress::Method m = mode % 3 == 0 ? compress::Method::DEFLATE
                         : mode % 3 == 1 ? compress::Method::ZLIB
                                         : compress::Method::GZIP;

    // The growing decoder, bounded well below what a stream could claim.
    std::vector<uint8_t> grown;
    constexpr size_t LIMIT = size_t(1) << 20;
    int r = compress::decode(m, in, n, grown, LIMIT, (mode & 8) ? room : 0);
    check(grown.size() <= LIMIT);

    // One call into a fixed buffer: what does not fit is counted, never stored.
    std::vector<uint8_t> fixed(room);
    size_t got = fixed.size();
    int f = decode_into(m, fixed.data(), got, in, n);
    if (f == deflate::OK) {
        check(r == deflate::OK && got == grown.size());
        check(std::equal(fixed.begin(), fixed.begin() + long(got), grown.begin()));
    } else if (f == deflate::TOO_SMALL) {
        // the size it asks for is the size the growing decoder found (whose
        // check of the trailer may still refuse the data)
        check(got > fixed.size());
        if (got <= LIMIT) check(r != deflate::TOO_SMALL);
        if (r == deflate::OK) check(got == grown.size());
    } else {
        // bad data is bad whatever the room
        check(r > deflate::TOO_SMALL);
    }

    // What zlib decodes whole we decode alike; a raw stream we take, zlib takes.
    std::vector<uint8_t> theirs;
    if (zlib_reads(m, in, n, LIMIT, true, theirs)) check(r == deflate::OK && grown == theirs);
    if (r == deflate::OK && m == compress::Method::DEFLATE)
        check(zlib_reads(m, in, n, LIMIT, false, theirs) && grown == theirs);

    // Our own encoder's output always decodes back to its input.
    if (mode & 16) {
        std::vector<uint8_t> packed = compress::encode(m, in, n);
        std::vector<uint8_t> back;
        check(compress::decode(m, packed.data(), packed.size(), back, n + 1) == deflate::OK);
        check(back.size() == n && std::equal(back.begin(), back.end(), in));
    }
    return 0;
}
