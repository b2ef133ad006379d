// Every allocation of the document readers may fail: the failure must come out as
// std::bad_alloc (the exports turn it into MEMORY_ERROR) with nothing leaked.
#include <gtest/gtest.h>

#include <new>
#include <string>
#include <vector>

#include "base/memory.h"
#include "cfdi/attribute_query.h"
#include "cfdi/pipe_string.h"
#include "cfdi/signature_attribute.h"
#include "doc_files.h"

namespace kvn {
namespace {

// Runs op with the n-th allocation failing, for n = 1, 2, ... until op completes without
// reaching the failure. Returns the number of failing runs.
template <class Op>
int FailEachAllocation(Op op) {
    int failures = 0;
    for (long n = 1; n < 100000; ++n) {
        long before = LiveBlocks();
        FailAllocationAfter(n);
        bool threw = false;
        try {
            op();
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        FailAllocationAfter(0);
        EXPECT_EQ(LiveBlocks(), before) << "leak with allocation " << n << " failing";
        if (!threw) return failures;
        ++failures;
    }
    ADD_FAILURE() << "never completed";
    return failures;
}

TEST(AllocationFailure, PipeStringAttributeQueryAndSignatureReaders) {
    std::string doc = testing::FixturePath("complement_detallista.xml");
    std::vector<char> out(4096);
    EXPECT_GT(FailEachAllocation([&] { MakePipeString(out.data(), 4000, doc.c_str(), 0); }), 0);
    FailEachAllocation([&] { VersionNumber(doc.c_str()); });
    std::string stamped = testing::FixturePath("cfdi32_stamped.xml");
    EXPECT_GT(FailEachAllocation([&] {
                  String value;
                  ReadStampSignature(stamped.c_str(), value);
              }),
              0);
}

}  // namespace
}  // namespace kvn
