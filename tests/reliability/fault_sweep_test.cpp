// Every platform call of a whole patch fails in turn: once, and then from
// that call on. After each faulted run every sub-file that the game had is
// still readable, from its archive or from the backup; a clean run after it
// succeeds and leaves exactly what an uninterrupted run leaves.
#include "reliability_support.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace rel {
namespace {

using pi::fault::Call;

// An error that the call could really meet.
DWORD FittingError(Call call) {
    switch (call) {
    case Call::WriteFile:
    case Call::FlushFileBuffers:
        return ERROR_DISK_FULL;
    case Call::CreateFile:
    case Call::MoveFile:
    case Call::MoveFileEx:
    case Call::DeleteFile:
        return ERROR_SHARING_VIOLATION;
    case Call::GetFileAttributes:
    case Call::CreateDirectory:
    case Call::GetTempFileName:
    case Call::FindFirstFile:
        return ERROR_PATH_NOT_FOUND;
    case Call::InitializeCriticalSection:
    case Call::BeginThread:
    case Call::DuplicateHandle:
        return ERROR_NOT_ENOUGH_MEMORY;
    default:
        return ERROR_ACCESS_DENIED;
    }
}

struct Shard {
    bool forever;
    unsigned index;
    unsigned count;
};

void PrintTo(const Shard& shard, std::ostream* out) {
    *out << (shard.forever ? "forever" : "once") << shard.index;
}

class FaultSweep : public ::testing::TestWithParam<Shard> {};

void KeepTimesOf(const Snapshot& expected, Snapshot* actual) {
    for (auto& [name, entry] : *actual) {
        const auto found = expected.find(name);
        if (found != expected.end())
            entry.stamp = found->second.stamp;
    }
}

TEST_P(FaultSweep, NoSubFileIsLostAndACleanRunRepairsEverything) {
    const Baseline& base = GetBaseline();
    const Shard shard = GetParam();
    const unsigned total = static_cast<unsigned>(base.calls.size());
    ASSERT_GT(total, 100u);
    Scratch scratch;
    const std::string game = scratch / "game";
    unsigned swept = 0;
    for (unsigned n = 1 + shard.index; n <= total && !HasFailure(); n += shard.count) {
        const Call kind = base.calls[n - 1];
        Fault fault;
        fault.error = FittingError(kind);
        fault.forever = shard.forever;
        if (shard.forever) {
            fault.call = Call::Any;
            fault.n = n;
        } else {
            fault.call = kind;
            fault.n =
                static_cast<unsigned>(std::count(base.calls.begin(), base.calls.begin() + n, kind));
        }
        SCOPED_TRACE("call " + std::to_string(n) + " (" + pi::fault::CallName(kind) + ", error " +
                     std::to_string(fault.error) +
                     (shard.forever ? ", and every later call)" : ")"));
        CopyTree(base.patch.pristine, game);
        ASSERT_TRUE(RunJobInChild(game, base.patch.installer, fault).ran);
        ExpectNothingLost(base, game);
        const JobOutcome rerun = RunJobInChild(game, base.patch.installer);
        ASSERT_TRUE(rerun.ran);
        EXPECT_TRUE(rerun.result);
        Snapshot now = TakeSnapshot(game);
        // A time the file system refuses is ignored, and an archive that is
        // up to date is not rewritten to mend it: only its time may differ.
        if (kind == Call::SetFileTime && !shard.forever)
            KeepTimesOf(base.expected, &now);
        EXPECT_TRUE(now == base.expected) << Difference(base.expected, now);
        EXPECT_TRUE(Leftovers(game).empty());
        ++swept;
    }
    std::printf("%s: swept %u of the %u platform calls of the patch\n",
                shard.forever ? "every call from the nth on failing" : "the nth call failing once",
                swept, total);
}

INSTANTIATE_TEST_SUITE_P(EveryCall, FaultSweep,
                         ::testing::Values(Shard{false, 0, 2}, Shard{false, 1, 2},
                                           Shard{true, 0, 2}, Shard{true, 1, 2}),
                         [](const ::testing::TestParamInfo<Shard>& info) {
                             return std::string(info.param.forever ? "Forever" : "Once") +
                                    std::to_string(info.param.index);
                         });

} // namespace
} // namespace rel
