#include "base/memory.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

namespace kvn {
namespace {

std::atomic<long> g_live_blocks{0};
std::atomic<long> g_fail_countdown{0};

// True when the test hook says this allocation must fail.
bool InjectedFailure() noexcept {
    long n = g_fail_countdown.load(std::memory_order_relaxed);
    if (n <= 0) return false;
    if (g_fail_countdown.fetch_sub(1, std::memory_order_relaxed) == 1) return true;
    return false;
}

void* Track(void* p) noexcept {
    if (p) g_live_blocks.fetch_add(1, std::memory_order_relaxed);
    return p;
}

}  // namespace

void* emalloc(std::size_t n) {
    if (n >= kMaxAllocation) throw AllocError("malloc request is too big.");
    void* p = InjectedFailure() ? nullptr : std::malloc(n ? n : 1);
    if (!p) throw AllocError("malloc failed to allocate memory.");
    return Track(p);
}

void* ecalloc(std::size_t count, std::size_t size) {
    if (count >= kMaxAllocation || size >= kMaxAllocation) throw AllocError("calloc request is too big.");
    count = count ? count : 1;
    size = size ? size : 1;
    if (count > kMaxAllocation / size) throw AllocError("calloc request is too big.");
    void* p = InjectedFailure() ? nullptr : std::calloc(count, size);
    if (!p) throw AllocError("calloc failed to allocate memory.");
    return Track(p);
}

char* estrdup(const char* s) {
    std::size_t n = std::strlen(s) + 1;
    if (n >= kMaxAllocation) throw AllocError("malloc request is too big.");
    void* p = InjectedFailure() ? nullptr : std::malloc(n);
    if (!p) throw AllocError("estrdup failed to allocate memory.");
    std::memcpy(p, s, n);
    return static_cast<char*>(Track(p));
}

void efree(void* block) noexcept {
    if (!block) return;
    g_live_blocks.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

void ewipe(void* block, std::size_t n) noexcept {
    if (!block) return;
    std::memset(block, 0, n);
    // The compiler must assume the block is read after the memset, so it cannot drop the
    // writes as dead stores (which it may do before a free), and the memset stays a
    // whole-word one rather than a byte at a time.
    __asm__ __volatile__("" : : "r"(block) : "memory");
}

void* egrow(void* block, std::size_t old_size, std::size_t new_size) {
    if (new_size <= old_size) return block;
    void* grown = emalloc(new_size);
    if (block) {
        std::memcpy(grown, block, old_size);
        ewipe(block, old_size);
        efree(block);
    }
    return grown;
}

long LiveBlocks() noexcept { return g_live_blocks.load(); }

void FailAllocationAfter(long n) noexcept { g_fail_countdown.store(n < 0 ? 0 : n); }

long AllocationFailurePending() noexcept { return g_fail_countdown.load(); }

}  // namespace kvn
