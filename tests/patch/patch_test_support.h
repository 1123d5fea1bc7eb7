// Helpers of the patch tests: a scratch directory with a game directory and a
// stub, package building (through the builder, or raw for damaged packages),
// running a job against a message window, and reading what it left.
#pragma once

#include "pak_test_support.h"
#include "patch/package.h"
#include "patch/package_writer.h"
#include "patch/update_thread.h"

#include <atomic>
#include <map>
#include <string>
#include <vector>

namespace patchtest {

using paktest::Exists;
using paktest::Md5Of;
using paktest::MemoryStream;
using paktest::ReadFileBytes; // "<missing>" if absent
using paktest::WriteFileBytes;

// A fresh directory holding game\ and src\ and a stub program, removed at the
// end.
class Workspace {
  public:
    Workspace();

    const std::string& root() const { return m_root; }
    const std::string& game() const { return m_game; }
    std::string GamePath(const std::string& name) const { return m_game + "\\" + name; }

    // A record whose bytes are `data`, kept in a source file of its own.
    PackageFile File(const std::string& name, const std::string& data,
                     u64 stamp = 0x01D8000000000000ull, u32 method = 0);
    // An installer built by WritePackage from the stub; asserts success.
    std::string Build(const PackageContents& contents);
    std::string Stub() const { return m_root + "\\stub.exe"; }

  private:
    paktest::TempDir m_dir;
    std::string m_root;
    std::string m_game;
    int m_count = 0;
};

void SetWriteTime(const std::string& path, u64 stamp);
FILETIME Stamp(u64 value);

// Names of the job's temporary packages left in `dir`.
std::vector<std::string> LeftoverTemps(const std::string& dir);

// The inflated package: the two tables and the data area.
struct RawPackage {
    std::vector<PatchPakRecord> paks;
    std::vector<PatchFileRecord> files;
    std::string data;
};
std::string DeflateRaw(const std::string& bytes);
// The inflated package of an installer.
std::string Inflated(const std::string& installerPath);
RawPackage Parse(const std::string& inflated);

// What the job posted, as short words: "name", "item 40", "overall 25",
// "done".
struct JobRun {
    bool result = false;
    std::string failure;
    std::vector<std::string> messages;
    int Count(const std::string& message) const;
};

// Runs `job` on `installer` against game directory `game` and waits for it.
JobRun RunJob(CUpdateThread& job, const std::string& game, const std::string& installer);
JobRun RunJob(const std::string& game, const std::string& installer);
// Waits until the worker has ended and stopped touching the job.
void WaitForJob(CUpdateThread& job);

// Holds the worker inside the first archive rewrite until the owner cancels.
class HeldJob : public CUpdateThread {
  public:
    void OnProgress(u32 done, u32 total) override {
        CUpdateThread::OnProgress(done, total);
        if (!held.exchange(true))
            while (!IsCancelling())
                Sleep(1);
    }
    std::atomic<bool> held{false};
};
std::string Describe(UINT message, WPARAM value);

// Name -> bytes of every sub-file of an archive.
std::map<std::string, std::string> ReadArchive(const std::string& path);

} // namespace patchtest
