#include "foundation/heap.hpp"

#include <cstdlib>
#include <cstring>
#include <unordered_set>

#include "foundation/frame.hpp"
#include "foundation/print.hpp"

namespace kro::heap {

namespace {
// Each block is preceded by this header. A set of live headers lets free and
// resize recognise our own blocks in O(1) without reading foreign memory.
struct Header {
    Header* prev;
    Header* next;
    uint32_t size;
    uint32_t magic;
    uint64_t pad;  // keeps the caller's block 16-byte aligned
};
static_assert(sizeof(Header) == 32);
constexpr uint32_t MAGIC = 0x4B524F48;  // "KROH"
constexpr uint32_t DEAD = 0xDEADBEEF;

Header* head = nullptr;
Header* tail = nullptr;

std::unordered_set<const void*>& live() {
    static auto* set = new std::unordered_set<const void*>();  // never destroyed: used until _Exit
    return *set;
}

Header* header_of(void* p) {
    if (!p || !live().count(p)) return nullptr;
    return reinterpret_cast<Header*>(static_cast<uint8_t*>(p) - sizeof(Header));
}

void unlink(Header* h) {
    if (h->prev) h->prev->next = h->next; else head = h->next;
    if (h->next) h->next->prev = h->prev; else tail = h->prev;
}

[[noreturn]] void out_of_memory(uint32_t site) { rt_error::fatal(94, site); }
}  // namespace

void* alloc(size_t size) {
    if (size > 0xFFFFFFFFu) out_of_memory(KRO_CAPTURE_SITE());
    auto* h = static_cast<Header*>(std::malloc(size + sizeof(Header)));
    if (!h) out_of_memory(KRO_CAPTURE_SITE());
    h->prev = tail;
    h->next = nullptr;
    h->size = uint32_t(size);
    h->magic = MAGIC;
    h->pad = 0;
    if (tail) tail->next = h; else head = h;
    tail = h;
    live().insert(h + 1);
    return h + 1;
}

void* alloc_zeroed(size_t size) {
    void* p = alloc(size);
    std::memset(p, 0, size);
    return p;
}

void* resize(void* p, size_t size) {
    if (!p) return alloc(size);
    if (size == 0) {
        free(p);
        return nullptr;
    }
    Header* h = header_of(p);
    // Resizing a block that is not ours would hand foreign memory to realloc.
    if (!h) rt_error::fatal(98, KRO_CAPTURE_SITE());
    if (size > 0xFFFFFFFFu) out_of_memory(KRO_CAPTURE_SITE());
    auto* moved = static_cast<Header*>(std::realloc(h, size + sizeof(Header)));
    if (!moved) out_of_memory(KRO_CAPTURE_SITE());
    live().erase(p);
    live().insert(moved + 1);
    moved->size = uint32_t(size);
    if (moved->prev) moved->prev->next = moved; else head = moved;
    if (moved->next) moved->next->prev = moved; else tail = moved;
    return moved + 1;
}

void free(void* p) {
    Header* h = header_of(p);
    if (!h) return;
    unlink(h);
    live().erase(p);
    h->magic = DEAD;
    std::free(h);
}

void free_all() {
    Header* h = head;
    while (h) {
        Header* next = h->next;
        h->magic = DEAD;
        std::free(h);
        h = next;
    }
    head = tail = nullptr;
    live().clear();
}

void dump() {
    using namespace print;
    print_line({text("-- Heap-allocations --")});
    print_line({text("Asked Real")});
    uint32_t sum = 0;  // a 32-bit figure; unsigned so that a huge heap wraps instead of overflowing
    for (Header* h = head; h; h = h->next) {
        // The real size is reported as asked + 16: the bookkeeping every block costs.
        print_line({integer(int32_t(h->size)), byte_rec('\t'), integer(int32_t(h->size + 16))});
        sum += h->size + 16;
    }
    print_line({text("-- Sum: "), integer(int32_t(sum)), text(" --")});
}

size_t block_count() {
    size_t n = 0;
    for (Header* h = head; h; h = h->next) n++;
    return n;
}

size_t asked_bytes() {
    size_t n = 0;
    for (Header* h = head; h; h = h->next) n += h->size;
    return n;
}

}  // namespace kro::heap
