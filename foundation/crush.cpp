#include "foundation/crush.hpp"

#include <algorithm>
#include <cstring>

namespace kro::crush {

namespace {

constexpr size_t HEADER = 8;

uint32_t get_le32(const uint8_t* p) { return uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0]; }
void put_le32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v);
    p[1] = uint8_t(v >> 8);
    p[2] = uint8_t(v >> 16);
    p[3] = uint8_t(v >> 24);
}

// Reads bits least significant first, loading a byte only when a bit of it is
// needed, so that after a block the next byte is the next block's length.
struct BitReader {
    const uint8_t* in;
    size_t end;
    size_t pos;
    uint32_t acc = 0;
    int bits = 0;
    bool failed = false;

    uint32_t get(int n) {
        while (bits < n) {
            if (pos >= end) {
                failed = true;
                return 0;
            }
            acc |= uint32_t(in[pos++]) << bits;
            bits += 8;
        }
        uint32_t v = n == 32 ? acc : acc & ((1u << n) - 1);
        acc = n == 32 ? 0 : acc >> n;
        bits -= n;
        return v;
    }
    void reset() {
        acc = 0;
        bits = 0;
    }
};

// m = length - 3, coded as a unary prefix choosing the range, then the offset.
uint32_t read_length(BitReader& br) {
    static constexpr int WIDTH[6] = {2, 2, 2, 3, 5, 9};
    static constexpr uint32_t BASE[6] = {0, 4, 8, 12, 20, 52};
    int k = 0;
    while (k < 5 && br.get(1) == 0) k++;
    return BASE[k] + br.get(WIDTH[k]) + MIN_MATCH;
}

uint32_t read_distance(BitReader& br) {
    uint32_t k = br.get(4) + 2;
    uint32_t d = k == 2 ? br.get(3) : br.get(int(k)) + (1u << k);
    return d + 1;
}

bool unpack_block(BitReader& br, uint8_t* out, uint32_t len) {
    uint32_t n = 0;
    br.reset();
    while (n < len) {
        if (br.get(1) == 0) {
            uint32_t b = br.get(8);
            if (br.failed) return false;
            out[n++] = uint8_t(b);
            continue;
        }
        uint32_t mlen = read_length(br);
        uint32_t dist = read_distance(br);
        if (br.failed || dist > n || mlen > len - n) return false;
        // Byte by byte: a match may overlap the bytes it produces.
        for (uint32_t i = 0; i < mlen; i++, n++) out[n] = out[n - dist];
    }
    return true;
}

struct BitWriter {
    uint8_t* out;
    size_t cap;
    size_t count = 0;
    uint32_t acc = 0;
    int bits = 0;
    bool failed = false;

    uint8_t* reserve(size_t n) {
        if (failed || cap - count < n) {
            failed = true;
            return nullptr;
        }
        uint8_t* p = out + count;
        count += n;
        return p;
    }
    // n is at most 24 bits.
    void put(int n, uint32_t value) {
        acc |= value << bits;
        bits += n;
        while (bits >= 8) {
            if (uint8_t* p = reserve(1)) *p = uint8_t(acc);
            acc >>= 8;
            bits -= 8;
        }
    }
    // Seven zero bits push out a partial byte; whatever is left over is padding.
    void end_block() {
        put(7, 0);
        acc = 0;
        bits = 0;
    }
};

void put_length(BitWriter& w, uint32_t len) {
    uint32_t m = len - MIN_MATCH;
    if (m < 4) w.put(1, 1), w.put(2, m);
    else if (m < 8) w.put(2, 2), w.put(2, m - 4);
    else if (m < 12) w.put(3, 4), w.put(2, m - 8);
    else if (m < 20) w.put(4, 8), w.put(3, m - 12);
    else if (m < 52) w.put(5, 16), w.put(5, m - 20);
    else w.put(5, 0), w.put(9, m - 52);
}

void put_distance(BitWriter& w, uint32_t dist) {
    uint32_t d = dist - 1;
    if (d < 8) {
        w.put(4, 0);
        w.put(3, d);
        return;
    }
    int k = 31 - __builtin_clz(d);
    w.put(4, uint32_t(k - 2));
    w.put(k, d - (1u << k));
}

constexpr uint32_t HASH3_SIZE = 0x80000;    // 19-bit hash of the next 3 bytes
constexpr uint32_t HASH4_SIZE = 0x100000;   // 20-bit hash of the next 4 bytes
constexpr int CHAIN_LIMIT = 256;

uint32_t hash3(const uint8_t* p) { return ((uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16) * 2654435761u) >> 13; }
uint32_t hash4(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return (v * 2654435761u) >> 12;
}

struct Packer {
    std::vector<int32_t> head;   // HASH3_SIZE entries, then HASH4_SIZE entries
    std::vector<int32_t> chain;  // WINDOW entries: the previous position with the same 4-byte hash
    const uint8_t* blk = nullptr;
    uint32_t len = 0;

    Packer() : head(HASH3_SIZE + HASH4_SIZE), chain(WINDOW) {}

    void start(const uint8_t* b, uint32_t n) {
        blk = b;
        len = n;
        std::fill(head.begin(), head.end(), -1);
        std::fill(chain.begin(), chain.end(), -1);
    }

    void insert(uint32_t q) {
        if (q + 3 <= len) head[hash3(blk + q)] = int32_t(q);
        if (q + 4 <= len) {
            int32_t& h4 = head[HASH3_SIZE + hash4(blk + q)];
            chain[q % WINDOW] = h4;
            h4 = int32_t(q);
        }
    }

    uint32_t match_length(uint32_t c, uint32_t p, uint32_t most) const {
        uint32_t n = 0;
        while (n < most && blk[c + n] == blk[p + n]) n++;
        return n;
    }

    // The match to code at p: length 0 when a literal is better.
    void find(uint32_t p, uint32_t& best_len, uint32_t& best_dist) const {
        best_len = 0;
        best_dist = 0;
        uint32_t most = len - p < MAX_MATCH ? len - p : MAX_MATCH;
        if (most < MIN_MATCH) return;
        // A farther match must be longer by one for each 3-bit step of its
        // distance (over 16) beyond the best one's, as its code costs that much more.
        auto consider = [&](uint32_t c) {
            uint32_t d = p - c;
            uint32_t n = match_length(c, p, most);
            if (n < MIN_MATCH) return;
            uint32_t penalty = 0;
            if (best_len) {
                for (uint32_t x = d / 16; x > best_dist; x >>= 3) penalty++;
            }
            if (n > best_len + penalty) {
                best_len = n;
                best_dist = d;
            }
        };
        int32_t c3 = head[hash3(blk + p)];
        if (c3 >= 0 && p - uint32_t(c3) <= WINDOW) consider(uint32_t(c3));
        if (most >= 4 && best_len < most) {
            int32_t c = head[HASH3_SIZE + hash4(blk + p)];
            for (int i = 0; i < CHAIN_LIMIT && c >= 0 && p - uint32_t(c) <= WINDOW; i++) {
                consider(uint32_t(c));
                if (best_len >= most) break;
                int32_t next = chain[uint32_t(c) % WINDOW];
                if (next >= c) break;
                c = next;
            }
        }
        if (best_len == MIN_MATCH && best_dist > 65536) best_len = 0;
    }
};

}  // namespace

bool unpack(const uint8_t* in, size_t in_len, std::vector<uint8_t>& out) {
    out.clear();
    if (in_len < HEADER) return false;
    const size_t packed = get_le32(in);
    const size_t total = get_le32(in + 4);
    // The header's sizes come from outside: the packed size must lie within the
    // input, and memory grows with what the blocks really produce, not with U.
    if (packed > in_len - HEADER) return false;
    const size_t end = HEADER + packed;
    BitReader br{in, end, HEADER};
    while (br.pos < end) {
        if (end - br.pos < 4) return out.clear(), false;
        uint32_t len = get_le32(in + br.pos);
        br.pos += 4;
        if (len < 1 || len > BLOCK_MAX || len > total - out.size()) return out.clear(), false;
        size_t at = out.size();
        out.resize(at + len);
        if (!unpack_block(br, out.data() + at, len)) return out.clear(), false;
    }
    return true;
}

int64_t pack(const uint8_t* src, size_t len, uint8_t* dst) {
    if (len < MIN_PACK || len > 0xFFFFFFFFu) return -1;
    BitWriter w{dst + HEADER, len - HEADER};
    Packer pk;
    for (size_t off = 0; off < len; off += BLOCK_MAX) {
        uint32_t n = uint32_t(len - off < BLOCK_MAX ? len - off : BLOCK_MAX);
        uint8_t* lp = w.reserve(4);
        if (!lp) return -1;
        put_le32(lp, n);
        pk.start(src + off, n);
        uint32_t p = 0;
        while (p < n) {
            uint32_t mlen, dist;
            pk.find(p, mlen, dist);
            if (mlen == 0) {
                w.put(1, 0);
                w.put(8, src[off + p]);
                mlen = 1;
            } else {
                w.put(1, 1);
                put_length(w, mlen);
                put_distance(w, dist);
            }
            for (uint32_t q = p; q < p + mlen; q++) pk.insert(q);
            p += mlen;
            if (w.failed) return -1;
        }
        w.end_block();
        if (w.failed) return -1;
    }
    put_le32(dst, uint32_t(w.count));
    put_le32(dst + 4, uint32_t(len));
    return int64_t(w.count + HEADER);
}

}  // namespace kro::crush
