#include "io/deflate.hpp"

#include <cstring>

namespace kro::deflate {

namespace {

// RFC 1951 length symbols 257..285 and distance symbols 0..29.
constexpr uint16_t LEN_BASE[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                   31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr uint8_t LEN_EXTRA[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                   2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr uint16_t DIST_BASE[30] = {1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
                                    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr uint8_t DIST_EXTRA[30] = {0, 0, 0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6,
                                    6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

constexpr int MAX_BITS = 15;

uint32_t reverse_bits(uint32_t code, int len) {
    uint32_t r = 0;
    for (int i = 0; i < len; i++) {
        r = (r << 1) | (code & 1);
        code >>= 1;
    }
    return r;
}

// ---- compressor -------------------------------------------------------------

struct BitWriter {
    uint8_t* out;
    size_t cap;
    size_t count = 0;
    uint32_t acc = 0;
    int bits = 0;

    void emit(uint8_t b) {
        if (count < cap) out[count] = b;
        count++;
    }
    // Bits enter least significant first; n is at most 24.
    void put(uint32_t value, int n) {
        acc |= value << bits;
        bits += n;
        while (bits > 7) {
            emit(uint8_t(acc));
            acc >>= 8;
            bits -= 8;
        }
    }
    // Huffman codes go most significant bit first.
    void put_code(uint32_t code, int len) { put(reverse_bits(code, len), len); }
    void flush() {
        if (bits > 0) emit(uint8_t(acc));
        acc = 0;
        bits = 0;
    }
};

void put_fixed_literal(BitWriter& w, uint32_t sym) {
    if (sym < 144) w.put_code(0x30 + sym, 8);
    else if (sym < 256) w.put_code(0x190 + (sym - 144), 9);
    else if (sym < 280) w.put_code(sym - 256, 7);
    else w.put_code(0xC0 + (sym - 280), 8);
}

void put_match(BitWriter& w, uint32_t len, uint32_t dist) {
    int ls = 28;
    while (LEN_BASE[ls] > len) ls--;
    put_fixed_literal(w, 257 + ls);
    if (LEN_EXTRA[ls]) w.put(len - LEN_BASE[ls], LEN_EXTRA[ls]);
    int ds = 29;
    while (DIST_BASE[ds] > dist) ds--;
    w.put_code(ds, 5);
    if (DIST_EXTRA[ds]) w.put(dist - DIST_BASE[ds], DIST_EXTRA[ds]);
}

constexpr int BUCKETS = 1024;
constexpr int SLOTS = 4;
constexpr size_t WINDOW = 32768;
constexpr uint32_t MAX_MATCH = 258;

uint32_t hash3(uint32_t b0, uint32_t b1, uint32_t b2) {
    uint32_t x = (b0 << 16 | b1 << 8 | b2) ^ b0;
    x *= 0x7FEB352Du;
    x ^= x >> 15;
    x *= 0x846CA68Bu;
    return (x ^ (x >> 16)) & 0x3FF;
}

// ---- decompressor -----------------------------------------------------------

struct BitReader {
    const uint8_t* in;
    size_t len;
    size_t pos = 0;
    uint64_t acc = 0;
    int bits = 0;

    // Loads bytes until n bits are held or the input ends.
    void fill(int n) {
        while (bits < n && pos < len) {
            acc |= uint64_t(in[pos++]) << bits;
            bits += 8;
        }
    }
    bool get(int n, uint32_t& v) {
        fill(n);
        if (bits < n) return false;
        v = uint32_t(acc & ((uint64_t(1) << n) - 1));
        acc >>= n;
        bits -= n;
        return true;
    }
};

// A canonical Huffman code: counts per length and symbols in code order (the
// classic incremental decode), with a 9-bit lookup table in front of it.
constexpr int FAST_BITS = 9;

struct Huffman {
    uint16_t count[MAX_BITS + 1];
    uint16_t symbol[288];
    uint16_t fast[1 << FAST_BITS];  // symbol << 4 | length, 0 when the code is longer

    // Answers the number of unused code points: 0 for a complete code, more for
    // an incomplete one, -1 for an over-subscribed one (no table is usable then).
    int build(const uint8_t* lengths, int n) {
        std::memset(count, 0, sizeof count);
        for (int s = 0; s < n; s++) count[lengths[s]]++;
        count[0] = 0;
        int left = 1;
        for (int len = 1; len <= MAX_BITS; len++) {
            left <<= 1;
            left -= count[len];
            if (left < 0) return -1;
        }
        uint16_t offs[MAX_BITS + 2];
        offs[1] = 0;
        for (int len = 1; len <= MAX_BITS; len++) offs[len + 1] = uint16_t(offs[len] + count[len]);
        for (int s = 0; s < n; s++)
            if (lengths[s]) symbol[offs[lengths[s]]++] = uint16_t(s);
        std::memset(fast, 0, sizeof fast);
        uint32_t code = 0;
        int index = 0;
        for (int len = 1; len <= FAST_BITS; len++) {
            for (int k = 0; k < count[len]; k++, index++, code++) {
                uint32_t r = reverse_bits(code, len);
                for (uint32_t i = r; i < (1u << FAST_BITS); i += 1u << len)
                    fast[i] = uint16_t(symbol[index] << 4 | len);
            }
            code <<= 1;
        }
        return left;
    }

    // The next symbol, or -1 when the bits form no code or the input ends.
    int decode(BitReader& br) const {
        br.fill(MAX_BITS);
        uint16_t e = fast[br.acc & ((1u << FAST_BITS) - 1)];
        if (e && (e & 15) <= br.bits) {
            br.acc >>= (e & 15);
            br.bits -= (e & 15);
            return e >> 4;
        }
        int code = 0, first = 0, index = 0;
        for (int len = 1; len <= MAX_BITS && len <= br.bits; len++) {
            code |= int((br.acc >> (len - 1)) & 1);
            int c = count[len];
            if (code - first < c) {
                br.acc >>= len;
                br.bits -= len;
                return symbol[index + code - first];
            }
            index += c;
            first = (first + c) << 1;
            code <<= 1;
        }
        return -1;
    }
};

// A code set may be incomplete only when it is a single code of one bit, which
// RFC 1951 allows and common encoders emit for a lone distance.
bool acceptable(int left, const Huffman& h) {
    return left == 0 || (h.count[1] == 1 && left == (1 << MAX_BITS) - (1 << (MAX_BITS - 1)));
}

struct Inflater {
    BitReader br;
    uint8_t* out;
    size_t cap;
    size_t produced = 0;

    void put(uint8_t b) {
        if (produced < cap) out[produced] = b;
        produced++;
    }

    int stored() {
        // Drop the bits up to the byte boundary; the accumulator then holds whole bytes.
        int skip = br.bits & 7;
        br.acc >>= skip;
        br.bits -= skip;
        uint32_t len, nlen;
        if (!br.get(16, len) || !br.get(16, nlen)) return BAD_DATA;
        if ((len ^ 0xFFFF) != nlen) return BAD_DATA;
        size_t have = size_t(br.bits / 8) + (br.len - br.pos);
        if (have < len) return STORED_TOO_LONG;
        for (; len > 0 && br.bits >= 8; len--) {
            put(uint8_t(br.acc));
            br.acc >>= 8;
            br.bits -= 8;
        }
        if (len > 0) {
            if (produced < cap) {
                size_t n = cap - produced < len ? cap - produced : len;
                std::memcpy(out + produced, br.in + br.pos, n);
            }
            produced += len;
            br.pos += len;
        }
        return OK;
    }

    int codes(const Huffman& lit, const Huffman& dist) {
        for (;;) {
            int sym = lit.decode(br);
            if (sym < 0) return BAD_DATA;
            if (sym < 256) {
                put(uint8_t(sym));
                continue;
            }
            if (sym == 256) return OK;
            sym -= 257;
            if (sym >= 29) return BAD_DATA;
            uint32_t extra = 0;
            if (!br.get(LEN_EXTRA[sym], extra)) return BAD_DATA;
            size_t len = LEN_BASE[sym] + extra;
            int ds = dist.decode(br);
            if (ds < 0 || ds >= 30) return BAD_DATA;
            if (!br.get(DIST_EXTRA[ds], extra)) return BAD_DATA;
            size_t d = DIST_BASE[ds] + extra;
            if (d > produced) return BAD_DISTANCE;
            if (produced >= cap) {
                // Past the capacity only the size is wanted: count, copy nothing.
                produced += len;
                continue;
            }
            for (size_t i = 0; i < len; i++) put(produced < cap ? out[produced - d] : 0);
        }
    }

    int fixed() {
        struct Codes {
            Huffman lit, dist;
            Codes() {
                uint8_t l[288];
                for (int s = 0; s < 288; s++) l[s] = s < 144 ? 8 : s < 256 ? 9 : s < 280 ? 7 : 8;
                lit.build(l, 288);
                // 30 five-bit codes leave two points unused: symbols 30 and 31 are invalid.
                uint8_t d[30];
                std::memset(d, 5, sizeof d);
                dist.build(d, 30);
            }
        };
        static const Codes fixed_codes;
        return codes(fixed_codes.lit, fixed_codes.dist);
    }

    int dynamic() {
        static constexpr uint8_t ORDER[19] = {16, 17, 18, 0, 8, 7, 9, 6, 10, 5, 11, 4, 12, 3, 13, 2, 14, 1, 15};
        uint32_t hlit, hdist, hclen;
        if (!br.get(5, hlit) || !br.get(5, hdist) || !br.get(4, hclen)) return BAD_DATA;
        int nlen = int(hlit) + 257, ndist = int(hdist) + 1, ncode = int(hclen) + 4;
        if (nlen > 286 || ndist > 30) return BAD_DATA;
        uint8_t lengths[286 + 30] = {};
        for (int i = 0; i < ncode; i++) {
            uint32_t v;
            if (!br.get(3, v)) return BAD_DATA;
            lengths[ORDER[i]] = uint8_t(v);
        }
        Huffman lencode;
        if (lencode.build(lengths, 19) != 0) return BAD_DATA;
        std::memset(lengths, 0, sizeof lengths);
        int i = 0;
        while (i < nlen + ndist) {
            int sym = lencode.decode(br);
            if (sym < 0) return BAD_DATA;
            if (sym < 16) {
                lengths[i++] = uint8_t(sym);
                continue;
            }
            uint8_t value = 0;
            uint32_t rep;
            if (sym == 16) {
                if (i == 0) return BAD_DATA;
                value = lengths[i - 1];
                if (!br.get(2, rep)) return BAD_DATA;
                rep += 3;
            } else if (sym == 17) {
                if (!br.get(3, rep)) return BAD_DATA;
                rep += 3;
            } else {
                if (!br.get(7, rep)) return BAD_DATA;
                rep += 11;
            }
            if (i + int(rep) > nlen + ndist) return BAD_DATA;
            while (rep--) lengths[i++] = value;
        }
        if (lengths[256] == 0) return BAD_DATA;  // no end-of-block code
        Huffman lit, dist;
        int left = lit.build(lengths, nlen);
        if (left < 0 || !acceptable(left, lit)) return BAD_DATA;
        left = dist.build(lengths + nlen, ndist);
        // No distance codes at all is a block of literals only: any match then fails.
        bool none = true;
        for (int k = 0; k < ndist; k++) none = none && lengths[nlen + k] == 0;
        if (left < 0 || (!none && !acceptable(left, dist))) return BAD_DATA;
        return codes(lit, dist);
    }

    int run() {
        for (;;) {
            uint32_t final, type;
            // A stream that ends before its final block is cut short: bad data.
            if (!br.get(1, final) || !br.get(2, type)) return BAD_DATA;
            int r;
            switch (type) {
                case 0: r = stored(); break;
                case 1: r = fixed(); break;
                case 2: r = dynamic(); break;
                default: return BAD_BLOCK_TYPE;
            }
            if (r != OK) return r;
            if (final) return produced > cap ? TOO_SMALL : OK;
        }
    }
};

}  // namespace

size_t deflate_bound(size_t in_len) { return (3 + 9 * in_len + 7 + 7) / 8; }

int deflate(uint8_t* out, size_t& size, const uint8_t* in, size_t n) {
    BitWriter w{out, size};
    w.put(1, 1);  // BFINAL
    w.put(1, 2);  // BTYPE 01: fixed codes
    // Slots hold position + 1, so that 0 means empty and the input start can match.
    uint32_t table[BUCKETS][SLOTS];
    std::memset(table, 0, sizeof table);
    auto at = [&](size_t i) -> uint32_t { return i < n ? in[i] : 0; };
    size_t p = 0;
    while (p < n) {
        uint32_t h = hash3(in[p], at(p + 1), at(p + 2));
        size_t start = p;
        bool matched = false;
        if (p >= 3 && n - p >= 3) {
            for (int s = 0; s < SLOTS && !matched; s++) {
                uint32_t v = table[h][s];
                if (v == 0) continue;
                size_t c = v - 1;
                if (c >= p || p - c >= WINDOW) continue;
                if (in[c] != in[p] || in[c + 1] != in[p + 1] || in[c + 2] != in[p + 2]) continue;
                size_t len = 3;
                while (len < MAX_MATCH && p + len < n && in[c + len] == in[p + len]) len++;
                put_match(w, uint32_t(len), uint32_t(p - c));
                p += len;
                matched = true;
            }
        }
        if (!matched) {
            put_fixed_literal(w, in[p]);
            p++;
        }
        // The slot comes from the bytes after the token; bytes past the end read as 0.
        uint32_t b1 = at(p + 1), b2 = at(p + 2);
        table[h][((b1 >> 6) - b2) & 3] = uint32_t(start + 1);
    }
    put_fixed_literal(w, 256);
    w.flush();
    bool over = w.count > size;
    size = w.count;
    return over ? TOO_SMALL : OK;
}

int inflate(uint8_t* out, size_t& size, const uint8_t* in, size_t in_len) {
    Inflater f{BitReader{in, in_len}, out, size};
    int r = f.run();
    size = f.produced;
    return r;
}

}  // namespace kro::deflate
