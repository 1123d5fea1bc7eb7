// Updates whose file operations fail one at a time: the archive is always the
// old one or the new one, and no old sub-file is ever lost.
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
        newFiles = ReadAll(manager, path);
        newFiles["swap"] = "new swap";
        newFiles["added"] = std::string(9000, 'a');
    }
    void TearDown() override { pi::fault::Disarm(); }

    // Runs the update with the nth file operation failing; false when the
    // fault never fired, that is when n is past the update's last call. It
    // runs in a child process whose end closes every handle, as a real
    // process's end would; a handle whose close was made to fail would
    // otherwise stay open here and lock the files for the checks.
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

    // Every sub-file that ever was is still there after a clean re-run.
    void ExpectCleanRerunRecovers() {
        ASSERT_TRUE(UpdateArchive(manager, path, newItems));
        EXPECT_TRUE(ReadAll(manager, path) == newFiles);
        EXPECT_FALSE(Exists(path + ".tmp"));
    }

    TempDir dir;
    PakManager manager;
    const std::string path = dir / "f.pak";
    ItemSet oldItems, newItems;
    std::string oldArchive, newArchive;
    std::map<std::string, std::string> newFiles;
};

TEST_F(PakFaultTest, EachCallFailingOnce) {
    for (DWORD error : {ERROR_ACCESS_DENIED, ERROR_FILE_NOT_FOUND, ERROR_HANDLE_DISK_FULL}) {
        unsigned n = 1;
        for (; UpdateWithFault(n, false, error); ++n) {
            SCOPED_TRACE("call " + std::to_string(n) + ", error " + std::to_string(error));
            const std::string now = StateOf(path), backup = StateOf(path + ".bak");
            ASSERT_TRUE(now == "old" || now == "new") << now;
            EXPECT_TRUE(backup == "missing" || backup == "old") << backup;
            ExpectCleanRerunRecovers();
        }
        EXPECT_GT(n, 20u);
    }
}

// From the nth call on everything fails, as when the process dies there:
// the old archive survives at its name or under the backup name, and the
// next (read-write) open puts it back.
TEST_F(PakFaultTest, EveryCallFailingFromOneOn) {
    bool sawBackupOnly = false;
    for (unsigned n = 1; UpdateWithFault(n, true, ERROR_ACCESS_DENIED); ++n) {
        SCOPED_TRACE("calls from " + std::to_string(n));
        const std::string now = StateOf(path);
        if (now == "missing") {
            sawBackupOnly = true;
            ASSERT_EQ(StateOf(path + ".bak"), "old");
        } else {
            ASSERT_TRUE(now == "old" || now == "new") << now;
        }
        ExpectCleanRerunRecovers();
    }
    EXPECT_TRUE(sawBackupOnly);
}

// The replacement stops between its two moves and leaves the archive only
// under the backup name. The next update opens it read-write, as the
// installer does, and must find every old sub-file.
TEST_F(PakFaultTest, InterruptedReplacementThenUpdateAgain) {
    for (unsigned n = 1; UpdateWithFault(n, true, ERROR_ACCESS_DENIED); ++n) {
        if (!Exists(path) && Exists(path + ".bak"))
            break;
    }
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

} // namespace

#endif // !_WIN32
