// Every export survives the failure of any one of its allocations: it returns
// MEMORY_ERROR with the allocator's message and leaks nothing.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

#include "base/file.h"
#include "base/memory.h"
#include "kelvane.h"
#include "support/fault_sim.h"

namespace fs = std::filesystem;

namespace {

using kvn_test::FaultRun;
using kvn_test::FaultSim;

TEST(AllocationFailure, FixBom) {
    fs::path dir = fs::temp_directory_path() / ("kvn-alloc-" + std::to_string(::getpid()));
    fs::create_directories(dir);
    std::string in = (dir / "in.xml").string(), out = (dir / "out.xml").string();
    std::ofstream(in) << "<a>\xC3\xB1</a>";
    // Every fault is MEMORY_ERROR, and the output is written only by a run that succeeds.
    const long faults = FaultSim([&] { fs::remove(out); }, [&] { return KVN_FixBOM(out.c_str(), in.c_str()); },
                                 [&](const FaultRun& run) {
                                     kvn_test::ExportGives(0)(run);
                                     EXPECT_EQ(fs::exists(out), !run.fired) << "allocation " << run.n;
                                 });
    EXPECT_GT(faults, 0);
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
    const long faults = FaultSim(
        [&] {
            auto t = kvn::TempFile::Create("KVA-", true);
            return t ? 0 : -CREATE_ERROR;
        },
        [&](const FaultRun& run) {
            kvn_test::ThrowsOrGives(0)(run);
            EXPECT_TRUE(fs::is_empty(dir)) << "allocation " << run.n;
        });
    EXPECT_GT(faults, 0);
    if (saved) ::setenv("TMP", saved_value.c_str(), 1);
    else ::unsetenv("TMP");
    fs::remove_all(dir);
}

}  // namespace
