// The power fails at each platform call of the installer in turn
// (PI_POWERCUT_AT): whatever was not made durable is lost. No sub-file is
// ever lost, a second run leaves the game exactly as an uninterrupted run
// does, and when the power fails only after the installer has reported its
// success, every file it wrote is already as the patch says.
#include "reliability_support.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace rel {
namespace {

class PowerCutSweep : public ::testing::TestWithParam<unsigned> {};

TEST_P(PowerCutSweep, EveryCallThenARunThatRepairs) {
    const Baseline& base = GetBaseline();
    const unsigned shards = 2;
    Scratch scratch;
    const std::string game = scratch / "game";
    unsigned cuts = 0, last = 0;
    for (unsigned n = 1 + GetParam(); !HasFailure(); n += shards) {
        SCOPED_TRACE("power cut at call " + std::to_string(n));
        CopyTree(base.patch.pristine, game);
        const int code = RunInstallerQuietly(
            base.patch.installer, game,
            {"PI_POWERCUT_AT=" + std::to_string(n), "PI_POWERCUT_DIR=" + e2e::NativePath(game)});
        const bool ended = code != pi::fault::kPowerCutExitCode;
        if (ended) {
            // The cut came at the exit, after "更新成功!".
            ASSERT_EQ(0, code) << "the installer failed although nothing stopped it";
            const Snapshot now = WithoutLeftovers(TakeSnapshot(game));
            EXPECT_TRUE(now == base.expected)
                << "the installer reported success, but after a power cut the game is not "
                   "patched:\n"
                << Difference(base.expected, now);
        }
        cuts += ended ? 0 : 1;
        last = ended ? last : n;
        ExpectNothingLost(base, game);
        ASSERT_EQ(0, RunInstallerQuietly(base.patch.installer, game, {}));
        const Snapshot now = TakeSnapshot(game);
        EXPECT_TRUE(now == base.expected) << Difference(base.expected, now);
        if (ended)
            break;
    }
    EXPECT_GT(cuts, 50u);
    std::printf("cut the power at %u calls, the last at call %u, and once after the end\n", cuts,
                last);
}

INSTANTIATE_TEST_SUITE_P(EveryCall, PowerCutSweep, ::testing::Values(0u, 1u));

} // namespace
} // namespace rel
