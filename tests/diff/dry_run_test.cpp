// The installer's dry run (`orv --dry-run`, `orvc.exe --dry-run`): what a real
// run would do, told without touching the game directory.
#include "diff_support.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

class DryRunTest : public ::testing::Test {
  protected:
    Scratch scratch;
    const std::string game = scratch / "game";
    const std::string installer = scratch / "bin\\setup.exe";
    PackageBuilder builder{scratch / "src"};

    void SetUp() override { MakeDirectory(game); }
    std::string Game(const std::string& name) const { return game + "\\" + name; }

    void PutStampedFile(const std::string& name, const std::string& bytes, u64 stamp) {
        PutFile(Game(name), bytes);
        SetWriteStamp(Game(name), stamp);
    }
    RunResult DryRun(const std::vector<std::string>& args) {
        return RunProgram(NativePath(installer), args);
    }
    // The dry run must leave every name, byte, time and attribute as it was.
    RunResult UntouchedDryRun() {
        const Snapshot before = TakeSnapshot(game);
        RunResult run = DryRun({"--dry-run", NativePath(game)});
        EXPECT_EQ(before, TakeSnapshot(game));
        return run;
    }
};

TEST_F(DryRunTest, ReportsExactlyTheRecordsNotYetApplied) {
    builder.AddPak("data\\a.pak", kStamp + kHour);
    builder.AddSubFile("keep.txt", {"one"});
    builder.AddSubFile("packed.txt", {"two", 3, 10});
    builder.AddSubFile("空.txt", {""});
    builder.AddSubFile("missing.txt", {"m"});
    builder.AddSubFile("changed.txt", {"new"});
    builder.AddSubFile("method.txt", {"same", 3, 9});
    builder.AddPak("新\\b.pak", kStamp);
    builder.AddSubFile("x.txt", {"x"});
    builder.AddSubFile("y.txt", {""});
    builder.AddPak("data\\none.pak", kStamp);
    builder.AddLoose("same.txt", "s", kStamp);
    builder.AddLoose("文档\\说明.txt", "说明", kStamp);
    builder.AddLoose("empty.bin", "", kStamp);
    builder.AddLoose("retime.txt", "r", kStamp);
    builder.AddLoose("new.txt", "n", kStamp);
    builder.AddLoose("longer.txt", "longer bytes", kStamp);
    builder.AddLoose("flip.txt", "abcd", kStamp);
    builder.Write(installer);

    MakeArchive(Game("data\\a.pak"), {{"keep.txt", {"one"}},
                                      {"packed.txt", {"two", 3, 10}},
                                      {"空.txt", {""}},
                                      {"changed.txt", {"old"}},
                                      {"method.txt", {"same", 0, 9}}});
    PutStampedFile("same.txt", "s", kStamp);
    PutStampedFile("文档\\说明.txt", "说明", kStamp);
    PutStampedFile("empty.bin", "", kStamp);
    PutStampedFile("retime.txt", "r", kStamp - kHour);
    PutStampedFile("longer.txt", "short", kStamp);
    PutStampedFile("flip.txt", "abce", kStamp);

    RunResult run = UntouchedDryRun();
    EXPECT_EQ(2, run.exitCode) << run.out << run.err;
    EXPECT_EQ(ShownLines({"create file     new.txt", "replace file    longer.txt",
                          "replace file    flip.txt",
                          "retime file     retime.txt (same bytes; a real run sets its time)",
                          "rewrite archive data\\a.pak (3 of 6 records)", "    add     missing.txt",
                          "    replace changed.txt", "    replace method.txt",
                          "create archive  新\\b.pak (2 sub-files)", "    add     x.txt",
                          "    add     y.txt"}),
              ChangeLines(run.out))
        << run.out;
    EXPECT_NE(std::string::npos, run.out.find("keep archive    data\\none.pak (no records)"));
    EXPECT_NE(std::string::npos, run.out.find("a real run would change the game directory"));

    run = RunProgram(NativePath(installer), {NativePath(game)});
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_FALSE(Exists(Game("data\\none.pak")));
    run = UntouchedDryRun();
    EXPECT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_TRUE(ChangeLines(run.out).empty()) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("a real run would change no byte")) << run.out;

    // The same bytes under another time: listed, and still no change.
    SetWriteStamp(Game("same.txt"), kStamp + 5 * kHour);
    run = UntouchedDryRun();
    EXPECT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_EQ(ShownLines({"retime file     same.txt (same bytes; a real run sets its time)"}),
              ChangeLines(run.out));
}

// The archive compared is the one the job would open at that point: the
// whole archive a loose record of the same patch writes, or the archive as an
// earlier pak record of the patch leaves it.
TEST_F(DryRunTest, ComparesWithTheArchiveTheJobWouldOpen) {
    MakeArchive(scratch / "carried.pak", {{"x.txt", {"x"}}});
    builder.AddPak("data\\d.pak", kStamp);
    builder.AddSubFile("x.txt", {"x"});
    builder.AddSubFile("y.txt", {"y"});
    builder.AddPak("data\\e.pak", kStamp);
    builder.AddSubFile("p.txt", {"p"});
    builder.AddPak("data\\e.pak", kStamp);
    builder.AddSubFile("p.txt", {"p"});
    builder.AddSubFile("q.txt", {"q"});
    builder.AddLoose("data\\d.pak", FileBytes(scratch / "carried.pak"), kStamp);
    builder.Write(installer);
    MakeArchive(Game("data\\d.pak"), {{"x.txt", {"x"}}, {"y.txt", {"y"}}});

    RunResult run = UntouchedDryRun();
    EXPECT_EQ(2, run.exitCode) << run.out << run.err;
    EXPECT_EQ(ShownLines({"replace file    data\\d.pak",
                          "rewrite archive data\\d.pak (1 of 2 records, as a loose record of this "
                          "patch writes it)",
                          "    add     y.txt", "create archive  data\\e.pak (1 sub-file)",
                          "    add     p.txt", "rewrite archive data\\e.pak (1 of 2 records)",
                          "    add     q.txt"}),
              ChangeLines(run.out))
        << run.out;
}

// A missing archive is compared with the backup that the job moves back; a
// backup beside an intact archive is a leftover that the job deletes.
TEST_F(DryRunTest, BackupsAreTakenAsTheJobTakesThem) {
    builder.AddPak("data\\c.pak", kStamp);
    builder.AddSubFile("c.txt", {"c"});
    builder.AddPak("data\\f.pak", kStamp);
    builder.AddSubFile("f.txt", {"f"});
    builder.Write(installer);
    MakeArchive(scratch / "c.pak", {{"c.txt", {"c"}}});
    PutFile(Game("data\\c.pak.bak"), FileBytes(scratch / "c.pak"));
    MakeArchive(Game("data\\f.pak"), {{"f.txt", {"f"}}});
    PutFile(Game("data\\f.pak.bak"), FileBytes(scratch / "c.pak"));

    RunResult run = UntouchedDryRun();
    EXPECT_EQ(2, run.exitCode) << run.out << run.err;
    EXPECT_EQ(ShownLines({"restore archive data\\c.pak from data\\c.pak.bak",
                          "remove leftover data\\f.pak.bak"}),
              ChangeLines(run.out))
        << run.out;
    for (const char* kept : {"keep archive    data\\c.pak (1 record up to date)",
                             "keep archive    data\\f.pak (1 record up to date)"})
        EXPECT_NE(std::string::npos, run.out.find(kept)) << run.out;

    run = RunProgram(NativePath(installer), {NativePath(game)});
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_TRUE(FindNames(Game("data"), "", ".bak").empty());
    run = UntouchedDryRun();
    EXPECT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_TRUE(ChangeLines(run.out).empty()) << run.out;
}

TEST_F(DryRunTest, DamagedArchivesInTheGameDirectoryAreReported) {
    builder.AddPak("data\\hurt.pak", kStamp);
    builder.AddSubFile("a.txt", {"a"});
    builder.AddPak("data\\bad.pak", kStamp);
    builder.AddSubFile("b.txt", {"b"});
    builder.AddPak("data\\later.pak", kStamp);
    builder.AddSubFile("c.txt", {"c"});
    builder.Write(installer);
    const SubFiles held = {{"a.txt", {"a"}}, {"b.txt", {"b"}}, {"c.txt", {"c"}}};
    MakeArchive(Game("data\\hurt.pak"), held);
    SpoilIndexEntry(Game("data\\hurt.pak"), 1);
    PutFile(Game("data\\bad.pak"), std::string(100, 'x'));

    // A real run refuses to rewrite an archive whose index is damaged, and
    // stops there: the plan does too.
    RunResult run = UntouchedDryRun();
    EXPECT_EQ(1, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find("FAILED: a real run would fail: the archive "
                                              "data\\hurt.pak is damaged: index entry 1"))
        << run.out;
    EXPECT_EQ(std::string::npos, run.out.find("bad.pak")) << run.out;
    EXPECT_NE(std::string::npos, run.err.find("hurt.pak")) << run.err;

    MakeArchive(Game("data\\hurt.pak"), held);
    run = UntouchedDryRun();
    EXPECT_EQ(1, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find("keep archive    data\\hurt.pak")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("FAILED: a real run would fail: the archive "
                                              "data\\bad.pak is damaged"))
        << run.out;
    EXPECT_EQ(std::string::npos, run.out.find("later.pak")) << run.out;
    EXPECT_NE(std::string::npos, run.err.find("bad.pak")) << run.err;
}

TEST_F(DryRunTest, DamagedInstallersAndBadUsageExitWithOne) {
    RawPackage spoilt;
    spoilt.AddLoose("good.txt", "good");
    spoilt.AddLoose("bad.txt", "bad");
    spoilt.files[1].storedMd5[3] ^= 1;
    WriteRawInstaller(installer, Deflate(spoilt.Serialize()));
    RunResult run = UntouchedDryRun();
    EXPECT_EQ(1, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.err.find("file record 1 (bad.txt)")) << run.err;

    WriteRawInstaller(installer, Deflate(spoilt.Serialize()), 0);
    run = UntouchedDryRun();
    EXPECT_EQ(1, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.err.find("carries no patch")) << run.err;

    builder.AddLoose("a.txt", "a", kStamp);
    builder.Write(installer);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--dry-run", "--bogus", NativePath(game)},
          {"--dry-run", NativePath(game), NativePath(game)},
          {"--dry-run", NativePath(scratch / "absent")}}) {
        run = DryRun(args);
        EXPECT_EQ(1, run.exitCode) << args.back() << run.out << run.err;
    }
    EXPECT_EQ(0u, TakeSnapshot(game).size());
}

} // namespace
} // namespace e2e
