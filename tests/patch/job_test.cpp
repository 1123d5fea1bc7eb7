// The patch job against real game directories: loose files, archives, damaged
// packages, failures and cancellation.
#include "patch_test_support.h"

#include "pak/pak_manager.h"
#include "patch/progress.h"
#include "platform/message_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <functional>
#include <memory>

#ifndef _WIN32
#include "platform/fault.h"
#endif

using namespace patchtest;

namespace {

// A last-write time in 2022; file systems keep times near the present.
constexpr u64 kTime = 0x01D8000000000000ull;

void ExpectNoLeftovers(const Workspace& space, const std::string& archive = "") {
    EXPECT_TRUE(LeftoverTemps(space.game()).empty());
    if (!archive.empty()) {
        EXPECT_FALSE(Exists(space.GamePath(archive + ".tmp")));
        EXPECT_FALSE(Exists(space.GamePath(archive + ".bak")));
    }
    EXPECT_EQ(g_pakManager.OpenCount(PakReadWrite), 0u);
}

std::string Repack(Workspace& space, const RawPackage& package) {
    return space.BuildFrom(DeflateRaw(Serialize(package)));
}

} // namespace

TEST(Job, WritesLooseFilesBeforeArchivesWithDirectoriesTimesAndReadOnlyTargets) {
    Workspace space;
    const std::string wholeArchive = space.root() + "\\src\\whole.pak";
    MakeArchive(wholeArchive, {{"old.txt", "kept"}});
    WriteFileBytes(space.GamePath("readme.txt"), "old readme");
    ASSERT_TRUE(SetFileAttributesA(space.GamePath("readme.txt").c_str(), FILE_ATTRIBUTE_READONLY));

    PackageContents contents;
    contents.paks.push_back({"data\\x.pak", Stamp(0x01D9000000000777ull), {}});
    contents.paks[0].files.push_back(space.File("new.txt", "fresh"));
    contents.looseFiles.push_back(space.File("data\\x.pak", ReadFileBytes(wholeArchive)));
    contents.looseFiles.push_back(space.File("bin\\deep\\tool.dll", "tool", kTime + 0x2222));
    contents.looseFiles.push_back(space.File("readme.txt", "new readme", kTime + 0x3333));
    const JobRun run = RunJob(space.game(), space.Build(contents));

    ASSERT_TRUE(run.result) << run.failure;
    EXPECT_EQ(run.Count("done"), 1);
    // The loose copy of the archive was in place before the archive was patched.
    EXPECT_EQ(ReadArchive(space.GamePath("data\\x.pak")),
              (std::map<std::string, std::string>{{"new.txt", "fresh"}, {"old.txt", "kept"}}));
    EXPECT_EQ(WriteTime(space.GamePath("data\\x.pak")), 0x01D9000000000777ull);
    EXPECT_EQ(ReadFileBytes(space.GamePath("bin\\deep\\tool.dll")), "tool");
    EXPECT_EQ(WriteTime(space.GamePath("bin\\deep\\tool.dll")), kTime + 0x2222);
    EXPECT_EQ(ReadFileBytes(space.GamePath("readme.txt")), "new readme");
    EXPECT_EQ(WriteTime(space.GamePath("readme.txt")), kTime + 0x3333);
    ExpectNoLeftovers(space, "data\\x.pak");
}

TEST(Job, SecondRunRewritesNoArchive) {
    Workspace space;
    PackageContents contents;
    contents.paks.push_back({"x.pak", Stamp(7), {space.File("a.txt", "A"), space.File("e", "")}});
    contents.paks.push_back({"sub\\y.pak", Stamp(8), {space.File("b.txt", "B", 3, 2)}});
    contents.looseFiles.push_back(space.File("loose.txt", "L"));
    const std::string installer = space.Build(contents);
    CUpdateThread job;
    ASSERT_TRUE(RunJob(job, space.game(), installer).result);
    SetWriteTime(space.GamePath("x.pak"), kTime + 0x5555);
    SetWriteTime(space.GamePath("sub\\y.pak"), kTime + 0x6666);
    const std::string x = ReadFileBytes(space.GamePath("x.pak"));
    const std::string y = ReadFileBytes(space.GamePath("sub\\y.pak"));

    const JobRun again = RunJob(job, space.game(), installer);
    EXPECT_TRUE(again.result) << again.failure;
    EXPECT_EQ(ReadFileBytes(space.GamePath("x.pak")), x);
    EXPECT_EQ(ReadFileBytes(space.GamePath("sub\\y.pak")), y);
    EXPECT_EQ(WriteTime(space.GamePath("x.pak")), kTime + 0x5555);
    EXPECT_EQ(WriteTime(space.GamePath("sub\\y.pak")), kTime + 0x6666);
    ExpectNoLeftovers(space);

    // A later job that fails early does not keep the earlier success.
    WriteFileBytes(space.root() + "\\empty.exe", "MZ" + std::string(8, '\0'));
    const JobRun broken = RunJob(job, space.game(), space.root() + "\\empty.exe");
    EXPECT_FALSE(broken.result);
}

TEST(Job, RecordWhoseBytesDoNotMatchItsDigestLeavesTheArchiveUnchanged) {
    Workspace space;
    MakeArchive(space.GamePath("x.pak"), {{"s.txt", "old"}});
    const std::string before = ReadFileBytes(space.GamePath("x.pak"));
    PackageContents contents;
    contents.paks.push_back({"x.pak", Stamp(7), {space.File("s.txt", "new")}});
    RawPackage package = Parse(Inflated(space.Build(contents)));
    std::memcpy(package.files[0].storedMd5, Md5Of("other").data(), 16);

    const JobRun run = RunJob(space.game(), Repack(space, package));
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.Count("done"), 1);
    EXPECT_NE(run.failure.find("x.pak"), std::string::npos) << run.failure;
    EXPECT_EQ(ReadFileBytes(space.GamePath("x.pak")), before);
    ExpectNoLeftovers(space, "x.pak");
}

namespace {

PackageContents FiveLooseFilesAndAnArchive(Workspace& space, int count = 5) {
    PackageContents contents;
    contents.paks.push_back({"x.pak", Stamp(1), {space.File("s.txt", "s")}});
    for (int i = 1; i <= count; ++i) {
        const std::string n = std::to_string(i);
        contents.looseFiles.push_back(space.File("data\\f" + n + ".txt", "file " + n));
    }
    return contents;
}

void ExpectStoppedAtTheThirdFile(const Workspace& space, const JobRun& run) {
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.Count("done"), 1);
    EXPECT_EQ(ReadFileBytes(space.GamePath("data\\f1.txt")), "file 1");
    EXPECT_EQ(ReadFileBytes(space.GamePath("data\\f2.txt")), "file 2");
    EXPECT_FALSE(Exists(space.GamePath("data\\f4.txt")));
    EXPECT_FALSE(Exists(space.GamePath("data\\f5.txt")));
    EXPECT_FALSE(Exists(space.GamePath("x.pak")));
    EXPECT_NE(run.failure.find("cannot create data\\f3.txt: "), std::string::npos) << run.failure;
    ExpectNoLeftovers(space);
}

} // namespace

TEST(Job, ThirdOfFiveLooseFilesThatCannotBeCreatedEndsTheJob) {
    Workspace space;
    ASSERT_TRUE(CreateDirectoryA(space.GamePath("data").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA(space.GamePath("data\\f3.txt").c_str(), nullptr));
    const JobRun run = RunJob(space.game(), space.Build(FiveLooseFilesAndAnArchive(space)));
    ExpectStoppedAtTheThirdFile(space, run);
}

#ifndef _WIN32
// The same through the fault hook: the open of the third file is refused.
// A job with two loose files tells how many opens come before it.
TEST(Job, ThirdOfFiveLooseFilesRefusedByTheSystem) {
    Workspace space;
    Workspace counting;
    PackageContents twoLoose;
    twoLoose.looseFiles = FiveLooseFilesAndAnArchive(counting, 2).looseFiles;
    const std::string twoFiles = counting.Build(twoLoose);
    const std::string fiveFiles = space.Build(FiveLooseFilesAndAnArchive(space));
    pi::fault::Disarm();
    ASSERT_TRUE(RunJob(counting.game(), twoFiles).result);
    const unsigned opens = pi::fault::CallCount(pi::fault::Call::CreateFile);

    pi::fault::Arm(pi::fault::Call::CreateFile, opens + 1, ERROR_ACCESS_DENIED);
    const JobRun run = RunJob(space.game(), fiveFiles);
    pi::fault::Disarm();
    ExpectStoppedAtTheThirdFile(space, run);
    EXPECT_NE(run.failure.find("access denied (error 5)"), std::string::npos) << run.failure;
}
#endif

namespace {

// Holds the worker inside the first archive rewrite until the owner cancels.
class HeldJob : public CUpdateThread {
  public:
    void OnProgress(u32 done, u32 total) override {
        CUpdateThread::OnProgress(done, total);
        if (!held.exchange(true)) {
            while (!IsCancelling())
                Sleep(1);
        }
    }
    std::atomic<bool> held{false};
};

} // namespace

TEST(Job, CancelDuringARewriteLetsItFinishAndPostsNoDone) {
    Workspace space;
    PackageContents contents;
    contents.paks.push_back({"x.pak", Stamp(1), {space.File("s1.txt", "one")}});
    contents.paks.push_back({"y.pak", Stamp(2), {space.File("s2.txt", "two")}});
    contents.looseFiles.push_back(space.File("a.txt", "a"));
    const std::string installer = space.Build(contents);

    HWND window = pi::CreateMessageWindow();
    g_hMainDlg = window;
    HeldJob job;
    job.SetModuleDir(space.game());
    job.SetInstallerPath(installer);
    ASSERT_TRUE(job.Start());
    while (!job.held.load())
        Sleep(1);
    job.Cancel();
    WaitForJob(job);
    std::vector<std::string> messages;
    MSG msg;
    while (PeekMessageA(&msg, window, 0, 0, PM_REMOVE))
        messages.push_back(Describe(msg.message, msg.wParam));
    g_hMainDlg = nullptr;
    pi::DestroyMessageWindow(window);

    EXPECT_FALSE(job.GetResult());
    EXPECT_FALSE(job.IsCancelling());
    EXPECT_EQ(std::count(messages.begin(), messages.end(), "done"), 0);
    EXPECT_EQ(messages.back(), "item 100");
    EXPECT_EQ(ReadArchive(space.GamePath("x.pak")),
              (std::map<std::string, std::string>{{"s1.txt", "one"}}));
    EXPECT_FALSE(Exists(space.GamePath("y.pak")));
    ExpectNoLeftovers(space, "x.pak");
}

// Every way a package can be damaged: the job refuses it before it touches
// anything in the game directory.
class DamagedPackage : public ::testing::TestWithParam<const char*> {};

namespace {

using Mutation = std::function<std::string(Workspace&, RawPackage&, const std::string& good)>;

std::string WithTrailerStart(Workspace& space, const std::string& good, u32 start) {
    std::string bytes = ReadFileBytes(good);
    std::memcpy(&bytes[bytes.size() - 8], &start, 4);
    const std::string path = space.root() + "\\patched.exe";
    WriteFileBytes(path, bytes);
    return path;
}

Mutation Records(std::function<void(RawPackage&)> change) {
    return [change](Workspace& space, RawPackage& package, const std::string&) {
        change(package);
        return Repack(space, package);
    };
}

Mutation LooseName(const std::string& name) {
    return Records(
        [name](RawPackage& p) { std::snprintf(p.files[1].name, 260, "%s", name.c_str()); });
}

Mutation PakName(const std::string& name) {
    return Records(
        [name](RawPackage& p) { std::snprintf(p.paks[0].name, 260, "%s", name.c_str()); });
}

Mutation Count(size_t offset) {
    return [offset](Workspace& space, RawPackage& package, const std::string&) {
        std::string bytes = Serialize(package);
        const u32 huge = 0x00100000;
        std::memcpy(&bytes[offset], &huge, 4);
        return space.BuildFrom(DeflateRaw(bytes));
    };
}

const std::map<std::string, Mutation>& Mutations() {
    static const std::map<std::string, Mutation> mutations = {
        {"InstallerShorterThanTrailer",
         [](Workspace& s, RawPackage&, const std::string&) {
             WriteFileBytes(s.root() + "\\tiny.exe", "MZ\x01");
             return s.root() + "\\tiny.exe";
         }},
        {"PayloadStartZero", [](Workspace& s, RawPackage&,
                                const std::string& good) { return WithTrailerStart(s, good, 0); }},
        {"PayloadStartAtTrailer",
         [](Workspace& s, RawPackage&, const std::string& good) {
             return WithTrailerStart(s, good, static_cast<u32>(ReadFileBytes(good).size() - 8));
         }},
        {"PayloadStartPastEnd",
         [](Workspace& s, RawPackage&, const std::string& good) {
             return WithTrailerStart(s, good, 0x7FFFFFF0);
         }},
        {"TruncatedStream",
         [](Workspace& s, RawPackage& p, const std::string&) {
             const std::string stream = DeflateRaw(Serialize(p));
             return s.BuildFrom(stream.substr(0, stream.size() - 3));
         }},
        {"PakCountBeyondPackage", Count(0)},
        {"FileCountBeyondPackage", Count(4 + 276)},
        {"PakRangeOutsideTable",
         Records([](RawPackage& p) { p.paks[0].firstRecord = 1, p.paks[0].recordCount = 2; })},
        {"PakRangeWrapping", Records([](RawPackage& p) {
             p.paks[0].firstRecord = 0xFFFFFFFF, p.paks[0].recordCount = 2;
         })},
        {"DataOutsideArea", Records([](RawPackage& p) {
             p.files[1].dataOffset = static_cast<u32>(p.data.size()) - 2;
         })},
        {"DataRangeWrapping", Records([](RawPackage& p) {
             p.files[1].dataOffset = 0xFFFFFFF0, p.files[1].dataSize = 0x20;
         })},
        {"LooseNameUnterminated",
         Records([](RawPackage& p) { std::memset(p.files[1].name, 'a', 260); })},
        {"SubFileNameUnterminated",
         Records([](RawPackage& p) { std::memset(p.files[0].name, 'a', 260); })},
        {"PakNameUnterminated",
         Records([](RawPackage& p) { std::memset(p.paks[0].name, 'a', 260); })},
        {"LooseNameEmpty", LooseName("")},
        {"LooseNameLeadingBackslash", LooseName("\\a.txt")},
        {"LooseNameLeadingSlash", LooseName("/a.txt")},
        {"LooseNameWithDrive", LooseName("c:a.txt")},
        {"LooseNameWithColon", LooseName("a.txt:stream")},
        {"LooseNameClimbing", LooseName("data\\..\\..\\a.txt")},
        {"LooseNameClimbingWithSlash", LooseName("data/../../a.txt")},
        {"LooseNameTooLong", LooseName(std::string(240, 'n'))},
        {"PakNameClimbing", PakName("..\\x.pak")},
        {"PakNameAbsolute", PakName("\\x.pak")},
        {"PakNameTooLong", PakName(std::string(236, 'p') + ".pak")},
        {"PakNameNotPak", PakName("data\\x.zip")},
    };
    return mutations;
}

} // namespace

TEST_P(DamagedPackage, IsRefusedBeforeAnyGameFileIsTouched) {
    Workspace space;
    WriteFileBytes(space.GamePath("a.txt"), "old a");
    MakeArchive(space.GamePath("x.pak"), {{"s.txt", "old s"}});
    PackageContents contents;
    contents.paks.push_back({"x.pak", Stamp(1), {space.File("s.txt", "new s")}});
    contents.looseFiles.push_back(space.File("a.txt", "new a"));
    const std::string good = space.Build(contents);
    RawPackage package = Parse(Inflated(good));
    ASSERT_EQ(package.files.size(), 2u);
    const std::string damaged = Mutations().at(GetParam())(space, package, good);
    const auto before = Snapshot(space.game());

    const JobRun run = RunJob(space.game(), damaged);
    EXPECT_FALSE(run.result);
    EXPECT_EQ(run.messages, std::vector<std::string>{"done"});
    EXPECT_FALSE(run.failure.empty());
    EXPECT_EQ(Snapshot(space.game()), before);
    ExpectNoLeftovers(space, "x.pak");
}

INSTANTIATE_TEST_SUITE_P(Kinds, DamagedPackage, ::testing::ValuesIn([] {
                             std::vector<const char*> names;
                             for (const auto& mutation : Mutations())
                                 names.push_back(mutation.first.c_str());
                             return names;
                         }()),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param);
                         });

TEST(Job, GarbageBeforeTheTrailerAndAnySecondTrailerWordAreAccepted) {
    Workspace space;
    PackageContents contents;
    contents.looseFiles.push_back(space.File("a.txt", "content"));
    const RawPackage package = Parse(Inflated(space.Build(contents)));
    const std::string installer =
        space.BuildFrom(DeflateRaw(Serialize(package)), std::string(777, '\x33'), 0xDEADBEEF);
    const JobRun run = RunJob(space.game(), installer);
    EXPECT_TRUE(run.result) << run.failure;
    EXPECT_EQ(ReadFileBytes(space.GamePath("a.txt")), "content");
}
