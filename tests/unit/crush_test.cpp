// The crush codec: hand-made streams for each code and fault, pack/unpack
// round trips across block and window sizes, and damaged streams.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "foundation/crush.hpp"

using namespace kro;

namespace {

using Bytes = std::vector<uint8_t>;

struct Rng {
    uint64_t s;
    uint32_t next() {
        s ^= s << 13;
        s ^= s >> 7;
        s ^= s << 17;
        return uint32_t(s >> 11);
    }
    uint32_t below(uint32_t n) { return next() % n; }
};

// Writes a crush stream by hand: fields least significant bit first.
struct Stream {
    Bytes out = Bytes(8, 0);
    uint32_t acc = 0;
    int n = 0;
    uint32_t total = 0;

    void put(uint32_t v, int k) {
        for (int i = 0; i < k; i++) {
            acc |= ((v >> i) & 1) << n;
            if (++n == 8) byte_out();
        }
    }
    void byte_out() {
        out.push_back(uint8_t(acc));
        acc = 0;
        n = 0;
    }
    void u32(uint32_t v) {
        for (int i = 0; i < 4; i++) out.push_back(uint8_t(v >> (8 * i)));
    }
    void block(uint32_t len) {
        u32(len);
        total += len;
    }
    void end_block() {
        if (n) byte_out();
    }
    void literal(uint8_t b) {
        put(0, 1);
        put(b, 8);
    }
    void match(uint32_t len, uint32_t dist) {
        put(1, 1);
        uint32_t m = len - 3;
        if (m < 4) put(1, 1), put(m, 2);
        else if (m < 8) put(2, 2), put(m - 4, 2);
        else if (m < 12) put(4, 3), put(m - 8, 2);
        else if (m < 20) put(8, 4), put(m - 12, 3);
        else if (m < 52) put(16, 5), put(m - 20, 5);
        else put(0, 5), put(m - 52, 9);
        uint32_t d = dist - 1;
        if (d < 8) {
            put(0, 4);
            put(d, 3);
        } else {
            int k = 31 - __builtin_clz(d);
            put(uint32_t(k - 2), 4);
            put(d - (1u << k), k);
        }
    }
    Bytes done() {
        end_block();
        uint32_t p = uint32_t(out.size() - 8);
        std::memcpy(out.data(), &p, 4);
        std::memcpy(out.data() + 4, &total, 4);
        return out;
    }
};

Bytes random_bytes(size_t n, uint64_t seed) {
    Rng r{seed};
    Bytes v(n);
    for (auto& b : v) b = uint8_t(r.next());
    return v;
}

bool unpack(const Bytes& in, Bytes& out) { return crush::unpack(in.data(), in.size(), out); }

Bytes pack(const Bytes& in) {
    Bytes dst(in.size());
    int64_t n = crush::pack(in.data(), in.size(), dst.data());
    if (n < 0) return {};
    dst.resize(size_t(n));
    return dst;
}

uint32_t le32(const Bytes& b, size_t at) {
    uint32_t v;
    std::memcpy(&v, b.data() + at, 4);
    return v;
}

}  // namespace

TEST(Crush, DecodesHandMadeStreams) {
    // Literals only: nine bits each.
    Stream s;
    s.block(3);
    for (char c : {'k', 'r', 'o'}) s.literal(uint8_t(c));
    Bytes lit = s.done();
    EXPECT_EQ(lit.size(), 8u + 4u + 4u);  // 27 bits round up to 4 bytes
    Bytes out;
    ASSERT_TRUE(unpack(lit, out));
    EXPECT_EQ(out, (Bytes{'k', 'r', 'o'}));

    // One literal and a 566-byte match at distance 1: 567 equal bytes.
    Stream r;
    r.block(567);
    r.literal('z');
    r.match(566, 1);
    ASSERT_TRUE(unpack(r.done(), out));
    EXPECT_EQ(out, Bytes(567, 'z'));

    // Every length range and distance width, across two blocks.
    Stream m;
    Bytes want;
    uint32_t block_len = 0;
    struct Piece {
        uint32_t len, dist;
    } pieces[] = {{3, 1}, {6, 8}, {10, 9}, {14, 16}, {19, 17}, {22, 1000}, {51, 4096}, {52, 65536}, {300, 65537},
                  {563, 200000}, {566, 262144}};
    Bytes block = random_bytes(262144, 5);
    for (const Piece& p : pieces) block_len += p.len;
    m.block(uint32_t(block.size()) + block_len);
    for (uint8_t b : block) m.literal(b);
    want = block;
    for (const Piece& p : pieces) {
        m.match(p.len, p.dist);
        for (uint32_t i = 0; i < p.len; i++) want.push_back(want[want.size() - p.dist]);
    }
    m.end_block();
    m.block(2);
    m.literal(1);
    m.literal(2);
    want.push_back(1);
    want.push_back(2);
    ASSERT_TRUE(unpack(m.done(), out));
    EXPECT_EQ(out, want);
}

TEST(Crush, RejectsMalformedStreams) {
    auto one_block = [](uint32_t len, auto body) {
        Stream s;
        s.block(len);
        body(s);
        return s.done();
    };
    auto with_header = [](Bytes b, uint32_t p, uint32_t u) {
        std::memcpy(b.data(), &p, 4);
        std::memcpy(b.data() + 4, &u, 4);
        return b;
    };
    Bytes good = one_block(2, [](Stream& s) { s.literal(1), s.literal(2); });
    // A match that reaches before its block fails even when earlier blocks exist.
    Stream two;
    two.block(4);
    for (uint8_t b : {1, 2, 3, 4}) two.literal(b);
    two.end_block();
    two.block(3);
    two.match(3, 1);
    struct Case {
        const char* name;
        Bytes in;
    } cases[] = {
        {"shorter than the header", Bytes(7, 0)},
        {"block length 0", one_block(0, [](Stream&) {})},
        {"block length above 1 MB", one_block(0x100001, [](Stream& s) { s.literal(0); })},
        {"match before the block start", one_block(4, [](Stream& s) { s.literal(7), s.match(3, 2); })},
        {"match past the block end", one_block(4, [](Stream& s) { s.literal(7), s.match(4, 1); })},
        {"match into the previous block", two.done()},
        {"bits run out", one_block(3, [](Stream& s) { s.literal(1), s.literal(2); })},
        {"packed size past the input", with_header(good, uint32_t(good.size()), 2)},
        {"packed size cuts the block length", with_header(good, 2, 2)},
        {"more bytes than the header's total", with_header(good, uint32_t(good.size() - 8), 1)},
    };
    for (const Case& c : cases) {
        Bytes out{9, 9};
        EXPECT_FALSE(unpack(c.in, out)) << c.name;
        EXPECT_TRUE(out.empty()) << c.name;
    }
    Bytes out;
    ASSERT_TRUE(unpack(good, out));
    EXPECT_EQ(out, (Bytes{1, 2}));
    // A huge total from a tiny stream is not allocated up front; only what the
    // blocks produce is.
    ASSERT_TRUE(unpack(with_header(good, uint32_t(good.size() - 8), 0xFFFFFFFFu), out));
    EXPECT_EQ(out, (Bytes{1, 2}));
}

TEST(Crush, PackRoundTrips) {
    Bytes text;
    const char* words[] = {"alpha ", "beta ", "gamma ", "delta ", "series ", "node ", "\n"};
    Rng r{77};
    while (text.size() < 200000) {
        const char* w = words[r.below(7)];
        text.insert(text.end(), w, w + std::strlen(w));
    }
    // Repeats at distances beyond 65,536 and near the window's edge.
    Bytes far = random_bytes(100000, 8);
    Bytes far_all = far;
    Bytes between = random_bytes(150000, 9);
    far_all.insert(far_all.end(), between.begin(), between.end());
    far_all.insert(far_all.end(), far.begin(), far.end());
    // Several blocks: matches must stay inside their own block.
    Bytes big;
    while (big.size() < 2600000) big.insert(big.end(), text.begin(), text.begin() + 70000 + long(big.size() % 1000));
    Bytes runs(128, 'a');
    std::vector<Bytes> inputs = {runs, Bytes(5000, 0), text, far_all, big};
    for (const Bytes& in : inputs) {
        Bytes packed = pack(in);
        ASSERT_FALSE(packed.empty()) << in.size();
        EXPECT_EQ(le32(packed, 0), packed.size() - 8);
        EXPECT_EQ(le32(packed, 4), in.size());
        EXPECT_LT(packed.size(), in.size());
        Bytes out;
        ASSERT_TRUE(unpack(packed, out)) << in.size();
        EXPECT_EQ(out, in) << in.size();
    }
    // The 250,000 random bytes cost 9 bits each; their repeat at 250,000 bytes
    // back costs almost nothing (as literals it would add 112,500 bytes).
    EXPECT_LT(pack(far_all).size(), 250000u * 9 / 8 + 2000);
}

TEST(Crush, PackRefusesWhatItCannotShrink) {
    Bytes small(127, 'a');
    Bytes dst(small.size());
    EXPECT_EQ(crush::pack(small.data(), small.size(), dst.data()), -1);
    Bytes noise = random_bytes(10000, 3);
    Bytes room(noise.size());
    EXPECT_EQ(crush::pack(noise.data(), noise.size(), room.data()), -1);
}

// Damaged packed streams and random bytes: unpack answers false or some bytes,
// never more than the header's total, and never crashes.
TEST(Crush, FuzzedStreamsAreSafe) {
    Bytes text;
    Rng r{4242};
    for (int i = 0; i < 3000; i++) text.push_back(uint8_t('a' + r.below(3)));
    Bytes seed = pack(text);
    ASSERT_FALSE(seed.empty());
    int ok = 0;
    for (int iter = 0; iter < 20000; iter++) {
        Bytes in;
        if (iter % 4 == 0) {
            in = random_bytes(r.below(64), r.next() | 1);
            if (in.size() >= 8) {
                uint32_t p = uint32_t(in.size() - 8);
                std::memcpy(in.data(), &p, 4);
            }
        } else {
            in = seed;
            int edits = 1 + int(r.below(3));
            for (int e = 0; e < edits; e++) {
                size_t at = r.below(uint32_t(in.size()));
                switch (r.below(3)) {
                    case 0: in[at] ^= uint8_t(1 << r.below(8)); break;
                    case 1: in[at] = uint8_t(r.next()); break;
                    default: in.resize(std::max<size_t>(at, 1)); break;
                }
            }
        }
        Bytes out;
        if (unpack(in, out)) {
            ok++;
            ASSERT_GE(in.size(), 8u);
            ASSERT_LE(out.size(), le32(in, 4));
        } else {
            ASSERT_TRUE(out.empty());
        }
    }
    EXPECT_GT(ok, 0);
}
