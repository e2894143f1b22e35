#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "foundation/array.hpp"
#include "foundation/fire.hpp"
#include "foundation/frame.hpp"
#include "foundation/heap.hpp"
#include "foundation/memory.hpp"
#include "foundation/sort.hpp"

using namespace kro;

namespace {

// Test elements of `width` bytes: a key in the first min(width, 4) bytes; from
// width 8 on, a 32-bit id at byte 4 and filler bytes derived from the id, so
// that an element torn apart by a faulty move shows.
struct Elements {
    uint32_t width;
    uint32_t key_bytes;
    std::vector<uint8_t> bytes;

    Elements(uint32_t w, const std::vector<uint32_t>& keys)
        : width(w), key_bytes(w < 4 ? w : 4), bytes(size_t(w) * keys.size()) {
        for (size_t i = 0; i < keys.size(); i++) {
            uint8_t* e = at(i);
            std::memcpy(e, &keys[i], key_bytes);
            if (w >= 8) {
                uint32_t id = uint32_t(i);
                std::memcpy(e + 4, &id, 4);
                for (uint32_t k = 8; k < w; k++) e[k] = uint8_t(id * 7 + k);
            }
        }
    }
    size_t count() const { return bytes.size() / width; }
    uint8_t* at(size_t i) { return bytes.data() + i * width; }
    uint32_t key(size_t i) {
        uint32_t k = 0;
        std::memcpy(&k, at(i), key_bytes);
        return k;
    }
    uint32_t id(size_t i) {
        uint32_t v;
        std::memcpy(&v, at(i) + 4, 4);
        return v;
    }
    bool intact(size_t i) {
        for (uint32_t k = 8; k < width; k++) {
            if (at(i)[k] != uint8_t(id(i) * 7 + k)) return false;
        }
        return true;
    }
};

long comparisons = 0;

// op = the key's byte count.
int by_key(const void* a, const void* b, intptr_t op, uint32_t) {
    comparisons++;
    uint32_t x = 0, y = 0;
    std::memcpy(&x, a, size_t(op));
    std::memcpy(&y, b, size_t(op));
    return (x > y) - (x < y);
}

sort::Range range_of(Elements& e) {
    sort::Range r;
    r.count = uint32_t(e.count());
    r.width = e.width;
    r.op = e.key_bytes;
    r.compare = by_key;
    r.where = e.bytes.data();
    return r;
}

enum class Kind { RANDOM, FEW_KEYS, ASCENDING, DESCENDING, SORTED_TAIL, NEARLY, NEARLY_DOWN, ORGAN, SAW, EQUAL };

std::vector<uint32_t> make_keys(Kind kind, size_t n, uint32_t limit, std::mt19937& rng) {
    std::vector<uint32_t> k(n);
    auto rnd = [&](uint32_t m) { return uint32_t(rng() % m); };
    for (size_t i = 0; i < n; i++) {
        switch (kind) {
            case Kind::RANDOM: k[i] = rnd(limit); break;
            case Kind::FEW_KEYS: k[i] = rnd(3); break;
            case Kind::ASCENDING: case Kind::NEARLY: case Kind::SORTED_TAIL:
                k[i] = uint32_t(i * limit / (n ? n : 1)); break;
            case Kind::DESCENDING: case Kind::NEARLY_DOWN:
                k[i] = uint32_t((n - i) * limit / (n ? n : 1)); break;
            case Kind::ORGAN: k[i] = uint32_t(std::min(i, n - i) % limit); break;
            case Kind::SAW: k[i] = uint32_t(i % 50); break;
            case Kind::EQUAL: k[i] = 5; break;
        }
    }
    if (kind == Kind::NEARLY || kind == Kind::NEARLY_DOWN) {
        for (size_t s = 0; n > 1 && s < n / 100 + 1; s++) std::swap(k[rnd(uint32_t(n))], k[rnd(uint32_t(n))]);
    }
    if (kind == Kind::SORTED_TAIL) {
        for (size_t i = n - n / 20; i < n; i++) k[i] = rnd(limit);
    }
    return k;
}

// Permutation and order: the keys equal a sorted copy; each id appears once and
// still carries its own key and filler.
void expect_sorted_permutation(Elements& e, const std::vector<uint32_t>& input, const std::string& what) {
    std::vector<uint32_t> sorted = input;
    std::sort(sorted.begin(), sorted.end());
    uint32_t mask = e.key_bytes == 4 ? 0xFFFFFFFFu : (1u << (8 * e.key_bytes)) - 1;
    for (auto& s : sorted) s &= mask;
    std::sort(sorted.begin(), sorted.end());
    std::vector<uint32_t> keys(e.count());
    for (size_t i = 0; i < e.count(); i++) keys[i] = e.key(i);
    ASSERT_EQ(keys, sorted) << what;
    if (e.width < 8) return;
    std::vector<bool> seen(e.count());
    for (size_t i = 0; i < e.count(); i++) {
        uint32_t id = e.id(i);
        ASSERT_LT(id, e.count()) << what;
        ASSERT_FALSE(seen[id]) << what;
        seen[id] = true;
        ASSERT_EQ(e.key(i), input[id] & mask) << what;
        ASSERT_TRUE(e.intact(i)) << what;
    }
}

// A permutation only (the ids), for sorts that were abandoned half-way.
void expect_permutation(Elements& e) {
    std::vector<uint32_t> ids(e.count());
    for (size_t i = 0; i < e.count(); i++) {
        ids[i] = e.id(i);
        ASSERT_TRUE(e.intact(i));
    }
    std::sort(ids.begin(), ids.end());
    for (size_t i = 0; i < ids.size(); i++) ASSERT_EQ(ids[i], i);
}

}  // namespace

TEST(Sort, SmallInputsAndEqualKeys) {
    for (auto sorter : {+[](const sort::Range& r) { sort::merge(r); }, +[](const sort::Range& r) { sort::quick(r); }}) {
        Elements e(8, {3, 1, 2});
        sorter(range_of(e));
        EXPECT_EQ(e.key(0), 1u);
        EXPECT_EQ(e.key(1), 2u);
        EXPECT_EQ(e.key(2), 3u);
    }
    // Equal keys keep their input order under the merge sort, whatever their runs.
    Elements e(8, {5, 5, 2, 5, 2, 5});
    sort::merge(range_of(e));
    std::vector<uint32_t> ids;
    for (size_t i = 0; i < e.count(); i++) ids.push_back(e.id(i));
    EXPECT_EQ(ids, (std::vector<uint32_t>{2, 4, 0, 1, 3, 5}));
}

TEST(Sort, StrictlyDescendingInputIsOneReversedRun) {
    std::vector<uint32_t> keys(1000);
    for (uint32_t i = 0; i < 1000; i++) keys[i] = 1000 - i;
    Elements e(8, keys);
    comparisons = 0;
    EXPECT_EQ(sort::count_run(range_of(e), 0, 1000), 1000u);
    EXPECT_EQ(comparisons, 999);
    for (uint32_t i = 0; i < 1000; i++) ASSERT_EQ(e.key(i), i + 1);

    // The whole merge sort needs no merge either.
    Elements d(8, keys);
    comparisons = 0;
    sort::merge(range_of(d));
    EXPECT_EQ(comparisons, 999);
    expect_sorted_permutation(d, keys, "descending");
}

TEST(Sort, DescendingRunEndsAtEqualNeighboursSoEqualKeysKeepOrder) {
    Elements e(8, {5, 4, 3, 3, 2, 1});
    EXPECT_EQ(sort::count_run(range_of(e), 0, 6), 3u);
    EXPECT_EQ(e.key(0), 3u);
    EXPECT_EQ(e.id(0), 2u);  // the first 3, now at the run's start
    EXPECT_EQ(e.key(2), 5u);
    EXPECT_EQ(e.id(3), 3u);  // the second 3 is not part of the run

    Elements all(8, {5, 4, 3, 3, 2, 1});
    sort::merge(range_of(all));
    EXPECT_EQ(all.key(2), 3u);
    EXPECT_EQ(all.id(2), 2u);
    EXPECT_EQ(all.id(3), 3u);
}

TEST(Sort, MergeSortIsLinearOnSortedInput) {
    const uint32_t n = 100000;
    struct Case {
        const char* name;
        uint32_t (*key)(uint32_t);
    } cases[] = {
        {"ascending", [](uint32_t i) { return i; }},
        {"ascending with equal keys", [](uint32_t i) { return i / 10; }},
        {"strictly descending", [](uint32_t i) { return n - i; }},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> keys(n);
        for (uint32_t i = 0; i < n; i++) keys[i] = c.key(i);
        Elements e(8, keys);
        comparisons = 0;
        sort::merge(range_of(e));
        EXPECT_EQ(comparisons, long(n) - 1) << c.name;
        expect_sorted_permutation(e, keys, c.name);
    }
}

TEST(Sort, QuickSortProbeMakesPresortedInputCheap) {
    // A quicksort that did not notice the order would need about n log2 n = 780,000.
    const uint32_t n = 50000;
    std::mt19937 rng(7);
    struct Case {
        const char* name;
        uint32_t (*key)(uint32_t i, std::mt19937& rng);
        long most;  // comparisons allowed
    } cases[] = {
        {"ascending", [](uint32_t i, std::mt19937&) { return i; }, n + n / 97 + 1},
        {"descending", [](uint32_t i, std::mt19937&) { return n - i; }, n + n / 97 + 1},
        {"ascending, every 1000th out of place",
         [](uint32_t i, std::mt19937& r) { return i % 1000 == 500 ? uint32_t(r() % n) : i; }, 2L * n},
        {"descending, every 1000th out of place",
         [](uint32_t i, std::mt19937& r) { return i % 1000 == 500 ? uint32_t(r() % n) : n - i; }, 2L * n},
        {"a short rise, then descending", [](uint32_t i, std::mt19937&) { return i < 3 ? i : n - i; }, 2L * n},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> keys(n);
        for (uint32_t i = 0; i < n; i++) keys[i] = c.key(i, rng);
        Elements e(8, keys);
        comparisons = 0;
        sort::quick(range_of(e));
        EXPECT_LE(comparisons, c.most) << c.name;
        expect_sorted_permutation(e, keys, c.name);
    }
}

TEST(Sort, BothSortsAgreeWithTheStandardSorts) {
    std::mt19937 rng(12345);
    const uint32_t widths[] = {1, 2, 4, 8, 12, 16, 32};
    const size_t sizes[] = {0, 1, 2, 3, 5, 7, 8, 9, 15, 24, 25, 31, 64, 100, 513, 1000, 4097, 20000};
    const Kind kinds[] = {Kind::RANDOM, Kind::FEW_KEYS, Kind::ASCENDING, Kind::DESCENDING, Kind::SORTED_TAIL,
                          Kind::NEARLY, Kind::NEARLY_DOWN, Kind::ORGAN, Kind::SAW, Kind::EQUAL};
    for (uint32_t w : widths) {
        for (size_t n : sizes) {
            for (Kind kind : kinds) {
                std::vector<uint32_t> keys = make_keys(kind, n, w == 1 ? 256 : 1000, rng);
                std::string what = "w=" + std::to_string(w) + " n=" + std::to_string(n) +
                                   " kind=" + std::to_string(int(kind));

                Elements q(w, keys);
                sort::quick(range_of(q));
                expect_sorted_permutation(q, keys, "quick " + what);

                Elements m(w, keys);
                sort::merge(range_of(m));
                expect_sorted_permutation(m, keys, "merge " + what);
                if (w < 8) continue;
                // Stable: exactly the order std::stable_sort gives.
                std::vector<uint32_t> order(n);
                for (uint32_t i = 0; i < n; i++) order[i] = i;
                std::stable_sort(order.begin(), order.end(), [&](uint32_t a, uint32_t b) { return keys[a] < keys[b]; });
                for (size_t i = 0; i < n; i++) ASSERT_EQ(m.id(i), order[i]) << "merge " << what;
            }
        }
    }
}

namespace {
long raise_at = 0;
int raising(const void* a, const void* b, intptr_t op, uint32_t flags) {
    int c = by_key(a, b, op, flags);
    if (comparisons == raise_at) frame::throw_code(code::THROW);
    return c;
}
}  // namespace

TEST(Sort, ComparatorThatRaisesLeavesAPermutationAndFreesEverything) {
    std::mt19937 rng(99);
    for (uint32_t w : {8u, 12u, 32u}) {
        for (Kind kind : {Kind::RANDOM, Kind::SAW}) {
            for (int which = 0; which < 2; which++) {
                auto run = [&](sort::Range r) { which ? sort::merge(r) : sort::quick(r); };
                std::vector<uint32_t> keys = make_keys(kind, 3000, 1000, rng);
                Elements dry(w, keys);
                comparisons = 0;
                run(range_of(dry));
                const long total = comparisons;
                // Raise at the first call, early, in the middle of merges, at the last call.
                for (long at : {1L, 2L, total / 100, total / 10, total / 3, total / 2, total * 9 / 10, total}) {
                    Elements e(w, keys);
                    sort::Range r = range_of(e);
                    r.compare = raising;
                    comparisons = 0;
                    raise_at = at;
                    size_t blocks = heap::block_count();
                    EXPECT_THROW(run(r), Thrown) << "w=" << w << " at=" << at;
                    EXPECT_EQ(heap::block_count(), blocks);
                    expect_permutation(e);
                }
            }
        }
    }
}

TEST(Sort, TooLongTemporaryBufferIsRefused) {
    sort::Range r;
    r.count = 0xFFFFFFFFu;
    r.width = 2;
    r.compare = by_key;
    r.where = nullptr;  // never reached
    EXPECT_THROW(sort::merge(r), Thrown);
    EXPECT_EQ(last_raised().category, "script");
    EXPECT_EQ(last_raised().id, "too-long");
}

// A series of 32-bit keys sorted in place while its comparator meddles with
// the series, as a user compare function may.
namespace {

enum class Meddle { MOVE, APPEND, APPEND_AND_GROW, CLEAR };
struct Meddling {
    uint32_t node = 0;
    Meddle how = Meddle::MOVE;
    long every = 0;             // MOVE: every so many calls
    long at = 0;                // the others: at that call
    std::vector<uint32_t> old;  // buffers left behind, poisoned
} meddling;

int meddling_compare(const void* a, const void* b, intptr_t op, uint32_t flags) {
    int c = by_key(a, b, op, flags);  // read the elements before anything moves them
    memory::Buffer* buf = memory::buffer_of(meddling.node);
    uint32_t before = arena::off(buf);
    switch (meddling.how) {
        case Meddle::MOVE:
            // What a compacting collection does: same offset and tail, new place.
            if (comparisons % meddling.every == 0) {
                memory::Buffer* moved = memory::grow_series(buf, buf->size);
                EXPECT_EQ(moved->offset, buf->offset);
            }
            break;
        case Meddle::APPEND:
        case Meddle::APPEND_AND_GROW:
            if (comparisons == meddling.at) array::append_int(meddling.node, 777);
            break;
        case Meddle::CLEAR:
            if (comparisons == meddling.at) array::clear(meddling.node);
            break;
    }
    uint32_t after = memory::node_slot(meddling.node);
    if (after != before) {
        memory::Buffer* left = memory::buffer_at(before);
        std::memset(left->data(), 0xEE, left->size);
        meddling.old.push_back(before);
    }
    return c;
}

bool poisoned(uint32_t buf) {
    memory::Buffer* b = memory::buffer_at(buf);
    for (uint32_t i = 0; i < b->size; i++) {
        if (b->data()[i] != 0xEE) return false;
    }
    return true;
}

// Keys 0..n-1 shuffled, in a series with exactly `room` spare bytes after them.
uint32_t shuffled_series(uint32_t n, uint32_t room, std::mt19937& rng) {
    uint32_t node = memory::new_series(n + room / 4, 4, 0);
    memory::Buffer* b = memory::buffer_of(node);
    std::vector<uint32_t> keys(n);
    for (uint32_t i = 0; i < n; i++) keys[i] = i;
    std::shuffle(keys.begin(), keys.end(), rng);
    std::memcpy(b->head_ptr(), keys.data(), size_t(n) * 4);
    b->tail = b->offset + n * 4;
    return node;
}

std::vector<uint32_t> keys_of(uint32_t node, uint32_t n) {
    memory::Buffer* b = memory::buffer_of(node);
    std::vector<uint32_t> k(n);
    std::memcpy(k.data(), b->head_ptr(), size_t(n) * 4);
    return k;
}

}  // namespace

TEST(Sort, RangeMovedByTheComparatorIsFollowed) {
    std::mt19937 rng(5);
    for (int which = 0; which < 2; which++) {
        const uint32_t n = 3000;
        meddling = Meddling{shuffled_series(n, 0, rng), Meddle::MOVE, 97, 0, {}};
        sort::Range r;
        r.count = n;
        r.width = 4;
        r.op = 4;
        r.compare = meddling_compare;
        sort::SeriesPlace place(meddling.node, 0, n, 4);
        place.attach(r);
        comparisons = 0;
        which ? sort::merge(r) : sort::quick(r);
        ASSERT_GT(meddling.old.size(), 10u);
        std::vector<uint32_t> k = keys_of(meddling.node, n);
        for (uint32_t i = 0; i < n; i++) ASSERT_EQ(k[i], i);
        for (uint32_t buf : meddling.old) EXPECT_TRUE(poisoned(buf));  // nothing wrote to a left buffer
    }
}

TEST(Sort, ComparatorThatResizesTheSeriesRaisesInvalidArg) {
    std::mt19937 rng(6);
    struct Case {
        Meddle how;
        uint32_t room;  // spare bytes after the elements
        long at;
        bool elements_stay;
    } cases[] = {
        {Meddle::APPEND, 64, 40, true},
        {Meddle::APPEND_AND_GROW, 0, 40, true},
        {Meddle::APPEND_AND_GROW, 0, 9000, true},
        {Meddle::CLEAR, 0, 40, false},
        {Meddle::CLEAR, 0, 9000, false},
    };
    for (const Case& c : cases) {
        for (int which = 0; which < 2; which++) {
            const uint32_t n = 2000;
            meddling = Meddling{shuffled_series(n, c.room, rng), c.how, 0, c.at, {}};
            Cell subject{uint32_t(TYPE_BLOCK), 0, meddling.node, 0};
            sort::Range r;
            r.count = n;
            r.width = 4;
            r.op = 4;
            r.compare = meddling_compare;
            r.subject = &subject;
            sort::SeriesPlace place(meddling.node, 0, n, 4);
            place.attach(r);
            comparisons = 0;
            EXPECT_THROW(which ? sort::merge(r) : sort::quick(r), Thrown);
            EXPECT_EQ(comparisons, c.at) << "the sort stopped at the first call that changed the series";
            EXPECT_EQ(last_raised().category, "script");
            EXPECT_EQ(last_raised().id, "invalid-arg");
            ASSERT_EQ(last_raised().nargs, 1);
            EXPECT_EQ(last_raised().args[0].data2, meddling.node);
            for (uint32_t buf : meddling.old) EXPECT_TRUE(poisoned(buf));
            if (!c.elements_stay) {
                EXPECT_EQ(array::length(meddling.node), 0u);
                continue;
            }
            // Elements still in place were put back: a permutation, then the appended value.
            ASSERT_EQ(array::length(meddling.node), n + 1);
            std::vector<uint32_t> k = keys_of(meddling.node, n + 1);
            EXPECT_EQ(k[n], 777u);
            k.pop_back();
            std::sort(k.begin(), k.end());
            for (uint32_t i = 0; i < n; i++) ASSERT_EQ(k[i], i);
        }
    }
}
