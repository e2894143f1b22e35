// The tracked heap: the runtime's own tables come from malloc, each block linked
// into one list so that the end of the process can free everything at once.
// Values of the language never live here (they live in the arena).
#pragma once
#include <cstddef>
#include <cstdint>

namespace kro::heap {

void* alloc(size_t size);
void* alloc_zeroed(size_t size);
void* resize(void* p, size_t size);  // p null: alloc; size 0: free, answers null;
                                     // a block not made here is fatal error 98
void free(void* p);                  // unknown addresses are ignored
void free_all();
void dump();

// For tests and statistics: the number of live blocks and their asked bytes.
size_t block_count();
size_t asked_bytes();

}  // namespace kro::heap
