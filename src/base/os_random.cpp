#include "base/os_random.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "base/lasterror.h"

namespace kvn {
namespace {

std::atomic<OsRandomSources> g_sources{OsRandomSources::kAll};

// getrandom(2) without flags: blocks only until the kernel's pool is first initialised,
// then never. Returns false when the call is unavailable (old kernel, seccomp filter).
bool FromGetrandom(std::uint8_t* p, std::size_t n) noexcept {
    while (n > 0) {
        ssize_t got = ::getrandom(p, n, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

// /dev/urandom, refused unless it is a character device (a chroot may hold a plain file).
bool FromDevUrandom(std::uint8_t* p, std::size_t n) noexcept {
    int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode);
    while (ok && n > 0) {
        ssize_t got = ::read(fd, p, n);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            ok = false;
            break;
        }
        p += got;
        n -= static_cast<std::size_t>(got);
    }
    ::close(fd);
    return ok;
}

}  // namespace

bool ReadOsRandom(void* buffer, std::size_t count) noexcept {
    if (count == 0) return true;
    auto* p = static_cast<std::uint8_t*>(buffer);
    const OsRandomSources sources = g_sources.load(std::memory_order_relaxed);
    if (p && sources == OsRandomSources::kAll && FromGetrandom(p, count)) return true;
    if (p && sources != OsRandomSources::kNone && FromDevUrandom(p, count)) return true;
    RecordError("Cannot get random bytes from the operating system/No se pueden obtener bytes aleatorios del sistema operativo");
    return false;
}

void SetOsRandomSourcesForTesting(OsRandomSources sources) noexcept { g_sources.store(sources, std::memory_order_relaxed); }

}  // namespace kvn
