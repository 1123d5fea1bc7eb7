// The installer ended at once, as a kill ends it, at each of its platform
// calls in turn (PI_CRASH_AT), then run again: no sub-file is ever lost in
// between, and the second run leaves the game exactly as an uninterrupted run
// does.
#include "reliability_support.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace rel {
namespace {

class CrashSweep : public ::testing::TestWithParam<unsigned> {};

TEST_P(CrashSweep, EveryCallThenARunThatRepairs) {
    const Baseline& base = GetBaseline();
    const unsigned shards = 2;
    Scratch scratch;
    const std::string game = scratch / "game";
    unsigned crashes = 0, last = 0;
    for (unsigned n = 1 + GetParam(); !HasFailure(); n += shards) {
        SCOPED_TRACE("crash at call " + std::to_string(n));
        CopyTree(base.patch.pristine, game);
        const int code =
            RunInstallerQuietly(base.patch.installer, game, {"PI_CRASH_AT=" + std::to_string(n)});
        const bool ended = code != pi::fault::kCrashExitCode;
        if (ended) {
            // (Braces: gtest's assertions are if statements.)
            ASSERT_EQ(0, code) << "the installer failed although nothing stopped it";
        }
        crashes += ended ? 0 : 1;
        last = ended ? last : n;
        ExpectNothingLost(base, game);
        ASSERT_EQ(0, RunInstallerQuietly(base.patch.installer, game, {}));
        const Snapshot now = TakeSnapshot(game);
        EXPECT_TRUE(now == base.expected) << Difference(base.expected, now);
        if (ended)
            break;
    }
    EXPECT_GT(crashes, 50u);
    std::printf("crashed at %u calls, the last at call %u, then repaired each time\n", crashes,
                last);
}

INSTANTIATE_TEST_SUITE_P(EveryCall, CrashSweep, ::testing::Values(0u, 1u));

} // namespace
} // namespace rel
