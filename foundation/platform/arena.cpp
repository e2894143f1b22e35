// Page runs inside the 4 GiB reservation: first fit over released runs, else a
// bump of the high-water mark. Released runs lose their pages (MADV_DONTNEED)
// and become inaccessible, so a stale reference faults instead of reading junk.
#include "foundation/arena.hpp"

#include <sys/mman.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>

namespace kro::arena {

#if !defined(KRO_ARENA_AT)
uint8_t* base = nullptr;
#endif
bool keep_released_pages = false;

bool room_open = false;

namespace {
#ifdef KRO_FUZZ_SANDBOX
// Fuzzing runs stay far below the fuzzer's memory limit: a random program
// asking for gigabytes meets the arena's end sooner, as a language error.
uint64_t limit = 1536ull << 20;
#else
uint64_t limit = RESERVE;
#endif
uint64_t high_water = FIRST_OFFSET;
uint64_t committed = 0;
std::map<uint32_t, uint32_t> free_runs;  // offset -> size, coalesced

void coalesce_insert(uint32_t offset, uint32_t size) {
    auto next = free_runs.lower_bound(offset);
    if (next != free_runs.begin()) {
        auto prev = std::prev(next);
        if (uint64_t(prev->first) + prev->second == offset) {
            offset = prev->first;
            size += prev->second;
            free_runs.erase(prev);
        }
    }
    next = free_runs.lower_bound(offset);
    if (next != free_runs.end() && uint64_t(offset) + size == next->first) {
        size += next->second;
        free_runs.erase(next);
    }
    // A run that ends at the high-water mark gives its space back to the bump.
    if (uint64_t(offset) + size == high_water) {
        high_water = offset;
        return;
    }
    free_runs.emplace(offset, size);
}
}  // namespace

void init() {
#if defined(KRO_ARENA_AT)
    static bool reserved = false;
    if (reserved) return;
    void* p = mmap(base, RESERVE, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED_NOREPLACE, -1, 0);
    if (p != base) {
        std::fputs("*** cannot reserve the memory arena\n", stderr);
        std::_Exit(94);
    }
    reserved = true;
#else
    if (base) return;
    void* p = mmap(nullptr, RESERVE, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) {
        std::fputs("*** cannot reserve the memory arena\n", stderr);
        std::_Exit(94);
    }
    base = static_cast<uint8_t*>(p);
#endif
}

uint32_t commit(uint32_t size, bool clear) {
    if (size == 0 || size % PAGE) return 0;
    if (committed + size + (room_open ? 0 : ROOM_KEPT) > limit) return 0;
    uint32_t offset = 0;
    for (auto it = free_runs.begin(); it != free_runs.end(); ++it) {
        if (it->second >= size) {
            offset = it->first;
            uint32_t rest = it->second - size;
            free_runs.erase(it);
            if (rest) free_runs.emplace(offset + size, rest);
            break;
        }
    }
    if (!offset) {
        if (high_water + size > RESERVE) return 0;
        offset = uint32_t(high_water);
        high_water += size;
    }
    if (mprotect(base + offset, size, PROT_READ | PROT_WRITE) != 0) {
        coalesce_insert(offset, size);
        return 0;
    }
    committed += size;
    if (keep_released_pages && clear) std::memset(base + offset, 0, size);
    return offset;
}

void release(uint32_t offset, uint32_t size) {
    // kept pages stay as they are: a protection change costs more than the
    // fill that a later commit may do, and a commit that finds them
    // accessible changes nothing
    if (!keep_released_pages) {
        madvise(base + offset, size, MADV_DONTNEED);
        mprotect(base + offset, size, PROT_NONE);
    }
    committed -= size;
    coalesce_insert(offset, size);
}

void populate(uint32_t offset, uint32_t size) {
#ifdef MADV_POPULATE_WRITE
    madvise(base + offset, size, MADV_POPULATE_WRITE);
#endif
}

void protect(uint32_t offset, uint32_t size) { mprotect(base + offset, size, PROT_NONE); }

uint64_t committed_bytes() { return committed; }

void set_commit_limit(uint64_t bytes) { limit = bytes < RESERVE ? bytes : RESERVE; }

uint64_t commit_limit() { return limit; }

}  // namespace kro::arena
