#include "xml/containers.h"

#include <cstring>

#include "base/memory.h"

namespace kvn {
namespace {

std::size_t RoundUp(std::size_t n, std::size_t unit) {
    if (unit == 0) return n;
    return (n + unit - 1) / unit * unit;
}

// Moves the buffer's content into a fresh block of newCapacity bytes.
void TextBufferResize(TextBuffer* buf, std::size_t newCapacity) {
    char* fresh = static_cast<char*>(emalloc(newCapacity));
    std::size_t keep = buf->length < newCapacity ? buf->length : newCapacity;
    if (keep) std::memcpy(fresh, buf->data, keep);
    if (buf->borrowed)
        BlockPoolFree(buf->pool, buf->data);
    else
        efree(buf->data);
    buf->borrowed = false;
    buf->data = fresh;
    buf->capacity = newCapacity;
}

void TextBufferReserve(TextBuffer* buf, std::size_t needed) {
    if (needed <= buf->capacity && buf->data) return;
    // At least double a full buffer, so that appending byte runs stays linear.
    std::size_t want = needed > buf->capacity * 2 ? needed : buf->capacity * 2;
    TextBufferResize(buf, RoundUp(want ? want : 1, buf->blockSize));
}

}  // namespace

// ---------------------------------------------------------------------------------------
// TextBuffer

void TextBufferInit(TextBuffer* buf, std::size_t blockSize, std::size_t initialCapacity) {
    *buf = TextBuffer{};
    buf->blockSize = blockSize ? blockSize : 1;
    if (initialCapacity) TextBufferReserve(buf, initialCapacity);
}

void TextBufferInitFromPool(TextBuffer* buf, std::size_t blockSize, std::size_t initialCapacity,
                            BlockPool* pool) {
    *buf = TextBuffer{};
    buf->blockSize = blockSize ? blockSize : 1;
    buf->pool = pool;
    std::size_t wanted = RoundUp(initialCapacity ? initialCapacity : 1, buf->blockSize);
    if (pool && pool->blockSize >= wanted) {
        buf->data = static_cast<char*>(BlockPoolAlloc(pool));
        buf->borrowed = true;
        buf->capacity = pool->blockSize;
        return;
    }
    TextBufferReserve(buf, wanted);
}

char* TextBufferAppendGrow(TextBuffer* buf, const void* bytes, std::size_t n) {
    // The source may lie inside the buffer itself (appending a copy of earlier content):
    // remember it as an offset, since growing the buffer moves the data.
    const char* src = static_cast<const char*>(bytes);
    bool inside = buf->data && src >= buf->data && src < buf->data + buf->capacity;
    std::size_t offset = inside ? static_cast<std::size_t>(src - buf->data) : 0;
    TextBufferReserve(buf, buf->length + n);
    if (inside) src = buf->data + offset;
    if (n) std::memmove(buf->data + buf->length, src, n);
    buf->length += n;
    return buf->data;
}

void TextBufferSetLength(TextBuffer* buf, std::size_t n) {
    std::size_t fit = RoundUp(n + 1, buf->blockSize);
    if (fit > buf->capacity || !buf->data) {
        TextBufferResize(buf, fit);
    } else if (!buf->borrowed) {
        buf->capacity = fit;  // shrinking keeps the block: only the capacity is re-fitted
    }
    buf->length = n;
}

char* TextBufferTerminate(TextBuffer* buf) {
    TextBufferReserve(buf, buf->length + 1);
    buf->data[buf->length] = '\0';
    return buf->data;
}

void TextBufferFree(TextBuffer* buf) {
    if (buf->borrowed)
        BlockPoolFree(buf->pool, buf->data);
    else
        efree(buf->data);
    buf->data = nullptr;
    buf->capacity = buf->length = 0;
    buf->borrowed = false;
}

// ---------------------------------------------------------------------------------------
// Vector

namespace {

// Grows the block to hold capacity elements, or, for a smaller capacity, re-fits the
// capacity and keeps the block (shrinking never allocates, so it cannot fail).
void VectorResize(Vector* vec, std::uint32_t capacity) {
    if (capacity <= vec->capacity && vec->data) {
        vec->capacity = capacity;
        return;
    }
    auto* fresh = static_cast<unsigned char*>(emalloc(static_cast<std::size_t>(capacity) * vec->elementSize));
    if (vec->count) std::memcpy(fresh, vec->data, std::size_t{vec->count} * vec->elementSize);
    efree(vec->data);
    vec->data = fresh;
    vec->capacity = capacity;
}

std::uint32_t FitCapacity(const Vector* vec, std::uint32_t count) {
    std::uint32_t cap = static_cast<std::uint32_t>(RoundUp(count, vec->step));
    return cap ? cap : vec->step;
}

}  // namespace

void VectorCreate(Vector* vec, std::uint32_t initialCapacity, std::uint32_t elementSize) {
    *vec = Vector{};
    vec->step = kVectorDefaultStep;
    vec->elementSize = elementSize ? elementSize : 1;
    VectorResize(vec, FitCapacity(vec, initialCapacity));
}

void* VectorPushGrow(Vector* vec, const void* element) {
    if (vec->count >= vec->capacity || !vec->data) {
        if (vec->count >= UINT32_MAX - vec->step) throw AllocError("Vector request is too big.");
        VectorResize(vec, FitCapacity(vec, vec->count + 1));
    }
    unsigned char* slot = vec->data + std::size_t{vec->count} * vec->elementSize;
    if (element)
        std::memcpy(slot, element, vec->elementSize);
    else
        std::memset(slot, 0, vec->elementSize);
    ++vec->count;
    return slot;
}

void VectorRemoveAt(Vector* vec, std::uint32_t index) {
    if (index >= vec->count) return;
    unsigned char* slot = vec->data + std::size_t{index} * vec->elementSize;
    std::memmove(slot, slot + vec->elementSize,
                 std::size_t{vec->count - index - 1} * vec->elementSize);
    --vec->count;
    VectorResize(vec, FitCapacity(vec, vec->count));
}

void VectorTruncate(Vector* vec, std::uint32_t n) {
    if (n < vec->count) vec->count = n;
    if (n == 0) VectorResize(vec, vec->step);
}

void VectorFree(Vector* vec) {
    efree(vec->data);
    vec->data = nullptr;
    vec->count = vec->capacity = 0;
}

// ---------------------------------------------------------------------------------------
// BlockPool. A chunk is an 8-byte link to the next chunk followed by the blocks; a free
// block holds the link to the next free block in its first bytes.

BlockPool* BlockPoolCreate(std::size_t blockSize, std::size_t blocksPerChunk) {
    auto* pool = static_cast<BlockPool*>(emalloc(sizeof(BlockPool)));
    *pool = BlockPool{};
    pool->blockSize = RoundUp(blockSize < sizeof(void*) ? sizeof(void*) : blockSize, 8);
    pool->blocksPerChunk = blocksPerChunk ? blocksPerChunk : 1;
    pool->chunkSize = pool->blocksPerChunk * pool->blockSize + 8;
    return pool;
}

void* BlockPoolAlloc(BlockPool* pool) {
    if (!pool->freeList) {
        auto* chunk = static_cast<unsigned char*>(emalloc(pool->chunkSize));
        *reinterpret_cast<void**>(chunk) = pool->chunkList;
        pool->chunkList = chunk;
        ++pool->chunks;
        for (std::size_t i = pool->blocksPerChunk; i-- > 0;) {
            void* block = chunk + 8 + i * pool->blockSize;
            *static_cast<void**>(block) = pool->freeList;
            pool->freeList = block;
        }
        pool->totalBlocks += pool->blocksPerChunk;
        pool->freeBlocks += pool->blocksPerChunk;
    }
    void* block = pool->freeList;
    pool->freeList = *static_cast<void**>(block);
    --pool->freeBlocks;
    return block;
}

void BlockPoolFree(BlockPool* pool, void* block) {
    if (!block || pool->freeBlocks >= pool->totalBlocks) return;
    *static_cast<void**>(block) = pool->freeList;
    pool->freeList = block;
    ++pool->freeBlocks;
}

void BlockPoolDestroy(BlockPool* pool) {
    if (!pool) return;
    void* chunk = pool->chunkList;
    while (chunk) {
        void* next = *static_cast<void**>(chunk);
        efree(chunk);
        chunk = next;
    }
    efree(pool);
}

// ---------------------------------------------------------------------------------------
// HashTable

namespace {

// A fixed permutation of 0..255 (any permutation serves; nothing stored depends on it).
struct Permutation {
    unsigned char t[256];
    constexpr Permutation() : t() {
        for (int i = 0; i < 256; ++i) t[i] = static_cast<unsigned char>((i * 167 + 13) & 0xFF);
    }
};
constexpr Permutation kPerm;

std::uint32_t HashKey(const char* key, std::uint32_t buckets, std::size_t* length) {
    const auto* p = reinterpret_cast<const unsigned char*>(key);
    std::size_t n = 0;
    std::uint32_t bucket;
    if (buckets < 256) {
        unsigned h = 0;
        for (; p[n]; ++n) h = kPerm.t[h ^ p[n]];
        bucket = h % buckets;
    } else if (!p[0]) {
        bucket = 0;
    } else {
        unsigned h1 = p[0], h2 = (p[0] + 1u) & 0xFF;
        for (n = 1; p[n]; ++n) {
            h1 = kPerm.t[h1 ^ p[n]];
            h2 = kPerm.t[h2 ^ p[n]];
        }
        bucket = (h1 * 256 + h2) % buckets;
    }
    if (length) *length = n;
    return bucket;
}

void* ValueArea(const HashTable* table, HashEntry* e) {
    return reinterpret_cast<unsigned char*>(e) + table->valueOffset;
}

void*& PointerValue(const HashTable* table, HashEntry* e) {
    return *static_cast<void**>(ValueArea(table, e));
}

// Entries are laid out at 8-byte strides so that every entry's pointers are aligned.
std::size_t EntryStride(const HashTable* table) { return RoundUp(table->entrySize, 8); }

void TakeEntryChunk(HashTable* table) {
    std::size_t perChunk = table->buckets / 4 ? table->buckets / 4 : 1;
    std::size_t stride = EntryStride(table);
    auto* chunk = static_cast<unsigned char*>(emalloc(8 + perChunk * stride));
    *reinterpret_cast<void**>(chunk) = table->chunks;
    table->chunks = chunk;
    for (std::size_t i = perChunk; i-- > 0;) {
        auto* e = reinterpret_cast<HashEntry*>(chunk + 8 + i * stride);
        e->next = table->freeEntries;
        table->freeEntries = e;
    }
}

HashEntry* FindEntry(HashTable* table, const char* key, HashEntry*** link) {
    std::uint32_t b = HashKey(key, table->buckets, nullptr);
    HashEntry** at = &table->bucket[b];
    while (*at && (!(*at)->key || std::strcmp((*at)->key, key) != 0)) at = &(*at)->next;
    if (link) *link = at;
    return *at;
}

void ReleaseKey(HashTable* table, HashEntry* e) {
    if (!(table->options & kHashBorrowedKeys)) efree(e->key);
    e->key = nullptr;
}

}  // namespace

std::uint32_t HashTableBucketOf(const HashTable* table, const char* key) {
    return HashKey(key, table->buckets, nullptr);
}

HashTable* HashTableCreate(std::uint32_t buckets) {
    if (buckets == 0) buckets = 1;
    auto* bucket = static_cast<HashEntry**>(ecalloc(buckets, sizeof(HashEntry*)));
    HashTable* table;
    try {
        table = static_cast<HashTable*>(emalloc(sizeof(HashTable)));
    } catch (...) {
        efree(bucket);
        throw;
    }
    *table = HashTable{};
    table->buckets = buckets;
    table->bucket = bucket;
    return table;
}

void* HashTableInsert(HashTable* table, const char* key, void* value) {
    bool inlineValues = table->options & kHashInlineValues;
    if (HashEntry* e = FindEntry(table, key, nullptr)) {
        table->lastEntry = e;
        if (inlineValues) return value ? value : ValueArea(table, e);
        void* old = PointerValue(table, e);
        PointerValue(table, e) = value;
        return old;
    }
    if (!table->freeEntries) TakeEntryChunk(table);
    std::size_t length = 0;
    std::uint32_t b = HashKey(key, table->buckets, &length);
    char* storedKey = const_cast<char*>(key);
    if (!(table->options & kHashBorrowedKeys)) {
        storedKey = static_cast<char*>(emalloc(length + 1));
        std::memcpy(storedKey, key, length + 1);
    }
    HashEntry* e = table->freeEntries;
    table->freeEntries = e->next;
    e->key = storedKey;
    e->next = table->bucket[b];
    table->bucket[b] = e;
    table->lastEntry = e;
    if (inlineValues) {
        std::memset(ValueArea(table, e), 0, table->entrySize - table->valueOffset);
        return ValueArea(table, e);
    }
    PointerValue(table, e) = value;
    return value;
}

void* HashTableLookup(HashTable* table, const char* key) {
    HashEntry* e = FindEntry(table, key, nullptr);
    if (!e) return nullptr;
    table->lastEntry = e;
    return (table->options & kHashInlineValues) ? ValueArea(table, e) : PointerValue(table, e);
}

void* HashTableRemove(HashTable* table, const char* key) {
    HashEntry** link = nullptr;
    HashEntry* e = FindEntry(table, key, &link);
    if (!e) return nullptr;
    void* value = (table->options & kHashInlineValues) ? nullptr : PointerValue(table, e);
    *link = e->next;
    ReleaseKey(table, e);
    if (table->lastEntry == e) table->lastEntry = nullptr;
    e->next = table->freeEntries;
    table->freeEntries = e;
    return value;
}

int HashTableForEach(HashTable* table, HashCallback callback) {
    bool inlineValues = table->options & kHashInlineValues;
    for (std::uint32_t b = 0; b < table->buckets; ++b) {
        for (HashEntry* e = table->bucket[b]; e; e = e->next) {
            void* value = inlineValues ? ValueArea(table, e) : PointerValue(table, e);
            int rc = callback(e->key, value, table->context);
            if (rc == kHashFreeKey) {
                ReleaseKey(table, e);  // the entry stays, keyless, until the table goes
            } else if (rc != 0) {
                return rc;
            }
        }
    }
    return 0;
}

void HashTableDestroy(HashTable* table, HashCallback callback, int mode) {
    if (!table) return;
    bool inlineValues = table->options & kHashInlineValues;
    void* context = (mode & kHashDestroyTableIsContext) ? static_cast<void*>(table) : table->context;
    for (std::uint32_t b = 0; b < table->buckets; ++b) {
        for (HashEntry* e = table->bucket[b]; e; e = e->next) {
            if (callback && !(mode & kHashDestroyNoCallback)) {
                void* value = inlineValues ? ValueArea(table, e) : PointerValue(table, e);
                callback(e->key, value, context);
            }
            if (e->key)
                ReleaseKey(table, e);
        }
    }
    // Free every chunk but (when kept) the first one made, which is the last in the list.
    void* chunk = table->chunks;
    void* first = nullptr;
    while (chunk) {
        void* next = *static_cast<void**>(chunk);
        if (next == nullptr && (mode & kHashDestroyKeepTable))
            first = chunk;
        else
            efree(chunk);
        chunk = next;
    }
    if (mode & kHashDestroyKeepTable) {
        std::memset(table->bucket, 0, sizeof(HashEntry*) * table->buckets);
        table->chunks = first;
        table->freeEntries = nullptr;
        table->lastEntry = nullptr;
        if (first) {
            std::size_t perChunk = table->buckets / 4 ? table->buckets / 4 : 1;
            auto* bytes = static_cast<unsigned char*>(first);
            *reinterpret_cast<void**>(bytes) = nullptr;
            for (std::size_t i = perChunk; i-- > 0;) {
                auto* e = reinterpret_cast<HashEntry*>(bytes + 8 + i * EntryStride(table));
                e->next = table->freeEntries;
                table->freeEntries = e;
            }
        }
        return;
    }
    efree(table->bucket);
    efree(table);
}

// ---------------------------------------------------------------------------------------
// MemoryRead

int MemoryRead(void* buffer, int size, int* got, void* source) {
    auto* src = static_cast<MemorySource*>(source);
    std::size_t left = src->length - src->position;
    std::size_t n = size > 0 ? static_cast<std::size_t>(size) : 0;
    if (n > left) n = left;
    if (n) std::memcpy(buffer, src->data + src->position, n);
    src->position += n;
    *got = static_cast<int>(n);
    return src->position >= src->length ? 1 : 0;
}

}  // namespace kvn
