#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "base/lasterror.h"
#include "base/memory.h"
#include "kelvane.h"

namespace {

std::string LastError() { return std::string(kvn::LastErrorText(), kvn::LastErrorLength()); }

TEST(LastError, MessagesAreJoinedOldestFirst) {
    kvn::ClearLastError();
    kvn::RecordError("Cannot open file '%s'/No se puede abrir el archivo", "a.xml");
    kvn::RecordError("second/segundo");
    EXPECT_EQ(LastError(), "Cannot open file 'a.xml'/No se puede abrir el archivo; second/segundo");
}

TEST(LastError, OverflowIsCutWithEllipsis) {
    kvn::ClearLastError();
    std::string big(4000, 'a');
    kvn::RecordError("%s", big.c_str());
    kvn::RecordError("%s", std::string(100, 'b').c_str());
    std::string text = LastError();
    ASSERT_EQ(text.size(), 4072u);
    EXPECT_EQ(text.substr(0, 4000), big);
    EXPECT_EQ(text.substr(4000, 2), "; ");
    EXPECT_EQ(text.substr(4002, 67), std::string(67, 'b'));
    EXPECT_EQ(text.substr(4069), "...");
    // A message that fits exactly is not marked.
    kvn::ClearLastError();
    kvn::RecordError("%s", std::string(4072, 'c').c_str());
    EXPECT_EQ(LastError(), std::string(4072, 'c'));
    // Nothing more fits once the text is full.
    kvn::RecordError("x");
    EXPECT_EQ(LastError().substr(4069), "...");
}

TEST(LastError, ExportReadsLengthAndCopiesWithNul) {
    kvn::ClearLastError();
    kvn::RecordError("0123456789");
    char buf[16];
    EXPECT_EQ(KVN_LastError(nullptr, 0), 10);
    EXPECT_EQ(KVN_LastError(buf, 0), 10);
    EXPECT_EQ(KVN_LastError(buf, 5), 5);
    EXPECT_STREQ(buf, "01234");
    EXPECT_EQ(KVN_LastError(buf, 15), 10);
    EXPECT_STREQ(buf, "0123456789");
    EXPECT_EQ(LastError(), "0123456789");  // reading does not empty it
}

TEST(Memory, WrappersRefuseHugeRequestsWithTheirMessages) {
    struct Case {
        const char* message;
        void (*call)();
    } cases[] = {
        {"malloc request is too big.", [] { kvn::emalloc(kvn::kMaxAllocation); }},
        {"calloc request is too big.", [] { kvn::ecalloc(kvn::kMaxAllocation, 1); }},
        {"calloc request is too big.", [] { kvn::ecalloc(1, kvn::kMaxAllocation); }},
        {"calloc request is too big.", [] { kvn::ecalloc(1 << 16, 1 << 16); }},
    };
    for (const Case& c : cases) {
        try {
            c.call();
            ADD_FAILURE() << "no exception for " << c.message;
        } catch (const std::bad_alloc& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
    }
}

TEST(Memory, InjectedFailureCarriesTheWrapperMessage) {
    long before = kvn::LiveBlocks();
    kvn::FailAllocationAfter(2);
    void* first = kvn::emalloc(8);
    EXPECT_THROW(kvn::estrdup("x"), std::bad_alloc);
    void* third = kvn::ecalloc(2, 2);  // the hook fires once
    kvn::efree(first);
    kvn::efree(third);
    EXPECT_EQ(kvn::LiveBlocks(), before);
    kvn::FailAllocationAfter(1);
    try {
        kvn::ecalloc(1, 1);
        ADD_FAILURE();
    } catch (const std::bad_alloc& e) {
        EXPECT_STREQ(e.what(), "calloc failed to allocate memory.");
    }
}

TEST(Memory, GrowKeepsContentsAndWipe) {
    char* p = static_cast<char*>(kvn::emalloc(4));
    std::memcpy(p, "abcd", 4);
    EXPECT_EQ(kvn::egrow(p, 4, 4), p);
    char* q = static_cast<char*>(kvn::egrow(p, 4, 8));
    EXPECT_EQ(std::string(q, 4), "abcd");
    kvn::ewipe(q, 8);
    EXPECT_EQ(std::string(q, 8), std::string(8, '\0'));
    kvn::efree(q);
    kvn::efree(nullptr);
}

}  // namespace
