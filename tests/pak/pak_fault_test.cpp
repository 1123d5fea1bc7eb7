// Updates stopped at chosen file operations: the archive left only under its
// backup name, and a stale backup beside an archive that cannot be moved.
// (Every call failing in turn, over whole patches, is the reliability
// tests' fault sweep.)
#ifndef _WIN32

#include "pak_test_support.h"
#include "platform/fault.h"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

using namespace paktest;
using pi::fault::Call;

namespace {

struct PakFaultTest : ::testing::Test {
    void SetUp() override {
        ASSERT_TRUE(InitPakUpdateLock());
        oldItems.Add("keep", std::string(300000, 'k'));
        oldItems.Add("swap", "old swap");
        oldItems.Add("tiny", "t");
        newItems.Add("swap", "new swap");
        newItems.Add("added", std::string(9000, 'a'));
        ASSERT_TRUE(UpdateArchive(manager, path, oldItems));
        oldArchive = ReadFileBytes(path);
        ASSERT_TRUE(UpdateArchive(manager, path, newItems));
        newArchive = ReadFileBytes(path);
        WriteFileBytes(path, oldArchive);
    }
    void TearDown() override { pi::fault::Disarm(); }

    // Runs the update with the nth file operation failing; false when the
    // fault never fired, that is when n is past the update's last call. It
    // runs in a child process whose end closes every handle, as a real
    // process's end would; a handle whose close was made to fail would
    // otherwise stay open here and lock the files for the checks. A fork, not
    // the runner of tests/support: the fault is armed in this program's own
    // platform layer.
    bool UpdateWithFault(unsigned n, bool forever, DWORD error) {
        WriteFileBytes(path, oldArchive);
        RemoveFile(path + ".bak");
        RemoveFile(path + ".tmp");
        const pid_t child = fork();
        if (child == 0) {
            pi::fault::Arm(Call::Any, n, error, forever);
            UpdateArchive(manager, path, newItems);
            _exit(pi::fault::FiredCount() != 0 ? 1 : 0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 1;
    }

    // "old", "new", "missing" or "other", without printing whole archives.
    std::string StateOf(const std::string& file) {
        if (!Exists(file))
            return "missing";
        const std::string bytes = ReadFileBytes(file);
        return bytes == oldArchive ? "old" : bytes == newArchive ? "new" : "other";
    }

    TempDir dir;
    PakManager manager;
    const std::string path = dir / "f.pak";
    ItemSet oldItems, newItems;
    std::string oldArchive, newArchive;
};

// The replacement stops between its two moves and leaves the archive only
// under the backup name. The next update opens it read-write, as the
// installer does, and must find every old sub-file.
TEST_F(PakFaultTest, InterruptedReplacementThenUpdateAgain) {
    for (unsigned n = 1; UpdateWithFault(n, true, ERROR_ACCESS_DENIED); ++n)
        if (!Exists(path) && Exists(path + ".bak"))
            break;
    ASSERT_FALSE(Exists(path));
    ItemSet more;
    more.Add("later", "later");
    ASSERT_TRUE(UpdateArchive(manager, path, more));
    auto files = ReadAll(manager, path);
    EXPECT_EQ(files.size(), 4u);
    EXPECT_TRUE(files["keep"] == std::string(300000, 'k'));
    EXPECT_EQ(files["swap"], "old swap");
    EXPECT_EQ(files["tiny"], "t");
}

// When the archive cannot be moved aside it is still in place, and a stale
// backup from an earlier run must not be put over it.
TEST_F(PakFaultTest, StaleBackupNeverReplacesArchive) {
    WriteFileBytes(path + ".bak", "stale backup");
    pi::fault::Arm(Call::MoveFileEx, 1, ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(UpdateArchive(manager, path, newItems));
    pi::fault::Disarm();
    EXPECT_EQ(StateOf(path), "old");
    EXPECT_EQ(ReadFileBytes(path + ".bak"), "stale backup");
}

// The time is a courtesy: a file system that refuses it must not keep every
// run from replacing the archive.
TEST_F(PakFaultTest, RefusedTimeStillReplacesTheArchive) {
    i32 error = 0;
    PakArchive* archive = manager.Open(path.c_str(), PakReadWrite, false, &error);
    ASSERT_NE(archive, nullptr);
    const FILETIME stamp = {0x12345678, 0x01D80000};
    pi::fault::Arm(Call::SetFileTime, 1, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(manager.Update(archive, newItems.items.data(),
                               static_cast<u32>(newItems.items.size()), dir.path().c_str(),
                               "f.pak.tmp", true, &stamp));
    EXPECT_EQ(pi::fault::FiredCount(), 1u);
    pi::fault::Disarm();
    EXPECT_EQ(StateOf(path), "new");
    EXPECT_FALSE(Exists(path + ".tmp"));
}

} // namespace

#endif // !_WIN32
