// Small containers of the XML engine: a growable byte buffer, a vector of fixed-size
// elements, a pool of fixed-size blocks, a string-keyed chained hash table, and a read
// callback over a block of memory.
//
// All of them allocate through the library's wrappers (base/memory.h): an allocation
// failure propagates as std::bad_alloc and leaves the container as it was before the
// call. No call reports exhaustion by a null or zero result. None is thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace kvn {

struct BlockPool;

// ---------------------------------------------------------------------------------------
// TextBuffer: growable bytes. Invariant: capacity is a multiple of blockSize, and
// length <= capacity. The data may be one block borrowed from a BlockPool.
struct TextBuffer {
    std::size_t capacity = 0;
    std::size_t blockSize = 0;
    std::size_t length = 0;
    bool borrowed = false;
    char* data = nullptr;
    BlockPool* pool = nullptr;
};

void TextBufferInit(TextBuffer* buf, std::size_t blockSize, std::size_t initialCapacity);
void TextBufferInitFromPool(TextBuffer* buf, std::size_t blockSize, std::size_t initialCapacity,
                            BlockPool* pool);
// Append bytes; returns the (possibly moved) data pointer. The common case, room left in
// the block, stays inline; growing goes through TextBufferAppendGrow.
char* TextBufferAppendGrow(TextBuffer* buf, const void* bytes, std::size_t n);
inline char* TextBufferAppend(TextBuffer* buf, const void* bytes, std::size_t n) {
    if (buf->data && n <= buf->capacity - buf->length) {
        if (n) std::memmove(buf->data + buf->length, bytes, n);
        buf->length += n;
        return buf->data;
    }
    return TextBufferAppendGrow(buf, bytes, n);
}
inline char* TextBufferAppendByte(TextBuffer* buf, int byte) {
    if (buf->data && buf->length < buf->capacity) {
        buf->data[buf->length++] = static_cast<char>(byte);
        return buf->data;
    }
    char c = static_cast<char>(byte);
    return TextBufferAppendGrow(buf, &c, 1);
}
// Truncates (or extends with unspecified bytes) to n and re-fits the capacity to the
// smallest multiple of the block size holding n + 1 (shrinking keeps the block and never
// allocates).
void TextBufferSetLength(TextBuffer* buf, std::size_t n);
// Writes a zero after the content without counting it; returns the data.
char* TextBufferTerminate(TextBuffer* buf);
void TextBufferFree(TextBuffer* buf);

// ---------------------------------------------------------------------------------------
// Vector: count elements of elementSize bytes. Invariant: capacity is a multiple of step.
struct Vector {
    std::uint32_t count = 0;
    std::uint32_t capacity = 0;
    std::uint32_t step = 6;
    std::uint32_t elementSize = 0;
    unsigned char* data = nullptr;
};

inline constexpr std::uint32_t kVectorDefaultStep = 6;

// initialCapacity 0 means one growth step.
void VectorCreate(Vector* vec, std::uint32_t initialCapacity, std::uint32_t elementSize);
// Appends a slot (a copy of *element when given, zeroes otherwise); returns it. Inline
// while the capacity holds; VectorPushGrow grows the block.
void* VectorPushGrow(Vector* vec, const void* element);
inline void* VectorPush(Vector* vec, const void* element) {
    if (!vec->data || vec->count >= vec->capacity) return VectorPushGrow(vec, element);
    unsigned char* slot = vec->data + std::size_t{vec->count} * vec->elementSize;
    if (element)
        std::memcpy(slot, element, vec->elementSize);
    else
        std::memset(slot, 0, vec->elementSize);
    ++vec->count;
    return slot;
}
// Removes one element, shifting the tail down; shrinks capacity to fit (at least one step)
// without allocating.
void VectorRemoveAt(Vector* vec, std::uint32_t index);
// Null outside 0..count-1.
inline void* VectorAt(const Vector* vec, std::uint32_t index) {
    if (index >= vec->count) return nullptr;
    return vec->data + std::size_t{index} * vec->elementSize;
}
// Keeps at most n elements; n == 0 also shrinks the capacity back to one step.
void VectorTruncate(Vector* vec, std::uint32_t n);
void VectorFree(Vector* vec);

template <class T>
inline T* VectorItem(const Vector* vec, std::uint32_t index) {
    return static_cast<T*>(VectorAt(vec, index));
}

// ---------------------------------------------------------------------------------------
// BlockPool: fixed-size blocks carved from chunks of blocksPerChunk blocks.
struct BlockPool {
    std::size_t blockSize = 0;
    std::size_t blocksPerChunk = 0;
    std::size_t chunkSize = 0;  // blocksPerChunk * blockSize + 8 (the chunk link)
    std::size_t totalBlocks = 0;
    std::size_t freeBlocks = 0;
    std::size_t chunks = 0;
    void* freeList = nullptr;
    void* chunkList = nullptr;
};

BlockPool* BlockPoolCreate(std::size_t blockSize, std::size_t blocksPerChunk);
void* BlockPoolAlloc(BlockPool* pool);
void BlockPoolFree(BlockPool* pool, void* block);
void BlockPoolDestroy(BlockPool* pool);

// ---------------------------------------------------------------------------------------
// HashTable: string keys, chained buckets, entries carved from chunks of buckets/4.
// Entry layout: key pointer, next pointer, then the value area at valueOffset (16):
// a pointer value, or (option kHashInlineValues) entrySize - 16 bytes of inline value.
inline constexpr int kHashBorrowedKeys = 1;  // keys are not copied and not freed
inline constexpr int kHashInlineValues = 2;  // values live inside the entry

// HashTableForEach callback: returns 0 to go on, kHashFreeKey to free the key and go on,
// anything else to stop with that result.
inline constexpr int kHashFreeKey = 3333;
using HashCallback = int (*)(const char* key, void* value, void* context);

// HashTableDestroy modes.
inline constexpr int kHashDestroyTableIsContext = 1;
inline constexpr int kHashDestroyNoCallback = 2;
inline constexpr int kHashDestroyKeepTable = 4;

struct HashEntry {
    char* key;
    HashEntry* next;
};

struct HashTable {
    std::uint32_t buckets = 0;
    std::uint32_t valueOffset = 16;
    std::uint32_t entrySize = 24;
    int options = 0;
    HashEntry** bucket = nullptr;
    void* chunks = nullptr;        // chained list of entry chunks
    HashEntry* freeEntries = nullptr;
    HashEntry* lastEntry = nullptr;  // the entry touched by the last insert or lookup
    void* context = nullptr;         // handed to callbacks
};

// Creates a table with pointer values and copied keys; the caller may set options and
// entrySize (for inline values) before the first insert.
HashTable* HashTableCreate(std::uint32_t buckets);
// Pointer values: stores value, returning the previous value when the key existed, else
// value. Inline values: returns the value area of a new entry; for an existing key returns
// `value` when it is non-null (the caller's "already present" signal), else the area.
void* HashTableInsert(HashTable* table, const char* key, void* value);
// The value (pointer values) or value area (inline values); null when absent.
void* HashTableLookup(HashTable* table, const char* key);
// Removes the key; returns its value (pointer values) or null.
void* HashTableRemove(HashTable* table, const char* key);
int HashTableForEach(HashTable* table, HashCallback callback);
// The callback (may be null) sees each entry unless mode has kHashDestroyNoCallback.
void HashTableDestroy(HashTable* table, HashCallback callback, int mode);
// The bucket a key falls into (8-bit hash below 256 buckets, 16-bit hash from 256 on).
std::uint32_t HashTableBucketOf(const HashTable* table, const char* key);

// ---------------------------------------------------------------------------------------
// MemorySource and its read callback (the parser's read-callback contract):
// copies up to size bytes, stores the count in *got, returns 1 when this call reached the
// end of the data and 0 while more remains.
struct MemorySource {
    const char* data = nullptr;
    std::size_t length = 0;
    std::size_t position = 0;
};

int MemoryRead(void* buffer, int size, int* got, void* source);

}  // namespace kvn
