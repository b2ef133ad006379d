// Every export survives the failure of any one of its allocations: it returns
// MEMORY_ERROR with the allocator's message and leaks nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "base/file.h"
#include "base/memory.h"
#include "kelvane.h"

namespace fs = std::filesystem;

namespace {

// Fails allocation 1, 2, ... of call until a run completes without the hook firing.
void FailEachAllocation(const std::function<int()>& call, int expected) {
    for (long n = 1;; ++n) {
        long live = kvn::LiveBlocks();
        kvn::FailAllocationAfter(n);
        int rc = call();
        bool fired = rc == -MEMORY_ERROR;
        kvn::FailAllocationAfter(0);
        EXPECT_EQ(kvn::LiveBlocks(), live) << "leak with allocation " << n << " failing";
        if (!fired) {
            EXPECT_EQ(rc, expected) << "allocation " << n;
            break;
        }
        char buf[128];
        KVN_LastError(buf, 127);
        EXPECT_NE(std::string(buf).find("failed to allocate memory."), std::string::npos) << buf;
        ASSERT_LT(n, 100000) << "the call never completes";
    }
}

TEST(AllocationFailure, FixBom) {
    fs::path dir = fs::temp_directory_path() / ("kvn-alloc-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string in = (dir / "in.xml").string(), out = (dir / "out.xml").string();
    std::ofstream(in) << "<a>\xC3\xB1</a>";
    FailEachAllocation([&] { return KVN_FixBOM(out.c_str(), in.c_str()); }, 0);
    fs::remove_all(dir);
}

}  // namespace

namespace {

// A temporary file is either handed to its owner or never made: no allocation failure
// leaves a file behind.
TEST(AllocationFailure, TemporaryFilesAreNeverOrphaned) {
    fs::path dir = fs::temp_directory_path() / ("kvn-alloc-tmp-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    const char* saved = std::getenv("TMP");
    std::string saved_value = saved ? saved : "";
    ::setenv("TMP", dir.c_str(), 1);
    for (long n = 1; n < 10; ++n) {
        kvn::FailAllocationAfter(n);
        try {
            auto t = kvn::TempFile::Create("KVA-", true);
        } catch (const std::bad_alloc&) {
        }
        kvn::FailAllocationAfter(0);
        EXPECT_TRUE(fs::is_empty(dir)) << "allocation " << n;
    }
    if (saved) ::setenv("TMP", saved_value.c_str(), 1);
    else ::unsetenv("TMP");
    fs::remove_all(dir);
}

}  // namespace
