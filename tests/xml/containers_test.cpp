// Growth, removal and hashing rules of the parser's containers.
#include <gtest/gtest.h>

#include <cstring>

#include "base/memory.h"
#include "xml/containers.h"

namespace {

using namespace kvn;

TEST(XmlContainers, TextBufferGrowsInWholeBlocks) {
    TextBuffer b;
    TextBufferInit(&b, 4096, 0);
    ASSERT_NE(TextBufferAppendByte(&b, 'x'), nullptr);
    EXPECT_EQ(b.capacity, 4096u);
    TextBufferFree(&b);
    std::string big(4097, 'y');
    TextBufferInit(&b, 4096, 0);
    ASSERT_NE(TextBufferAppend(&b, big.data(), big.size()), nullptr);
    EXPECT_EQ(b.capacity, 8192u);
    EXPECT_STREQ(TextBufferTerminate(&b) + 4090, "yyyyyyy");
    EXPECT_EQ(b.length, 4097u);
    TextBufferSetLength(&b, 10);
    EXPECT_EQ(b.capacity, 4096u);
    TextBufferFree(&b);

    // A buffer borrowing a pool block moves to the heap when it outgrows it.
    BlockPool* pool = BlockPoolCreate(128, 8);
    TextBufferInitFromPool(&b, 64, 64, pool);
    EXPECT_TRUE(b.borrowed);
    EXPECT_EQ(pool->freeBlocks, 7u);
    TextBufferAppend(&b, big.data(), 200);
    EXPECT_FALSE(b.borrowed);
    EXPECT_EQ(pool->freeBlocks, 8u);
    EXPECT_EQ(std::memcmp(b.data, big.data(), 200), 0);
    TextBufferFree(&b);
    BlockPoolDestroy(pool);
}

TEST(XmlContainers, VectorKeepsCapacityAMultipleOfTheStep) {
    Vector v;
    VectorCreate(&v, 0, sizeof(int));
    EXPECT_EQ(v.capacity, 6u);
    for (int i = 0; i < 7; ++i) VectorPush(&v, &i);
    EXPECT_EQ(v.capacity, 12u);
    VectorRemoveAt(&v, 0);
    EXPECT_EQ(*VectorItem<int>(&v, 0), 1);
    EXPECT_EQ(v.capacity, 6u);
    EXPECT_EQ(VectorAt(&v, 6), nullptr);
    VectorTruncate(&v, 0);
    int one = 1;
    VectorFree(&v);
    VectorCreate(&v, 0, sizeof(int));
    VectorPush(&v, &one);
    VectorRemoveAt(&v, 0);
    EXPECT_EQ(v.count, 0u);
    EXPECT_EQ(v.capacity, 6u);
    VectorFree(&v);
}

TEST(XmlContainers, HashTableInsertLookupRemove) {
    HashTable* t = HashTableCreate(255);
    int a = 1, b = 2;
    EXPECT_EQ(HashTableInsert(t, "k", &a), &a);
    EXPECT_EQ(HashTableInsert(t, "k", &b), &a);  // the old value comes back
    EXPECT_EQ(HashTableLookup(t, "k"), &b);
    int entries = 0;
    t->context = &entries;
    HashTableForEach(t, [](const char*, void*, void* ctx) { ++*static_cast<int*>(ctx); return 0; });
    EXPECT_EQ(entries, 1);
    EXPECT_EQ(HashTableRemove(t, "k"), &b);
    EXPECT_EQ(HashTableLookup(t, "k"), nullptr);
    for (int i = 0; i < 1000; ++i) HashTableInsert(t, std::to_string(i).c_str(), &a);
    EXPECT_EQ(HashTableLookup(t, "999"), &a);
    HashTableDestroy(t, nullptr, 0);

    // Inline values: an existing key returns the caller's pointer as the signal.
    HashTable* in = HashTableCreate(64);
    in->options = kHashInlineValues;
    in->entrySize = 16 + sizeof(int);
    auto* slot = static_cast<int*>(HashTableInsert(in, "x", nullptr));
    *slot = 7;
    int mine = 0;
    EXPECT_EQ(HashTableInsert(in, "x", &mine), &mine);
    EXPECT_EQ(*static_cast<int*>(HashTableLookup(in, "x")), 7);
    HashTableDestroy(in, nullptr, 0);
}

TEST(XmlContainers, HashWidthDependsOnBucketCount) {
    HashTable* small = HashTableCreate(255);
    HashTable* large = HashTableCreate(256);
    bool differ = false;
    for (int i = 0; i < 50 && !differ; ++i) {
        std::string k = "key" + std::to_string(i);
        EXPECT_LT(HashTableBucketOf(small, k.c_str()), 255u);
        differ = HashTableBucketOf(small, k.c_str()) != HashTableBucketOf(large, k.c_str()) % 255;
    }
    EXPECT_TRUE(differ);
    EXPECT_EQ(HashTableBucketOf(large, ""), 0u);
    HashTableDestroy(small, nullptr, 0);
    HashTableDestroy(large, nullptr, 0);
}

TEST(XmlContainers, MemoryReadReportsTheEnd) {
    MemorySource src{"abcdef", 6, 0};
    char buf[4];
    int got = 0;
    EXPECT_EQ(MemoryRead(buf, 4, &got, &src), 0);
    EXPECT_EQ(got, 4);
    EXPECT_EQ(MemoryRead(buf, 4, &got, &src), 1);
    EXPECT_EQ(got, 2);
}

}  // namespace
