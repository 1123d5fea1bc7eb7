// One installer for several older versions (`mkpatch diff OLD... NEW`):
// three versions of a small game, the installer built from the first two to
// the third and applied to a copy of each older one. Each must end as the
// third, and the dry run on each must list that version's changes and no
// other's.
#include "diff_support.h"
#include "json_output.h"

#include <gtest/gtest.h>

namespace e2e {
namespace {

// v1, v2 and v3 of a game; the comments say what v1 and v2 hold of v3.
struct ThreeVersions {
    ThreeVersions();
    Version v1, v2, v3;
};

ThreeVersions::ThreeVersions() {
    const u64 t = kStamp;
    v3.files = {
        {"readme.txt", {"read me, version 3", t}},
        {"bin\\client.exe", {"client 3", t + kHour}},
        {"bin\\same.dll", {"same", t}},
        {"config\\old.ini", {"old", t + 2 * kHour}},
        {"文档\\说明.txt", {"说明", t}},
        {"bin\\new.dat", {"new", t}},
        {"bin\\patch.dat", {"patch", t + kHour}},
        {"empty.bin", {"", t}},
    };
    v1.files = v2.files = v3.files;
    // v1: other bytes. v2: v3's.
    v1.files["readme.txt"].bytes = "read me, version 1";
    // v1: the same bytes at another time. v2: other bytes.
    v1.files["bin\\client.exe"].stamp = t;
    v2.files["bin\\client.exe"].bytes = "client 2";
    // Both: the same bytes at other times; left out, each keeps its time.
    v1.files["config\\old.ini"].stamp = t;
    v2.files["config\\old.ini"].stamp = t + kHour;
    // v1 lacks it. v2: v3's.
    v1.files.erase("文档\\说明.txt");
    // Neither has it.
    v1.files.erase("bin\\new.dat");
    v2.files.erase("bin\\new.dat");
    // v1 lacks it. v2: the same bytes at another time.
    v1.files.erase("bin\\patch.dat");
    v2.files["bin\\patch.dat"].stamp = t;
    // v1: bytes where v3 has none.
    v1.files["empty.bin"].bytes = "x";

    // v1: a.dat changed, b.dat stored otherwise. v2: c.dat changed. Only v3
    // has new.dat.
    const SubFiles scene = {{"a.dat", {"A3", 0, 0, t}},
                            {"b.dat", {"B", 3, 99, t}},
                            {"c.dat", {"C", 0, 0, t}},
                            {"new.dat", {"N", 0, 0, t}},
                            {"空.dat", {"", 0, 0, t}}};
    v3.archives["data\\scene.pak"] = {scene, t + kHour};
    Archive& scene1 = v1.archives["data\\scene.pak"] = {scene, t};
    Archive& scene2 = v2.archives["data\\scene.pak"] = {scene, t};
    scene1.files["a.dat"].bytes = "A1";
    scene1.files["b.dat"].method = 0;
    scene2.files["c.dat"].bytes = "C2";
    scene1.files.erase("new.dat");
    scene2.files.erase("new.dat");

    // v1 lacks it: every sub-file travels. v2: y.dat changed, z.dat missing.
    const SubFiles role = {
        {"x.dat", {"X", 0, 0, t}}, {"y.dat", {"Y3", 3, 10, t}}, {"z.dat", {"Z", 0, 0, t}}};
    v3.archives["data\\角色.pak"] = {role, t + kHour};
    Archive& role2 = v2.archives["data\\角色.pak"] = {role, t};
    role2.files["y.dat"].bytes = "Y2";
    role2.files.erase("z.dat");

    // Empty in v3 and missing from v1: it travels as a whole file, which
    // replaces v2's copy, sub-file and all.
    v3.archives["data\\empty.pak"] = {{}, t + kHour};
    v2.archives["data\\empty.pak"] = {{{"old.dat", {"old", 0, 0, t}}}, t};

    // Written by hand. v1 spells a sub-file in capitals, which the job's
    // exact lookup does not find; v2 holds v3's sub-files in another order.
    const SubFiles hand = {{"keep.dat", {"K", 0, 0, t}}, {"map\\a.dat", {"M", 3, 5, t}}};
    v3.archives["data\\hand.pak"] = {hand, t};
    v1.archives["data\\hand.pak"] = {
        {{"keep.dat", hand.at("keep.dat")}, {"Map\\A.DAT", hand.at("map\\a.dat")}}, t};
    v1.byHand["data\\hand.pak"] = {"Map\\A.DAT", "keep.dat"};
    v2.archives["data\\hand.pak"] = {hand, t};
    v2.byHand["data\\hand.pak"] = {"map\\a.dat", "keep.dat"};

    v1.archives["sound\\music.pak"] = v2.archives["sound\\music.pak"] =
        v3.archives["sound\\music.pak"] = {{{"m.dat", {"music", 3, 50, t}}}, t};
}

// What the dry run lists for v1 and v2.
const std::initializer_list<std::string> kChangesOfV1 = {
    "replace file    readme.txt",
    "retime file     bin\\client.exe (same bytes; a real run sets its time)",
    "create file     文档\\说明.txt",
    "create file     bin\\new.dat",
    "create file     bin\\patch.dat",
    "replace file    empty.bin",
    "create file     data\\empty.pak",
    "rewrite archive data\\scene.pak (3 of 4 records)",
    "    replace a.dat",
    "    replace b.dat",
    "    add     new.dat",
    "create archive  data\\角色.pak (3 sub-files)",
    "    add     x.dat",
    "    add     y.dat",
    "    add     z.dat",
    "rewrite archive data\\hand.pak (1 of 1 record)",
    "    add     map\\a.dat",
};
const std::initializer_list<std::string> kChangesOfV2 = {
    "replace file    bin\\client.exe",
    "create file     bin\\new.dat",
    "retime file     bin\\patch.dat (same bytes; a real run sets its time)",
    "replace file    data\\empty.pak",
    "rewrite archive data\\scene.pak (2 of 4 records)",
    "    replace c.dat",
    "    add     new.dat",
    "rewrite archive data\\角色.pak (2 of 3 records)",
    "    replace y.dat",
    "    add     z.dat",
};

// `game`, once patched from `old`, holds exactly `newest`: its loose files
// byte for byte, with its times except where every older version already had
// the bytes (those are left out, so they keep the time they had), and its
// archives sub-file for sub-file.
void ExpectExactly(const std::string& game, const Version& newest, const Version& old) {
    std::set<std::string> expected, found;
    for (const auto& [name, file] : newest.files) {
        SCOPED_TRACE(NativePath(name));
        expected.insert(TreeName(name));
        EXPECT_EQ(file.bytes, FileBytes(game + "\\" + name));
        const bool leftOut = name == "bin\\same.dll" || name == "config\\old.ini";
        EXPECT_EQ(leftOut ? old.files.at(name).stamp : file.stamp, WriteStamp(game + "\\" + name));
    }
    for (const auto& [name, archive] : newest.archives) {
        SCOPED_TRACE(NativePath(name));
        expected.insert(TreeName(name));
        SubFiles held;
        ASSERT_TRUE(ReadArchive(game + "\\" + name, &held));
        std::set<std::string> names;
        for (const auto& [subName, file] : held)
            names.insert(subName);
        for (const auto& [subName, file] : archive.files) {
            SCOPED_TRACE(NativePath(subName));
            EXPECT_EQ(1u, names.erase(subName));
            if (held.count(subName) != 0)
                ExpectSubFile(file, held.at(subName));
        }
        EXPECT_TRUE(names.empty()) << NativePath(*names.begin());
        EXPECT_EQ(archive.stamp, WriteStamp(game + "\\" + name));
    }
    for (const auto& [name, entry] : TakeSnapshot(game))
        if (!entry.directory)
            found.insert(name);
    EXPECT_EQ(expected, found);
}

class CumulativeDiffTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Materialize(three.v1, scratch / "v1");
        Materialize(three.v2, scratch / "v2");
        Materialize(three.v3, scratch / "v3");
    }
    RunResult Diff(const std::string& installer, std::vector<std::string> trees,
                   std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {
            "diff", "--stub", StubPath(), "-o", NativePath(installer), "--level", "1"};
        for (const std::string& tree : trees)
            args.push_back(NativePath(scratch / tree));
        args.insert(args.end(), extra.begin(), extra.end());
        return RunProgram(MkpatchPath(), args);
    }

    const ThreeVersions three;
    Scratch scratch;
    const std::string installer = scratch / "setup";
};

TEST_F(CumulativeDiffTest, EachOlderVersionEndsAsTheNewestWithItsOwnChanges) {
    RunResult run = Diff(installer, {"v1", "v2", "v3"}, {"--strict", "--json"});
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    const pitool::Json summary = pitool::Json::parse(run.out);
    // One record per sub-file or file that either version needs.
    EXPECT_EQ(15, summary["records"].get<int>()) << run.out;

    const struct {
        const Version& old;
        const char* dir;
        std::set<std::string> changes;
        int filesToCreate, filesToReplace, filesToRetime, subFilesToAdd, subFilesToReplace;
    } kOlder[] = {{three.v1, "v1", ShownLines(kChangesOfV1), 4, 2, 1, 5, 2},
                  {three.v2, "v2", ShownLines(kChangesOfV2), 1, 2, 1, 2, 2}};
    for (size_t k = 0; k < 2; ++k) {
        const auto& older = kOlder[k];
        SCOPED_TRACE(older.dir);
        const pitool::Json& tree = summary["oldTrees"][k];
        EXPECT_EQ(NativePath(scratch / older.dir), tree["dir"].get<std::string>());
        EXPECT_EQ(older.filesToCreate, tree["filesToCreate"].get<int>());
        EXPECT_EQ(older.filesToReplace, tree["filesToReplace"].get<int>());
        EXPECT_EQ(older.filesToRetime, tree["filesToRetime"].get<int>());
        EXPECT_EQ(older.subFilesToAdd, tree["subFilesToAdd"].get<int>());
        EXPECT_EQ(older.subFilesToReplace, tree["subFilesToReplace"].get<int>());
        EXPECT_EQ(std::vector<std::string>{"config/old.ini"},
                  tree["equalFilesKeepingTheirTime"].get<std::vector<std::string>>());

        // The size told for an installer of this version alone is the size
        // of the one built for it alone.
        const std::string alone = scratch / ("alone" + std::to_string(k));
        ASSERT_EQ(0, Diff(alone, {older.dir, "v3"}).exitCode);
        EXPECT_EQ(FileBytes(alone).size(), tree["installerSizeAlone"].get<size_t>());

        const std::string game = scratch / ("game" + std::to_string(k));
        Materialize(older.old, game);
        run = RunProgram(NativePath(installer), {"--dry-run", NativePath(game)});
        EXPECT_EQ(2, run.exitCode) << run.out << run.err;
        EXPECT_EQ(older.changes, ChangeLines(run.out)) << run.out;
        RunResult inspect = RunProgram(
            MkpatchPath(), {"inspect", NativePath(installer), "--against", NativePath(game)});
        EXPECT_EQ(2, inspect.exitCode) << inspect.err;
        // The dry run of mkpatch says the same, in UTF-8.
        EXPECT_EQ(ChangeLines(ShownAsUtf8(run.out)), ChangeLines(inspect.out)) << inspect.out;

        run = RunProgram(NativePath(installer), {NativePath(game)});
        ASSERT_EQ(0, run.exitCode) << run.out << run.err;
        ExpectExactly(game, three.v3, older.old);
        run = RunProgram(NativePath(installer), {"--dry-run", NativePath(game)});
        EXPECT_EQ(0, run.exitCode) << run.out << run.err;
        EXPECT_TRUE(ChangeLines(run.out).empty()) << run.out;
    }
}

// What a version's own installer cannot express is told for that version,
// and refused with --strict; a version that the package brings wholly to
// the newest (its archive replaced by a whole file) has none.
TEST_F(CumulativeDiffTest, ShortfallsAreToldPerVersion) {
    const std::string v1 = NativePath(scratch / "v1"), v2 = NativePath(scratch / "v2");
    RunResult run = Diff(installer, {"v2", "v3"}, {"--strict"});
    EXPECT_EQ(1, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.err.find("1 sub-file(s) only in OLD's archives, which a "
                                              "patch cannot delete: data/empty.pak: old.dat"))
        << run.err;

    PutFile(scratch / "v1\\gone.txt", "gone");
    run = Diff(installer, {"v1", "v2", "v3"}, {"--strict"});
    EXPECT_EQ(1, run.exitCode) << run.out << run.err;
    EXPECT_FALSE(Exists(installer));
    EXPECT_NE(std::string::npos, run.err.find("\n  " + v1 +
                                              ": 1 loose file(s) only in OLD, which "
                                              "a patch cannot delete: gone.txt"))
        << run.err;
    EXPECT_EQ(std::string::npos, run.err.find(v2 + ":")) << run.err;

    run = Diff(installer, {"v1", "v2", "v3"});
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_EQ("mkpatch: warning: " + v1 +
                  ": 1 loose file(s) only in OLD, which a patch cannot delete: gone.txt\n",
              run.err);
    // Told in v1's part of the summary only.
    const size_t first = run.out.find("OLD tree " + v1 + ":\n");
    const size_t second = run.out.find("OLD tree " + v2 + ":\n");
    const size_t told = run.out.find("  1 kind(s) of difference the package cannot express");
    ASSERT_NE(std::string::npos, second) << run.out;
    EXPECT_LT(first, told) << run.out;
    EXPECT_LT(told, second) << run.out;
    EXPECT_EQ(std::string::npos, run.out.find("kind(s) of difference", second)) << run.out;
}

} // namespace
} // namespace e2e
