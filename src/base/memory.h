// Allocation policy of the library.
//
// Every heap block of the library comes from these wrappers (directly, or through
// the allocator and container aliases below), so that one policy holds everywhere:
//  - a request of 1 GiB or more, or a failed allocation, throws kvn::AllocError
//    (a std::bad_alloc carrying the wrapper's message, e.g. "malloc request is too big.");
//  - each export catches std::bad_alloc, records the message in the last-error text and
//    returns MEMORY_ERROR; owners release what they hold on the way out (RAII).
// The host process is never ended by the library.
//
// Secrets (passwords, key strings, private-key DER, derived keys, plaintexts) live in
// SecureBytes / SecureString, whose storage is zeroed before it is released, or are
// wiped with ewipe() before release.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace kvn {

// Thrown by the wrappers; what() is the wrapper's message.
class AllocError : public std::bad_alloc {
public:
    explicit AllocError(const char* message) noexcept : message_(message) {}
    const char* what() const noexcept override { return message_; }

private:
    const char* message_;
};

inline constexpr std::size_t kMaxAllocation = std::size_t{1} << 30;  // 1 GiB

void* emalloc(std::size_t n);                       // max(n,1) bytes, uninitialised
void* ecalloc(std::size_t count, std::size_t size); // max(count,1)*max(size,1) zeroed bytes
char* estrdup(const char* s);                       // copy of a NUL-terminated string
void efree(void* block) noexcept;                   // null is allowed
void ewipe(void* block, std::size_t n) noexcept;    // zeroes n bytes; never elided
// Returns block if new_size <= old_size; otherwise a new block holding the first
// old_size bytes, the old block wiped and freed. On failure the old block is untouched.
void* egrow(void* block, std::size_t old_size, std::size_t new_size);

// Number of live blocks handed out by the wrappers (for leak checks in tests).
long LiveBlocks() noexcept;

// Test hook: make the Nth allocation from now fail (1 = the next one); 0 disables.
// Every allocation counted by the wrappers takes part.
void FailAllocationAfter(long n) noexcept;
// Allocations left before the armed failure; 0 once it has fired (or when none is armed).
long AllocationFailurePending() noexcept;

// std allocator over emalloc/efree.
template <class T>
struct Allocator {
    using value_type = T;
    Allocator() noexcept = default;
    template <class U>
    Allocator(const Allocator<U>&) noexcept {}
    T* allocate(std::size_t n) {
        if (n > kMaxAllocation / sizeof(T)) throw AllocError("malloc request is too big.");
        return static_cast<T*>(emalloc(n * sizeof(T)));
    }
    void deallocate(T* p, std::size_t) noexcept { efree(p); }
    template <class U>
    bool operator==(const Allocator<U>&) const noexcept { return true; }
};

// std allocator that zeroes storage before it is released.
template <class T>
struct WipingAllocator {
    using value_type = T;
    WipingAllocator() noexcept = default;
    template <class U>
    WipingAllocator(const WipingAllocator<U>&) noexcept {}
    T* allocate(std::size_t n) { return Allocator<T>().allocate(n); }
    void deallocate(T* p, std::size_t n) noexcept {
        ewipe(p, n * sizeof(T));
        efree(p);
    }
    template <class U>
    bool operator==(const WipingAllocator<U>&) const noexcept { return true; }
};

template <class T>
using Vec = std::vector<T, Allocator<T>>;
using Bytes = std::vector<std::uint8_t, Allocator<std::uint8_t>>;
using String = std::basic_string<char, std::char_traits<char>, Allocator<char>>;
using SecureBytes = std::vector<std::uint8_t, WipingAllocator<std::uint8_t>>;
using SecureString = std::basic_string<char, std::char_traits<char>, WipingAllocator<char>>;

// Hash map and set keyed by text that the owner keeps alive elsewhere (the keys are views;
// a const char* key converts to one).
template <class V>
using TextMap = std::unordered_map<std::string_view, V, std::hash<std::string_view>, std::equal_to<std::string_view>,
                                   Allocator<std::pair<const std::string_view, V>>>;
using TextSet = std::unordered_set<std::string_view, std::hash<std::string_view>, std::equal_to<std::string_view>,
                                   Allocator<std::string_view>>;

// Single heap records: kvn::MakeUnique<T>(args...) gives a kvn::UniquePtr<T>.
template <class T>
struct Deleter {
    void operator()(T* p) const noexcept {
        if (p) {
            p->~T();
            efree(p);
        }
    }
};
template <class T>
using UniquePtr = std::unique_ptr<T, Deleter<T>>;

template <class T, class... Args>
UniquePtr<T> MakeUnique(Args&&... args) {
    void* raw = emalloc(sizeof(T));
    try {
        return UniquePtr<T>(new (raw) T(std::forward<Args>(args)...));
    } catch (...) {
        efree(raw);
        throw;
    }
}

}  // namespace kvn
