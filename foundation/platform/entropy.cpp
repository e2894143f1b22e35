#include "foundation/platform/entropy.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <cstdint>

namespace kro::platform {

namespace {
ssize_t system_getrandom(void* buffer, size_t size, unsigned flags) { return ::getrandom(buffer, size, flags); }

EntropyCall entropy_call = &system_getrandom;

bool read_urandom(uint8_t* p, size_t size) {
    int fd;
    do fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) return false;
    while (size) {
        ssize_t n = ::read(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        p += n;
        size -= size_t(n);
    }
    ::close(fd);
    return size == 0;
}
}  // namespace

void set_entropy_call(EntropyCall call) { entropy_call = call ? call : &system_getrandom; }

bool secure_bytes(void* buffer, size_t size) {
    auto* p = static_cast<uint8_t*>(buffer);
    while (size) {
        ssize_t n = entropy_call(p, size, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        // Any other refusal (or a call that delivers nothing) leaves the rest to the device.
        if (n <= 0) return read_urandom(p, size);
        size_t got = size_t(n) < size ? size_t(n) : size;
        p += got;
        size -= got;
    }
    return true;
}

}  // namespace kro::platform
