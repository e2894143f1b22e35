// The generator's sequences are fixed: a script that seeds it must draw the same
// numbers on every run and every machine. The expected values below come from an
// independent model of the generator (signed words, sign-copying right shifts,
// draws restarting at the first state word after seeding), whose constants and
// indexing were first checked against the standard MT19937 output.
#include <gtest/gtest.h>

#include <errno.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <set>
#include <vector>

#include "foundation/platform/entropy.hpp"
#include "io/random.hpp"

using namespace kro;

namespace {

class Random : public testing::Test {
protected:
    void TearDown() override {
        platform::set_entropy_call(nullptr);
        random::init();
    }
};

std::vector<int32_t> draws(int n) {
    std::vector<int32_t> v;
    for (int i = 0; i < n; i++) v.push_back(random::next());
    return v;
}

TEST_F(Random, SeededSequencesAcrossTwoRegenerations) {
    struct Case {
        uint32_t seed;
        std::vector<int32_t> first, at623, at1247;  // draws 0-3, 623-626, 1247-1248
    };
    const Case cases[] = {
        {19650218, {1573102752, 2054623780, 1026451266, 162962650},
         {779737127, 299300835, 1547650282, 584073194}, {864815447, 141349932}},
        {0, {0, 4194449, 1288460453, 1839137408}, {382253902, 503881347, 1420691967, 1095544862},
         {555893184, 82993632}},
        {1, {4194449, 1284266036, 226251983, 714404583}, {1575299422, 462010977, 662441838, 2134020178},
         {486038229, 210350958}},
        {5489, {46662977, 1228475205, 1486624396, 1058804182}, {994730486, 31526908, 1465395198, 1404365412},
         {1158754290, 403217492}},
        // Negative words take the sign-copying shifts in seeding, twisting and tempering.
        {0xFFFFFFFF, {0, 4194449, 1288460453, 1839137408}, {382253902, 1108309629, 1420691967, 1095544862},
         {19286465, 1492486430}},
        {0x80000000, {403700220, 1535644104, 1464508349, 1657716515},
         {1391119509, 1861257172, 224907078, 857831109}, {2038456665, 1674723890}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.seed);
        random::seed(c.seed);
        std::vector<int32_t> all = draws(1249);
        EXPECT_EQ(std::vector<int32_t>(all.begin(), all.begin() + 4), c.first);
        EXPECT_EQ(std::vector<int32_t>(all.begin() + 623, all.begin() + 627), c.at623);
        EXPECT_EQ(std::vector<int32_t>(all.begin() + 1247, all.end()), c.at1247);
    }
}

TEST_F(Random, StartUpAndReseedingRepeatTheSequence) {
    random::init();
    std::vector<int32_t> a = draws(700);
    EXPECT_EQ(a[0], 1573102752);
    random::seed(random::START_SEED);
    EXPECT_EQ(draws(700), a);
    random::seed(7);
    std::vector<int32_t> b = draws(700);
    random::seed(7);
    EXPECT_EQ(draws(700), b) << "a seed restarts the sequence wherever it stood";
}

TEST_F(Random, DrawsNeverNegative) {
    random::seed(0x80000000);
    int32_t lowest = INT32_MAX, highest = 0;
    for (int i = 0; i < 100000; i++) {
        int32_t d = random::next();
        lowest = std::min(lowest, d);
        highest = std::max(highest, d);
    }
    EXPECT_GE(lowest, 0);
    EXPECT_GT(highest, 0x7F000000) << "the top of the range is reached";
}

TEST_F(Random, RangeFollowsTheDraws) {
    struct Case {
        uint32_t seed;
        int32_t n;
        std::vector<int32_t> expected;
    };
    const Case cases[] = {
        {19650218, 100, {53, 81, 67, 51, 13, 4, 3, 71}},
        {19650218, -100, {-53, -81, -67, -51, -13, -4, -3, -71}},
        {1, 6, {6, 3, 6, 4, 3, 3, 4, 2}},
        {5489, INT32_MAX, {46662978, 1228475206, 1486624397, 1058804183, 1470644073, 1125026478, 940242228, 629458723}},
        // Half the draws are above the largest multiple of n and are drawn again.
        {5489, 1073741825, {46662978, 1058804183, 940242228, 629458723, 390523671, 229004908, 592410766, 345545919}},
        // A power of two: draws from 2^30 up are drawn again too.
        {5489, -1073741824,
         {-46662978, -1058804183, -940242228, -629458723, -390523671, -229004908, -592410766, -345545919}},
        // The smallest integer has no positive counterpart: -1 minus each draw.
        {19650218, INT32_MIN,
         {-1573102753, -2054623781, -1026451267, -162962651, -2096484113, -1606894804, -145542503, -1989832771}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.n);
        random::seed(c.seed);
        std::vector<int32_t> got;
        for (size_t i = 0; i < c.expected.size(); i++) got.push_back(random::range(false, c.n));
        EXPECT_EQ(got, c.expected);
    }
}

TEST_F(Random, RangeEdges) {
    random::seed(99);
    for (int i = 0; i < 1000; i++) {
        ASSERT_EQ(random::range(false, 1), 1);
        ASSERT_EQ(random::range(false, -1), -1);
    }
    random::seed(99);
    int32_t first = random::next();
    random::seed(99);
    EXPECT_EQ(random::range(false, 0), 0);
    EXPECT_EQ(random::range(true, 0), 0);
    EXPECT_EQ(random::next(), first) << "n = 0 draws nothing";
}

TEST_F(Random, RangeIsUniform) {
    random::seed(12345);
    const int n = 6, rounds = 60000;
    int counts[n + 1] = {};
    for (int i = 0; i < rounds; i++) {
        int32_t r = random::range(false, n);
        ASSERT_GE(r, 1);
        ASSERT_LE(r, n);
        counts[r]++;
    }
    double chi = 0;
    for (int k = 1; k <= n; k++) chi += double(counts[k] - rounds / n) * (counts[k] - rounds / n) / (rounds / n);
    EXPECT_LT(chi, 20.5) << "chi-square with 5 degrees of freedom, p = 0.001";

    // For n = 1.5 x 2^30 a plain remainder would give the lowest third of the
    // range half of all results; rejection gives it a third.
    const int32_t big = 1610612736;
    for (bool secure : {false, true}) {
        SCOPED_TRACE(secure);
        int low = 0;
        const int draws_big = 30000;
        for (int i = 0; i < draws_big; i++) {
            int32_t r = random::range(secure, -big);
            ASSERT_LE(r, -1);
            ASSERT_GE(r, -big);
            if (r >= -(INT32_MAX - big + 1)) low++;
        }
        EXPECT_NEAR(double(low) / draws_big, 1.0 / 3, 0.02);
    }
}

TEST_F(Random, SecureDrawsStayInRangeAndLeaveTheSequenceAlone) {
    random::seed(19650218);
    std::set<int32_t> seen;
    for (int i = 0; i < 200; i++) {
        int32_t s = random::secure_next();
        ASSERT_GE(s, 0);
        seen.insert(s);
    }
    EXPECT_GT(seen.size(), 190u);
    for (int32_t n : {1, -1, 7, -7, INT32_MAX, INT32_MIN}) {
        SCOPED_TRACE(n);
        for (int i = 0; i < 200; i++) {
            int32_t r = random::range(true, n);
            if (n > 0) ASSERT_TRUE(r >= 1 && r <= n) << r;
            else ASSERT_TRUE(r >= n && r <= -1) << r;
        }
    }
    EXPECT_EQ(random::next(), 1573102752) << "secure draws do not advance the generator";
}

// A staged system call: the script of answers it gives, one per call, the last
// one repeated; it delivers the bytes of the pattern in order.
struct Staged {
    ssize_t result;  // bytes delivered, or -1 with the errno below
    int error;
};
std::vector<Staged> script;
size_t calls;
const uint8_t pattern[] = {0x11, 0x22, 0x33, 0xC4};

ssize_t staged_call(void* buffer, size_t size, unsigned) {
    static size_t delivered;
    if (calls == 0) delivered = 0;
    Staged s = script[std::min(calls, script.size() - 1)];
    calls++;
    if (s.result < 0) {
        errno = s.error;
        return -1;
    }
    size_t n = std::min({size_t(s.result), size, sizeof pattern - delivered});
    std::memcpy(buffer, pattern + delivered, n);
    delivered += n;
    return ssize_t(n);
}

TEST_F(Random, SecureSourceRetriesInterruptedAndShortReads) {
    script = {{-1, EINTR}, {1, 0}, {-1, EINTR}, {1, 0}, {2, 0}};
    calls = 0;
    platform::set_entropy_call(&staged_call);
    // Little-endian bytes 11 22 33 C4, with the sign bit cleared.
    EXPECT_EQ(random::secure_next(), 0x44332211);
    EXPECT_EQ(calls, 5u);
}

TEST_F(Random, RefusedSecureCallFallsBackToTheDevice) {
    for (Staged refusal : {Staged{-1, ENOSYS}, Staged{-1, EPERM}, Staged{0, 0}}) {
        SCOPED_TRACE(refusal.error);
        script = {refusal};
        calls = 0;
        platform::set_entropy_call(&staged_call);
        std::set<int32_t> seen;
        for (int i = 0; i < 20; i++) {
            uint8_t buf[64];
            ASSERT_TRUE(platform::secure_bytes(buf, sizeof buf));
            seen.insert(random::secure_next());
        }
        EXPECT_GT(seen.size(), 15u) << "the device supplies the bytes";
        EXPECT_EQ(calls, 40u) << "one refused call per request, then the device";
    }
}

}  // namespace
