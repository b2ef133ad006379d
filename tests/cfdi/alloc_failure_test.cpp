// Every allocation of the document readers may fail: the failure must come out as
// std::bad_alloc (the exports turn it into MEMORY_ERROR) with nothing leaked.
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <string>
#include <vector>

#include "base/memory.h"
#include "cfdi/attribute_query.h"
#include "cfdi/pipe_string.h"
#include "cfdi/signature_attribute.h"
#include "doc_files.h"
#include "support/fault_sim.h"

namespace kvn {
namespace {

using kvn_test::FaultSim;
using kvn_test::ThrowsOrGives;

// Sweeps op, whose undisturbed result is taken first: every fault must end it with
// std::bad_alloc. Returns the number of fault runs.
long FailEachAllocation(const std::function<int()>& op) {
    const int normal = op();
    return FaultSim(op, ThrowsOrGives(normal));
}

TEST(CfdiAllocationFailure, PipeStringAttributeQueryAndSignatureReaders) {
    std::string doc = testing::FixturePath("complement_detallista.xml");
    std::vector<char> out(4096);
    EXPECT_GT(FailEachAllocation([&] {
                  int length = 0;
                  return Failed(MakePipeString(out.data(), 4000, doc.c_str(), 0, length)) ? -1 : length;
              }),
              0);
    EXPECT_GT(FailEachAllocation([&] {
                  int number = 0;
                  return Failed(VersionNumber(doc.c_str(), number)) ? -1 : number;
              }),
              0);
    std::string stamped = testing::FixturePath("cfdi32_stamped.xml");
    EXPECT_GT(FailEachAllocation([&] {
                  String value;
                  return ReadStampSignature(stamped.c_str(), value) ? static_cast<int>(value.size()) : -1;
              }),
              0);
}

}  // namespace
}  // namespace kvn
