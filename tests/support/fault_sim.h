// The allocation-failure driver every sweep uses (the do_faultsim_test shape):
//
//   for n = 1, 2, ...:  prepare();  arm the hook to fail the n-th allocation;  run the body;
//                       disarm;  check that nothing leaked;  check what the body gave;
//   until a run in which the body never reached its n-th allocation (it then completed
//   normally, and its result is checked against the normal one).
//
// The hook (kvn::FailAllocationAfter) counts every allocation of the library's wrappers.
// Whether the armed failure was reached is read back from the hook, so a run is known to
// be a fault run or a normal run: a sweep states exactly what each must give and never has
// to accept "either".
//
// Bodies that make thousands of allocations (big-number arithmetic) fail the first
// FaultPlan::every allocations one by one and then step (by a constant, or a fraction of
// n); when a step overshoots the end, the allocations skipped just before the end are
// failed one by one.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <new>
#include <string>

#include "base/lasterror.h"
#include "base/memory.h"
#include "kelvane.h"

namespace kvn_test {

// What one run of the body did.
struct FaultRun {
    long n = 0;          // the allocation made to fail, 1 = the body's first
    bool fired = false;  // the body reached that allocation
    bool threw = false;  // the body ended with std::bad_alloc
    std::string what;    // its message when it threw
    int result = 0;      // the body's return value when it returned
};

struct FaultPlan {
    long every = 1000000;  // allocations 1..every are failed one by one
    long step = 1;         // after that, step by max(step, n / growth)
    long growth = 0;       // 0: no growth term
    long tail = 24;        // after an overshooting step, the last `tail` skipped ones
};

// Runs the sweep; check(run) states what a run must give. Returns the number of fault runs.
inline long FaultSim(const std::function<void()>& prepare, const std::function<int()>& body,
                     const std::function<void(const FaultRun&)>& check, FaultPlan plan = {}) {
    long faults = 0, lastFired = 0;
    bool inTail = false;
    for (long n = 1;;) {
        if (prepare) prepare();
        FaultRun run;
        run.n = n;
        const long live = kvn::LiveBlocks();
        kvn::FailAllocationAfter(n);
        try {
            run.result = body();
        } catch (const std::bad_alloc& e) {
            run.threw = true;
            run.what = e.what();
        }
        run.fired = kvn::AllocationFailurePending() == 0;
        kvn::FailAllocationAfter(0);
        EXPECT_EQ(kvn::LiveBlocks(), live) << "leak with allocation " << n << " failing";
        check(run);
        if (::testing::Test::HasFatalFailure()) return faults;
        if (!run.fired) {
            if (!inTail && n - lastFired > 1) {
                inTail = true;
                n = std::max(lastFired + 1, n - plan.tail);
                continue;
            }
            return faults;
        }
        ++faults;
        lastFired = n;
        if (n >= 10000000) {
            ADD_FAILURE() << "the body never completes";
            return faults;
        }
        n += inTail || n < plan.every ? 1 : std::max(plan.step, plan.growth ? n / plan.growth : 1);
    }
}

inline long FaultSim(const std::function<int()>& body, const std::function<void(const FaultRun&)>& check,
                     FaultPlan plan = {}) {
    return FaultSim(nullptr, body, check, plan);
}

// For an export: a fault gives MEMORY_ERROR with the allocator's message in the last-error
// text; a normal run gives `normal`.
inline std::function<void(const FaultRun&)> ExportGives(int normal) {
    return [normal](const FaultRun& run) {
        ASSERT_FALSE(run.threw) << "an export let std::bad_alloc out";
        if (!run.fired) {
            EXPECT_EQ(run.result, normal) << "normal run";
            return;
        }
        EXPECT_EQ(run.result, -MEMORY_ERROR) << "allocation " << run.n << " failing: " << kvn::LastErrorText();
        const std::string text = kvn::LastErrorText();
        EXPECT_NE(text.find("memory."), std::string::npos) << "allocation " << run.n << ": " << text;
    };
}

// For an internal operation: a fault ends it with std::bad_alloc (never another result); a
// normal run gives `normal`.
inline std::function<void(const FaultRun&)> ThrowsOrGives(int normal) {
    return [normal](const FaultRun& run) {
        if (!run.fired) {
            EXPECT_FALSE(run.threw) << "normal run threw " << run.what;
            EXPECT_EQ(run.result, normal) << "normal run";
            return;
        }
        EXPECT_TRUE(run.threw) << "allocation " << run.n << " failing gave " << run.result;
    };
}

}  // namespace kvn_test
