// The installer killed with SIGKILL at 200 instants of a patch of realistic
// size (tens of MB over a few archives and loose files), then run again: the
// game always ends as an uninterrupted run leaves it. The instants are calls
// of the platform layer, spread evenly over the whole run (PI_PAUSE_AT stops
// the installer there, and the test kills it), so they do not depend on the
// speed of the machine.
#include "reliability_support.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace rel {
namespace {

constexpr u64 kStamp = 133000000000000000ULL;
constexpr size_t kBlock = 256 * 1024;
constexpr unsigned kInstants = 200;
constexpr unsigned kShards = 4;

e2e::SubFiles Blocks(const std::string& prefix, unsigned count, unsigned seed) {
    e2e::SubFiles files;
    for (unsigned i = 0; i < count; ++i)
        files[prefix + std::to_string(i) + ".dat"] = {NoiseBytes(kBlock, seed + i)};
    return files;
}

// About 16 MB of game and a 10 MB installer: a big archive of which a few
// sub-files change and a few are added, an archive already up to date, a new
// archive and a tree of loose files.
struct BigPatch {
    Scratch scratch;
    std::string pristine = scratch / "pristine";
    std::string installer = scratch / "bin\\setup.exe";
    unsigned calls = 0;
    Snapshot expected;

    BigPatch() {
        const e2e::SubFiles big = Blocks("models\\m", 32, 100);
        const e2e::SubFiles steady = Blocks("sounds\\s", 12, 200);
        e2e::MakeArchive(pristine + "\\data\\big.pak", big);
        e2e::MakeArchive(pristine + "\\data\\steady.pak", steady);
        for (int i = 0; i < 8; ++i)
            e2e::PutFile(pristine + "\\bin\\lib" + std::to_string(i) + ".dll", "old library");
        e2e::PackageBuilder builder(scratch / "src");
        builder.AddPak("data\\big.pak", kStamp);
        for (unsigned i = 0; i < 32; i += 5)
            builder.AddSubFile("models\\m" + std::to_string(i) + ".dat",
                               {NoiseBytes(kBlock, 300 + i)});
        builder.AddSubFile("models\\extra0.dat", {NoiseBytes(2 * kBlock, 400)});
        builder.AddSubFile("models\\extra1.dat", {NoiseBytes(2 * kBlock, 401)});
        builder.AddPak("data\\steady.pak", kStamp);
        for (const auto& [name, file] : steady)
            builder.AddSubFile(name, file);
        builder.AddPak("data\\new\\fresh.pak", kStamp);
        for (const auto& [name, file] : Blocks("maps\\f", 12, 500))
            builder.AddSubFile(name, file);
        for (int i = 0; i < 16; ++i)
            builder.AddLoose("bin\\lib" + std::to_string(i) + ".dll",
                             NoiseBytes(128 * 1024, 600 + i), kStamp + i);
        builder.Write(installer);
        expected = UninterruptedResult(pristine, installer);
        const std::string game = scratch / "count";
        CopyTree(pristine, game);
        calls = static_cast<unsigned>(RunJobInChild(game, installer, Fault(), true).calls.size());
    }
};

const BigPatch& GetBigPatch() {
    static const BigPatch patch;
    return patch;
}

class KillSweep : public ::testing::TestWithParam<unsigned> {};

TEST_P(KillSweep, KilledAnywhereThenARunThatRepairs) {
    const BigPatch& patch = GetBigPatch();
    ASSERT_GT(patch.calls, 2000u);
    Scratch scratch;
    const std::string game = scratch / "game";
    unsigned killed = 0, first = 0, last = 0;
    for (unsigned k = GetParam(); k < kInstants && !HasFailure(); k += kShards) {
        const unsigned n = 1 + static_cast<unsigned>(static_cast<u64>(k) * patch.calls / kInstants);
        SCOPED_TRACE("killed at call " + std::to_string(n));
        CopyTree(patch.pristine, game);
        if (RunInstallerKilledAt(patch.installer, game, n)) {
            first = killed++ == 0 ? n : first;
            last = n;
        }
        ASSERT_EQ(0, RunInstallerQuietly(patch.installer, game, {}));
        const Snapshot now = TakeSnapshot(game);
        EXPECT_TRUE(now == patch.expected) << Difference(patch.expected, now);
    }
    EXPECT_GE(killed, kInstants / kShards - 1);
    std::printf("killed at %u instants from call %u to call %u of about %u, repaired each time\n",
                killed, first, last, patch.calls);
}

INSTANTIATE_TEST_SUITE_P(SpreadOverTheRun, KillSweep, ::testing::Range(0u, kShards));

} // namespace
} // namespace rel
