// The arena: one 4 GiB reservation of address space that holds every frame of
// the collected heap and every fixed series. References stored in cells, node
// slots and buffer headers are 32-bit offsets from its base (0 is null; the
// first 64 KiB are never handed out).
#pragma once
#include <cstddef>
#include <cstdint>

namespace kro::arena {

// The reservation sits at a fixed address below 2 GiB: an offset then becomes
// an address through the displacement of the instruction that uses it (no
// load of the base, which every store into a cell would otherwise force the
// compiler to repeat). AddressSanitizer keeps that part of the address space
// for its shadow, so its builds take whatever address the system gives.
#if !defined(KRO_ARENA_AT) && !defined(__SANITIZE_ADDRESS__)
#if defined(__has_feature)
#if !__has_feature(address_sanitizer)
#define KRO_ARENA_AT 0x70000000
#endif
#else
#define KRO_ARENA_AT 0x70000000
#endif
#endif
#if defined(KRO_ARENA_AT)
inline uint8_t* const base = reinterpret_cast<uint8_t*>(uintptr_t(KRO_ARENA_AT));
#else
extern uint8_t* base;  // set by arena::init, never changes afterwards
#endif

constexpr uint64_t RESERVE = 1ull << 32;
constexpr uint32_t FIRST_OFFSET = 0x10000;
constexpr uint32_t PAGE = 4096;

// Reserves the address space. Idempotent.
void init();

template <class T = uint8_t>
inline T* ptr(uint32_t off) {
    return reinterpret_cast<T*>(base + off);
}

inline uint32_t off(const void* p) {
    return p ? uint32_t(static_cast<const uint8_t*>(p) - base) : 0;
}

inline bool contains(const void* p) {
    auto* b = static_cast<const uint8_t*>(p);
    return base && b >= base + FIRST_OFFSET && b < base + RESERVE;
}

// Page runs: committed read-write, zero-filled. Sizes are multiples of PAGE.
// commit answers 0 when the arena is exhausted. clear false: the caller
// writes every byte it will read, so kept pages need not be cleared.
uint32_t commit(uint32_t size, bool clear = true);
void release(uint32_t offset, uint32_t size);
// Makes the pages of a committed run present at once: one system call instead
// of a fault for each page. Only a hint: where the system refuses, the pages
// come on first touch as before.
void populate(uint32_t offset, uint32_t size);

// Protects a released-but-quarantined run so that stale pointers fault (stress mode).
void protect(uint32_t offset, uint32_t size);

// Stress mode releases and commits frames at every collection: released runs
// then keep their pages and their protection, and a commit clears what it
// hands out (unless told not to), which costs far less than the system
// dropping and faulting them or changing their protection.
extern bool keep_released_pages;

uint64_t committed_bytes();

// The most the arena commits (at most RESERVE; fuzzing builds start lower).
// The last ROOM_KEPT bytes of it are handed out only while `room_open`: a
// refused allocation opens them, so that raising the language's no-memory
// error (which allocates the error and its stack) cannot fail in turn;
// collections use them too, and close them when they end.
constexpr uint64_t ROOM_KEPT = 32ull << 20;
extern bool room_open;
void set_commit_limit(uint64_t bytes);
uint64_t commit_limit();

}  // namespace kro::arena
