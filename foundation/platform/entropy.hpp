// The system's cryptographic random source.
#pragma once
#include <sys/types.h>

#include <cstddef>

namespace kro::platform {

// Fills the buffer with cryptographically secure bytes: getrandom, retried after
// signals and short reads, with /dev/urandom as the fallback where the call is
// refused (old kernels, sandboxes). False only when neither source delivers.
bool secure_bytes(void* buffer, size_t size);

// The call behind secure_bytes, replaceable so that tests can stage interrupted,
// short and refused reads; nullptr restores the system call.
using EntropyCall = ssize_t (*)(void* buffer, size_t size, unsigned flags);
void set_entropy_call(EntropyCall call);

}  // namespace kro::platform
