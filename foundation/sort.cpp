#include "foundation/sort.hpp"

#include <array>
#include <bit>
#include <cstring>

#include "foundation/fire.hpp"
#include "foundation/heap.hpp"
#include "foundation/memory.hpp"

namespace kro::sort {

namespace {

void swap_elements(uint8_t* a, uint8_t* b, size_t w) {
    if (w % 4 == 0) {
        for (size_t i = 0; i < w; i += 4) {
            uint32_t x, y;
            std::memcpy(&x, a + i, 4);
            std::memcpy(&y, b + i, 4);
            std::memcpy(a + i, &y, 4);
            std::memcpy(b + i, &x, 4);
        }
    } else {
        for (size_t i = 0; i < w; i++) {
            uint8_t x = a[i];
            a[i] = b[i];
            b[i] = x;
        }
    }
}

// The elements seen through indexes. The base address is valid only until the
// next comparator call, after which it is asked for again.
class Seq {
public:
    explicit Seq(const Range& r) : r_(r), w_(r.width) {
        base_ = r.locate ? r.locate(r.where, true) : static_cast<uint8_t*>(r.where);
        if (!base_) changed();
    }

    size_t width() const { return w_; }
    uint8_t* at(uint32_t i) const { return base_ + size_t(i) * w_; }

    // The addresses are computed just before the call; the base is found again
    // right after it, since the comparator may have moved or changed the range.
    int compare(const uint8_t* a, const uint8_t* b) {
        int c = r_.compare(a, b, r_.op, r_.flags);
        if (r_.locate) {
            base_ = r_.locate(r_.where, true);
            if (!base_) changed();
        }
        return c;
    }
    int compare(uint32_t i, uint32_t j) { return compare(at(i), at(j)); }

    void swap(uint32_t i, uint32_t j) {
        if (i != j) swap_elements(at(i), at(j), w_);
    }
    void reverse(uint32_t lo, uint32_t hi) {
        while (hi > lo + 1) swap(lo++, --hi);
    }

    // Where element 0 is now, or null when the elements are no longer in
    // place. Never raises.
    uint8_t* where_now() const {
        return r_.locate ? r_.locate(r_.where, false) : static_cast<uint8_t*>(r_.where);
    }

private:
    [[noreturn]] void changed() { fire("script", "invalid-arg", r_.subject); }

    const Range& r_;
    size_t w_;
    uint8_t* base_;
};

// A pair ordered against direction d (+1 ascending, -1 descending).
bool against(int c, int d) { return d > 0 ? c > 0 : c < 0; }

// ---------------------------------------------------------------- merge sort

constexpr uint32_t MIN_RUN = 24;

uint32_t run_end(Seq& s, uint32_t start, uint32_t end) {
    if (end - start < 2) return end;
    uint32_t r = start + 2;
    if (s.compare(start, start + 1) <= 0) {
        while (r < end && s.compare(r - 1, r) <= 0) r++;
    } else {
        // Strictly descending only, so that reversing never reorders equal elements.
        while (r < end && s.compare(r - 1, r) > 0) r++;
        s.reverse(start, r);
    }
    return r;
}

// Grows the run [start, end) to min(MIN_RUN, what remains) by insertion.
uint32_t extend_run(Seq& s, uint32_t start, uint32_t end, uint32_t n) {
    uint32_t target = n - start < MIN_RUN ? n : start + MIN_RUN;
    for (; end < target; end++) {
        for (uint32_t k = end; k > start && s.compare(k - 1, k) > 0; k--) s.swap(k - 1, k);
    }
    return end;
}

// The elements taken into the temporary buffer that still have to go back.
// They always fit exactly the gap [gap, gap + left) in the range, so when a
// comparator raises, putting them there leaves the range a permutation.
struct Pending {
    Seq& seq;
    uint8_t* tmp;
    uint32_t gap = 0;
    uint32_t from = 0;
    uint32_t left = 0;

    void put_back(uint8_t* base) {
        size_t w = seq.width();
        if (left) std::memcpy(base + size_t(gap) * w, tmp + size_t(from) * w, size_t(left) * w);
        left = 0;
    }
    ~Pending() {
        if (!left) return;
        if (uint8_t* base = seq.where_now()) put_back(base);
    }
};

// Merges the adjacent runs [lo, mid) and [mid, hi) through the buffer, which
// takes the shorter of them. Equal elements keep their order.
void merge_runs(Seq& s, uint8_t* tmp, uint32_t lo, uint32_t mid, uint32_t hi) {
    size_t w = s.width();
    Pending p{s, tmp};
    if (hi - mid < mid - lo) {
        // From the back: the buffer holds the right run.
        std::memcpy(tmp, s.at(mid), size_t(hi - mid) * w);
        uint32_t l = mid;  // left elements still to place: [lo, l)
        p.left = hi - mid;
        p.gap = l;
        while (p.left && l > lo) {
            uint32_t dest = l + p.left - 1;
            if (s.compare(s.at(l - 1), tmp + size_t(p.left - 1) * w) > 0) {
                std::memcpy(s.at(dest), s.at(l - 1), w);
                l--;
                p.gap = l;
            } else {
                std::memcpy(s.at(dest), tmp + size_t(p.left - 1) * w, w);
                p.left--;
            }
        }
    } else {
        // From the front: the buffer holds the left run.
        std::memcpy(tmp, s.at(lo), size_t(mid - lo) * w);
        uint32_t r = mid;  // right elements still to place: [r, hi)
        p.gap = lo;
        p.left = mid - lo;
        while (p.left && r < hi) {
            if (s.compare(tmp + size_t(p.from) * w, s.at(r)) <= 0) {
                std::memcpy(s.at(p.gap), tmp + size_t(p.from) * w, w);
                p.from++;
                p.left--;
            } else {
                std::memcpy(s.at(p.gap), s.at(r), w);
                r++;
            }
            p.gap++;
        }
    }
    p.put_back(s.at(0));
}

// The power of the boundary between runs [s1, e1) and [s2, e2): the first
// binary digit at which the two midpoints, as fractions of n, differ.
uint32_t boundary_power(uint32_t s1, uint32_t e1, uint32_t s2, uint32_t e2, uint32_t n) {
    uint64_t a = uint64_t(s1) + e1;  // twice the midpoints
    uint64_t b = uint64_t(s2) + e2;
    uint32_t power = 0;
    for (;;) {
        power++;
        if (a >= n) {
            a -= n;
            b -= n;
        } else if (b >= n) {
            return power;
        }
        a <<= 1;
        b <<= 1;
    }
}

// ------------------------------------------------------------------ quicksort

constexpr uint32_t INSERTION_CUTOFF = 7;
constexpr uint32_t SAMPLE_STEP = 97;
constexpr uint32_t PROBE_DISTANCE = 10;
constexpr uint32_t MIN_STRETCH = 4;

// Insertion sort of [lo, hi) whose first m elements are in order already.
void insertion(Seq& s, uint32_t lo, uint32_t hi, uint32_t m) {
    for (uint32_t i = lo + (m ? m : 1); i < hi; i++) {
        for (uint32_t k = i; k > lo && s.compare(k - 1, k) > 0; k--) s.swap(k - 1, k);
    }
}

void sift_down(Seq& s, uint32_t lo, uint32_t root, uint32_t size) {
    for (;;) {
        uint64_t child = uint64_t(root) * 2 + 1;
        if (child >= size) return;
        uint32_t c = uint32_t(child);
        if (c + 1 < size && s.compare(lo + c, lo + c + 1) < 0) c++;
        if (s.compare(lo + root, lo + c) >= 0) return;
        s.swap(lo + root, lo + c);
        root = c;
    }
}

// The fallback when partitioning keeps going badly: O(n log n) whatever the input.
void heapsort(Seq& s, uint32_t lo, uint32_t hi) {
    uint32_t size = hi - lo;
    for (uint32_t i = size / 2; i-- > 0;) sift_down(s, lo, i, size);
    while (size > 1) {
        size--;
        s.swap(lo, lo + size);
        sift_down(s, lo, 0, size);
    }
}

// Three-way partition of [from, hi) around the element at `pivot` (outside
// that stretch): answers [lt, gt) holding the elements equal to it, with the
// smaller ones before and the greater ones after.
void partition(Seq& s, uint32_t pivot, uint32_t from, uint32_t hi, uint32_t& lt, uint32_t& gt) {
    lt = from;
    gt = hi;
    uint32_t i = from;
    while (i < gt) {
        int c = s.compare(i, pivot);
        if (c < 0) {
            s.swap(lt++, i++);
        } else if (c > 0) {
            s.swap(i, --gt);
        } else {
            i++;
        }
    }
}

// Moves [a, b) behind [b, c) in place.
void rotate(Seq& s, uint32_t a, uint32_t b, uint32_t c) {
    if (a == b || b == c) return;
    s.reverse(a, b);
    s.reverse(b, c);
    s.reverse(a, c);
}

// Sorts [lo, hi), whose first m elements are in order. Recurses into the
// smaller side and loops on the larger one.
void quick_range(Seq& s, uint32_t lo, uint32_t hi, uint32_t m, uint32_t depth) {
    while (hi - lo > INSERTION_CUTOFF) {
        if (m >= hi - lo) return;
        if (depth == 0) {
            heapsort(s, lo, hi);
            return;
        }
        depth--;
        uint32_t left_hi, right_lo, left_m, right_m;
        if (m > 2) {
            // The middle of the sorted prefix is the pivot. Only the unsorted
            // rest is partitioned; the prefix halves then become the sorted
            // prefixes of the two sides:
            //   [lo, q) smaller | [q, lo+m) pivot first | smaller | equal | greater
            // becomes [lo, q) | smaller || pivot | [q+1, lo+m) | equal | greater.
            uint32_t q = lo + m / 2;
            uint32_t lt, gt;
            partition(s, q, lo + m, hi, lt, gt);
            rotate(s, q, lo + m, lt);
            uint32_t smaller = lt - (lo + m);
            left_hi = q + smaller;
            left_m = q - lo;
            right_lo = left_hi + 1;  // the pivot is the least of the right side: in place
            right_m = m - m / 2 - 1;
        } else {
            uint32_t mid = lo + (hi - lo) / 2;
            if (s.compare(mid, lo) < 0) s.swap(mid, lo);
            if (s.compare(hi - 1, mid) < 0) {
                s.swap(hi - 1, mid);
                if (s.compare(mid, lo) < 0) s.swap(mid, lo);
            }
            s.swap(lo, mid);  // the median waits at lo while the rest is split
            uint32_t lt, gt;
            partition(s, lo, lo + 1, hi, lt, gt);
            s.swap(lo, lt - 1);
            left_hi = lt - 1;
            right_lo = gt;
            left_m = right_m = 0;
        }
        if (left_hi - lo < hi - right_lo) {
            quick_range(s, lo, left_hi, left_m, depth);
            lo = right_lo;
            m = right_m;
        } else {
            quick_range(s, right_lo, hi, right_m, depth);
            hi = left_hi;
            m = left_m;
        }
    }
    insertion(s, lo, hi, m < hi - lo ? m : hi - lo);
}

// Extends the sorted prefix [0, p) of direction d by moving ordered stretches
// found further on next to it. Answers the new prefix length.
uint32_t grow_prefix(Seq& s, uint32_t n, uint32_t p, int d) {
    uint32_t floor = p;  // everything before this has been looked at
    uint64_t probe = uint64_t(p) - 1 + PROBE_DISTANCE;
    while (probe < n) {
        uint32_t q = uint32_t(probe);
        uint32_t a = q, b = q + 1;
        while (b < n && !against(s.compare(b - 1, b), d)) b++;
        while (a > floor && !against(s.compare(a - 1, a), d)) a--;
        floor = b;
        probe = uint64_t(b) - 1 + PROBE_DISTANCE;
        if (a == p && !against(s.compare(p - 1, p), d)) {
            p = b;  // it continues the prefix
            continue;
        }
        uint32_t len = b - a;
        if (len < MIN_STRETCH) continue;
        if (p > 1) {
            uint32_t k = len / 2 < p / 4 ? len / 2 : p / 4;
            uint32_t j = 0;
            while (j < k && against(s.compare(p - 1 - j, a + j), d)) j++;
            if (j == k) continue;
            p -= j;
            a += j;
        } else {
            p = 0;  // a lone first element gives way to the stretch
        }
        for (uint32_t t = 0; t < b - a; t++) s.swap(p + t, a + t);
        p += b - a;
    }
    return p;
}

}  // namespace

void swap(void* a, void* b, uint32_t width) {
    if (a != b) swap_elements(static_cast<uint8_t*>(a), static_cast<uint8_t*>(b), width);
}

uint32_t count_run(const Range& r, uint32_t start, uint32_t end) {
    if (end > r.count) end = r.count;
    if (start >= end) return start;
    Seq s(r);
    return run_end(s, start, end);
}

void merge(const Range& r) {
    uint32_t n = r.count;
    if (n < 2 || r.width == 0) return;
    uint64_t tmp_bytes = uint64_t(n / 2) * r.width;
    if (tmp_bytes > 0x7FFFFFFFu) fire("script", "too-long");
    struct Temp {
        uint8_t* p;
        ~Temp() { heap::free(p); }
        uint8_t* get() const { return p; }
    } tmp{static_cast<uint8_t*>(heap::alloc(size_t(tmp_bytes)))};
    Seq s(r);

    // Pending runs: each ends where the next one starts. Their powers rise from
    // the bottom up, so log2(n) + 1 entries suffice; a full stack merges early.
    struct Entry {
        uint32_t start, power;
    };
    std::array<Entry, 40> stack;
    size_t top = 0;

    uint32_t s1 = 0;
    uint32_t e1 = extend_run(s, 0, run_end(s, 0, n), n);
    while (e1 < n) {
        uint32_t s2 = e1;
        uint32_t e2 = extend_run(s, s2, run_end(s, s2, n), n);
        uint32_t power = boundary_power(s1, e1, s2, e2, n);
        while (top > 0 && (stack[top - 1].power > power || top == stack.size())) {
            merge_runs(s, tmp.get(), stack[top - 1].start, s1, e1);
            s1 = stack[--top].start;
        }
        stack[top++] = {s1, power};
        s1 = s2;
        e1 = e2;
    }
    while (top > 0) {
        merge_runs(s, tmp.get(), stack[top - 1].start, s1, n);
        s1 = stack[--top].start;
    }
}

void quick(const Range& r) {
    uint32_t n = r.count;
    if (n < 2 || r.width == 0) return;
    Seq s(r);

    // Probe: the longest prefix that never steps against the direction of its
    // first unequal pair, then every 97th pair beyond it.
    uint32_t p = 1;
    int d = 0;
    for (; p < n; p++) {
        int c = s.compare(p - 1, p);
        if (c == 0) continue;
        int dir = c < 0 ? 1 : -1;
        if (d == 0) {
            d = dir;
        } else if (dir != d) {
            break;
        }
    }
    if (d == 0) d = 1;
    int64_t score = int64_t(p) * d;
    for (uint64_t i = p; i + 1 < n; i += SAMPLE_STEP) {
        int c = s.compare(uint32_t(i), uint32_t(i + 1));
        if (c < 0) score++;
        else if (c > 0) score--;
    }

    if (p < n && (score < 0 ? -score : score) > int64_t(n / 512)) {
        if ((score > 0) != (d > 0)) {
            p = 1;
            d = -d;
        }
        p = grow_prefix(s, n, p, d);
    }
    if (d < 0) s.reverse(0, p);
    if (p < n) quick_range(s, 0, n, p, 2 * uint32_t(std::bit_width(n)));
}

void merge(void* base, uint32_t count, uint32_t width, intptr_t op, uint32_t flags, Compare cmp) {
    Range r;
    r.count = count;
    r.width = width;
    r.op = op;
    r.flags = flags;
    r.compare = cmp;
    r.where = base;
    merge(r);
}

void quick(void* base, uint32_t count, uint32_t width, intptr_t op, uint32_t flags, Compare cmp) {
    Range r;
    r.count = count;
    r.width = width;
    r.op = op;
    r.flags = flags;
    r.compare = cmp;
    r.where = base;
    quick(r);
}

SeriesPlace::SeriesPlace(uint32_t series_node, uint32_t first_byte, uint32_t count, uint32_t width)
    : node(series_node), first(first_byte), bytes(uint64_t(count) * width) {
    const memory::Buffer* b = memory::buffer_of(series_node);
    offset = b->offset;
    tail = b->tail;
}

uint8_t* SeriesPlace::locate(void* where, bool strict) {
    auto* place = static_cast<SeriesPlace*>(where);
    uint32_t buf = memory::node_slot(place->node.node);
    if (!buf) return nullptr;
    memory::Buffer* b = memory::buffer_at(buf);
    if (!(b->flags & memory::FLAG_IN_USE) || b->node != place->node.node) return nullptr;
    if (b->offset != place->offset || (strict && b->tail != place->tail)) return nullptr;
    if (uint64_t(b->offset) + place->first + place->bytes > b->tail) return nullptr;
    return b->head_ptr() + place->first;
}

}  // namespace kro::sort
