// `mkpatch diff` run as the release engineer runs it: game versions made up
// by the test, the installer built from two of them, applied to a copy of the
// older one with the installer (orv, orvc.exe), and the result held against
// the newer.
#include "diff_support.h"
#include "json_output.h"
#include "patch/block_deflate.h"

#include <gtest/gtest.h>

#include <random>

namespace e2e {
namespace {

// Two versions made up from one seed, and what NEW can no longer delete.
class VersionPair {
  public:
    explicit VersionPair(unsigned seed) : m_random(seed) {
        MakeOld();
        MakeNew();
    }
    Version old, fresh;
    std::vector<std::string> removedFiles;
    std::map<std::string, std::set<std::string>> removedSubFiles; // by archive

  private:
    std::string Bytes() {
        if (Chance(0.1))
            return "";
        std::string bytes(m_random() % 3000 + 1, '\0');
        for (char& c : bytes)
            c = static_cast<char>(m_random());
        return bytes;
    }
    bool Chance(double p) { return std::uniform_real_distribution<>(0, 1)(m_random) < p; }
    template <size_t N> const char* Pick(const char* const (&items)[N]) {
        return items[m_random() % N];
    }
    std::string FileName(int i) {
        static const char* const kDirs[] = {"", "bin\\", "config\\", "文档\\", "深\\层\\"};
        static const char* const kBases[] = {"readme", "说明", "Client", "战士", "data"};
        static const char* const kExtensions[] = {".txt", ".dat", ".INI", ".bin"};
        return Pick(kDirs) + std::string(Pick(kBases)) + std::to_string(i) + Pick(kExtensions);
    }
    std::string SubFileName(int i) {
        static const char* const kDirs[] = {"", "map\\", "模型\\"};
        static const char* const kBases[] = {"a", "战士", "tex"};
        return Pick(kDirs) + std::string(Pick(kBases)) + std::to_string(i) + ".dat";
    }
    SubFile NewSubFile() {
        SubFile file{Bytes(), Chance(0.5) ? 3u : 0u, 0, kStamp + m_random() % 1000 * kHour};
        // The library files an empty sub-file with original size 0.
        if (file.method == 3 && !file.bytes.empty())
            file.originalSize = static_cast<u32>(file.bytes.size()) + 7;
        return file;
    }
    Archive NewArchive(int count) {
        Archive archive{{}, kStamp + m_random() % 1000 * kHour};
        for (int i = 0; i < count; ++i)
            archive.files[SubFileName(m_next++)] = NewSubFile();
        return archive;
    }
    // Other bytes than before, sometimes of the same length.
    std::string Changed(const std::string& bytes) {
        if (bytes.empty() || Chance(0.5))
            return bytes + Bytes() + "+";
        std::string changed = bytes;
        changed[m_random() % changed.size()] ^= 0x40;
        return changed;
    }

    void MakeOld() {
        for (int i = 0; i < 14; ++i)
            old.files[FileName(m_next++)] = {Chance(0.2) ? "" : Bytes(),
                                             kStamp + m_random() % 1000 * kHour};
        old.archives["data\\scene.pak"] = NewArchive(10);
        old.archives["Sound\\Music.PAK"] = NewArchive(10);
        old.archives["data\\same.pak"] = NewArchive(4);
        old.archives["角色.pak"] = NewArchive(3);
    }

    // The first few items of each kind get a fixed fate, the rest a random one.
    void MakeNew() {
        int i = 0;
        for (const auto& [name, file] : old.files) {
            const int fate = i < 3 ? i : static_cast<int>(m_random() % 4);
            ++i;
            if (fate == 0)
                removedFiles.push_back(name);
            else if (fate == 1)
                fresh.files[name] = {Changed(file.bytes), file.stamp + kHour};
            else
                fresh.files[name] = file;
        }
        for (int k = 0; k < 4; ++k)
            fresh.files[FileName(m_next++)] = {k == 0 ? "" : Bytes(), kStamp + k * kHour};
        fresh.archives["data\\same.pak"] = old.archives["data\\same.pak"];
        ChangeOneSubFile("data\\scene.pak");
        ChangeSubFiles("Sound\\Music.PAK");
        for (const auto& [name, file] : old.archives.at("角色.pak").files)
            removedSubFiles["角色.pak"].insert(name);
        fresh.archives["新\\地图.pak"] = NewArchive(5);
        fresh.archives["新\\地图.pak"].files["空.dat"] = {"", 0, 0, kStamp};
    }

    void ChangeOneSubFile(const std::string& name) {
        Archive& archive = fresh.archives[name] = old.archives[name];
        SubFile& file = archive.files.begin()->second;
        file.bytes = Changed(file.bytes);
        file.stamp += kHour;
        archive.stamp += kHour;
    }

    void ChangeSubFiles(const std::string& name) {
        Archive& archive = fresh.archives[name] = {{}, old.archives[name].stamp + kHour};
        int i = 0;
        for (const auto& [subName, file] : old.archives[name].files) {
            const int fate = i < 4 ? i : static_cast<int>(m_random() % 4);
            ++i;
            SubFile changed = file;
            changed.stamp += kHour;
            if (fate == 0) {
                removedSubFiles[name].insert(subName);
                continue;
            }
            if (fate == 1)
                changed.method = file.method == 3 ? 0 : 3; // the same bytes, packed otherwise
            else if (fate == 2)
                changed.bytes = Changed(file.bytes);
            else
                changed = file;
            archive.files[subName] = changed;
        }
        for (int k = 0; k < 3; ++k)
            archive.files[SubFileName(m_next++)] = NewSubFile();
    }

    std::mt19937 m_random;
    int m_next = 0;
};

class DiffTest : public ::testing::Test {
  protected:
    Scratch scratch;
    const std::string oldDir = scratch / "old";
    const std::string newDir = scratch / "new";
    const std::string game = scratch / "game";
    const std::string installer = scratch / "setup";

    RunResult Diff(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {
            "diff", "--stub",           StubPath(),        "-o", NativePath(installer), "--level",
            "1",    NativePath(oldDir), NativePath(newDir)};
        args.insert(args.end(), extra.begin(), extra.end());
        return RunProgram(MkpatchPath(), args);
    }
    RunResult Install() { return RunProgram(NativePath(installer), {NativePath(game)}); }
    RunResult DryRun() {
        return RunProgram(NativePath(installer), {"--dry-run", NativePath(game)});
    }
    bool NoOutput() const { return !Exists(installer) && !Exists(installer + ".tmp"); }
};

// Every file and sub-file of NEW, byte for byte and with NEW's times; what
// only OLD had is still there.
void ExpectNewVersion(const VersionPair& pair, const std::string& game) {
    for (const auto& [name, file] : pair.fresh.files) {
        SCOPED_TRACE(NativePath(name));
        EXPECT_EQ(file.bytes, FileBytes(game + "\\" + name));
        EXPECT_EQ(file.stamp, WriteStamp(game + "\\" + name));
    }
    for (const std::string& name : pair.removedFiles)
        EXPECT_EQ(pair.old.files.at(name).bytes, FileBytes(game + "\\" + name));
    for (const auto& [name, archive] : pair.fresh.archives) {
        SCOPED_TRACE(NativePath(name));
        SubFiles held;
        ASSERT_TRUE(ReadArchive(game + "\\" + name, &held));
        for (const auto& [subName, file] : archive.files) {
            SCOPED_TRACE(NativePath(subName));
            ASSERT_EQ(1u, held.count(subName));
            ExpectSubFile(file, held[subName]);
            held.erase(subName);
        }
        std::set<std::string> left;
        for (const auto& entry : held)
            left.insert(entry.first);
        EXPECT_EQ(pair.removedSubFiles.count(name) ? pair.removedSubFiles.at(name)
                                                   : std::set<std::string>(),
                  left);
        EXPECT_EQ(archive.stamp, WriteStamp(game + "\\" + name));
    }
}

TEST_F(DiffTest, RandomVersionPairsInstallToExactlyTheNewVersion) {
    for (unsigned seed = 1; seed <= 4; ++seed) {
        // The last one compressed by zopfli, where mkpatch has it.
        const bool zopfli = seed == 4 && BlockDeflater::HasLevel(BlockDeflater::kZopfliLevel);
        const char* level = zopfli ? "11" : "1";
        SCOPED_TRACE("seed " + std::to_string(seed) + ", level " + level);
        Scratch round;
        const VersionPair pair(seed);
        Materialize(pair.old, round / "old");
        Materialize(pair.fresh, round / "new");
        Materialize(pair.old, round / "game");
        const std::string setup = round / "setup";
        RunResult run = RunProgram(
            MkpatchPath(), {"diff", "--stub", StubPath(), "-o", NativePath(setup), "--level", level,
                            NativePath(round / "old"), NativePath(round / "new")});
        ASSERT_EQ(0, run.exitCode) << run.out << run.err;
        size_t removedSubFiles = 0;
        for (const auto& [name, names] : pair.removedSubFiles)
            removedSubFiles += name == "角色.pak" ? 0 : names.size();
        for (const std::string& expected :
             {std::to_string(pair.removedFiles.size()) + " loose file(s) only in OLD",
              TreeName(pair.removedFiles.front()),
              "1 archive(s) only in OLD, which a patch cannot delete: " + ToolText("角色.pak"),
              std::to_string(removedSubFiles) + " sub-file(s) only in OLD's archives"})
            EXPECT_NE(std::string::npos, run.err.find(expected)) << expected << "\n" << run.err;

        run = RunProgram(NativePath(setup), {NativePath(round / "game")});
        ASSERT_EQ(0, run.exitCode) << run.out << run.err;
        ExpectNewVersion(pair, round / "game");
        run = RunProgram(NativePath(setup), {"--dry-run", NativePath(round / "game")});
        EXPECT_EQ(0, run.exitCode) << run.out << run.err;
        EXPECT_TRUE(ChangeLines(run.out).empty()) << run.out;
    }
}

TEST_F(DiffTest, InspectAgainstADirectoryGivesTheDryRunsReport) {
    const VersionPair pair(7);
    Materialize(pair.old, oldDir);
    Materialize(pair.fresh, newDir);
    Materialize(pair.old, game);
    ASSERT_EQ(0, Diff().exitCode);
    const Snapshot before = TakeSnapshot(game);
    RunResult dryRun = DryRun();
    RunResult inspect = RunProgram(
        MkpatchPath(), {"inspect", NativePath(installer), "--against", NativePath(game)});
    EXPECT_EQ(2, dryRun.exitCode) << dryRun.out << dryRun.err;
    EXPECT_EQ(2, inspect.exitCode) << inspect.out << inspect.err;
    EXPECT_FALSE(ChangeLines(dryRun.out).empty());
    const std::string dryRunText = ShownAsUtf8(dryRun.out);
    ASSERT_GE(inspect.out.size(), dryRunText.size());
    EXPECT_EQ(dryRunText, inspect.out.substr(inspect.out.size() - dryRunText.size()));
    EXPECT_EQ(before, TakeSnapshot(game));

    // Every failure of inspect --against is 1: 2 would mean "changes".
    inspect = RunProgram(MkpatchPath(), {"inspect", NativePath(installer), "--against",
                                         NativePath(scratch / "absent")});
    EXPECT_EQ(1, inspect.exitCode) << inspect.out << inspect.err;
    inspect = RunProgram(MkpatchPath(), {"inspect", "--against", NativePath(game), "--bogus"});
    EXPECT_EQ(1, inspect.exitCode) << inspect.err;
}

TEST_F(DiffTest, EqualTreesGiveAnInstallerWithoutRecords) {
    const VersionPair pair(11);
    Materialize(pair.old, oldDir);
    Materialize(pair.old, newDir);
    Materialize(pair.old, game);
    RunResult run = Diff({"--strict"});
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find("wrote " + ToolPath(installer) + ": 0 record(s)"))
        << run.out;
    run = RunProgram(MkpatchPath(), {"inspect", "--json", NativePath(installer)});
    EXPECT_NE(std::string::npos, run.out.find("\"paks\": [],\n  \"looseFiles\": [],")) << run.out;

    const Snapshot before = TakeSnapshot(game);
    run = Install();
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_EQ(before, TakeSnapshot(game));
}

u64 JsonNumber(const std::string& json, const std::string& key) {
    const size_t at = json.find("\"" + key + "\": ");
    return at == std::string::npos ? 0 : std::stoull(json.substr(at + key.size() + 4));
}

size_t Count(const std::string& text, const std::string& what) {
    size_t count = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++count;
    return count;
}

TEST_F(DiffTest, OneChangedSubFileOfALargeArchiveIsAllThePayloadHolds) {
    std::mt19937 random(5);
    Archive archive{{}, kStamp};
    for (int i = 0; i < 64; ++i) {
        std::string bytes(32768, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random());
        archive.files["big" + std::to_string(i) + ".dat"] = {bytes, 3, 40000, kStamp};
    }
    Version old, fresh;
    old.archives["data\\big.pak"] = archive;
    archive.files["big17.dat"].bytes[100] ^= 1;
    fresh.archives["data\\big.pak"] = archive;
    Materialize(old, oldDir);
    Materialize(fresh, newDir);
    RunResult run = Diff({"--strict"});
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;

    run = RunProgram(MkpatchPath(), {"inspect", "--json", NativePath(installer)});
    ASSERT_EQ(0, run.exitCode) << run.out;
    EXPECT_EQ(1u, Count(run.out, "\"inPak\": ")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("\"name\": \"big17.dat\"")) << run.out;
    EXPECT_EQ(32768u, JsonNumber(run.out, "packageSize") - JsonNumber(run.out, "dataBase"));
    EXPECT_LT(FileBytes(installer).size(), FileBytes(StubPath()).size() + 40000);
}

TEST_F(DiffTest, DamagedArchivesStopTheBuildNamingArchiveAndSubFile) {
    const SubFiles files = {{"a.dat", {"aaaa"}}, {"b.dat", {"bbbb"}}, {"c.dat", {"cccc"}}};
    struct Case {
        const char* what;
        std::function<void()> spoil;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"old sub-file data",
         [&] { SpoilSubFileData(oldDir + "\\data\\x.pak", "b.dat"); },
         {ToolPath("old\\data\\x.pak is damaged"), "b.dat"}},
        {"new sub-file data",
         [&] { SpoilSubFileData(newDir + "\\data\\x.pak", "c.dat"); },
         {ToolPath("new\\data\\x.pak is damaged"), "c.dat"}},
        {"new index entry",
         [&] { SpoilIndexEntry(newDir + "\\data\\x.pak", 1); },
         {ToolPath("new\\data\\x.pak is damaged"), "index entry 1"}},
        {"old header",
         [&] { PutFile(oldDir + "\\data\\x.pak", std::string(100, 'x')); },
         {ToolPath("old\\data\\x.pak is damaged"), "header"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        MakeArchive(oldDir + "\\data\\x.pak", files);
        MakeArchive(newDir + "\\data\\x.pak", files);
        PutFile(newDir + "\\readme.txt", "new");
        c.spoil();
        RunResult run = Diff();
        EXPECT_EQ(1, run.exitCode) << run.out << run.err;
        for (const std::string& text : c.expected)
            EXPECT_NE(std::string::npos, run.err.find(text)) << text << "\n" << run.err;
        EXPECT_TRUE(NoOutput());
    }
}

TEST_F(DiffTest, WhatThePackageCannotExpressIsReportedOrWithStrictRefused) {
    PutFile(oldDir + "\\gone.txt", "gone");
    PutFile(oldDir + "\\Readme.TXT", "old");
    PutFile(newDir + "\\readme.txt", "new");
    MakeArchive(oldDir + "\\k.pak", {{"a.dat", {"same", 0, 0, kStamp}}, {"b.dat", {"b"}}});
    MakeArchive(newDir + "\\k.pak", {{"a.dat", {"same", 0, 0, kStamp + kHour}}});
    const char* const expected[] = {
        "1 loose file(s) only in OLD, which a patch cannot delete: gone.txt",
        "in letter case only; the file keeps OLD's spelling: Readme.TXT",
        "1 sub-file(s) only in OLD's archives, which a patch cannot delete: k.pak: b.dat",
        "1 sub-file(s) that differ from OLD's only in original size, original digest or stamp",
    };

    RunResult run = Diff({"--strict"});
    EXPECT_EQ(1, run.exitCode) << run.out << run.err;
    EXPECT_TRUE(NoOutput());
    for (const char* text : expected)
        EXPECT_NE(std::string::npos, run.err.find(text)) << text << "\n" << run.err;

    run = Diff();
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    for (const char* text : expected)
        EXPECT_NE(std::string::npos, run.err.find(text)) << text << "\n" << run.err;
    EXPECT_EQ(4u, Count(run.err, "mkpatch: warning: ")) << run.err;
    EXPECT_NE(std::string::npos, run.out.find("1 record(s): 0 sub-file(s) of 0 archive(s), 1 "
                                              "loose file(s)"))
        << run.out;
}

// The lines of the size report in a tool's text output.
std::vector<std::string> SizeReport(const std::string& out) {
    std::vector<std::string> rows;
    size_t at = out.find("carried, largest first");
    for (at = out.find('\n', at) + 1; out.compare(at, 2, "  ") == 0; at = out.find('\n', at) + 1)
        rows.push_back(out.substr(at, out.find('\n', at) - at));
    return rows;
}

// The size report, in both tools: largest first, one row per archive and per
// directory of loose files, with why each record travels. An archive stored
// anew by mistake (every sub-file packed otherwise) is the top row, every
// sub-file counted; what is equal does not show.
TEST_F(DiffTest, SizeReportPutsTheLargestFirstAndTellsWhy) {
    std::mt19937 random(9);
    auto bytes = [&random](size_t size) {
        std::string bytes(size, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random());
        return bytes;
    };
    Version old, fresh;
    Archive& big = old.archives["data\\big.pak"] = {{}, kStamp};
    for (int i = 0; i < 16; ++i)
        big.files["tex" + std::to_string(i) + ".dat"] = {bytes(4096), 0, 0, kStamp};
    Archive& repacked = fresh.archives["data\\big.pak"] = big;
    for (auto& [name, file] : repacked.files)
        file = {file.bytes, 3, 5000, kStamp};
    repacked.files["tex16.dat"] = {bytes(4096), 0, 0, kStamp};
    old.archives["data\\small.pak"] = {{{"a.dat", {"a", 0, 0, kStamp}}, {"b.dat", {"b"}}}, kStamp};
    fresh.archives["data\\small.pak"] = {{{"a.dat", {"a2", 0, 0, kStamp}}, {"b.dat", {"b"}}},
                                         kStamp};
    old.files["bin\\client.exe"] = {bytes(9000), kStamp};
    fresh.files["bin\\client.exe"] = {bytes(10000), kStamp};
    fresh.files["bin\\new.dll"] = {bytes(3000), kStamp};
    old.files["bin\\same.dll"] = fresh.files["bin\\same.dll"] = {bytes(50000), kStamp};
    old.files["readme.txt"] = {"old", kStamp};
    fresh.files["readme.txt"] = {"new!", kStamp};
    Materialize(old, oldDir);
    Materialize(fresh, newDir);
    Materialize(old, game);
    const std::vector<std::string> why = {
        "  data\\big.pak    68.0 KiB  (16 changed, 1 new sub-files)",
        "  bin\\            12.7 KiB  (1 changed, 1 new loose files)",
        "  .\\               4 bytes  (1 changed loose file)",
        "  data\\small.pak   2 bytes  (1 changed sub-file)",
    };

    RunResult run = Diff();
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_EQ(why, SizeReport(run.out)) << run.out;
    run = Diff({"--json"});
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    const pitool::Json rows = pitool::Json::parse(run.out)["sizeReport"];
    ASSERT_EQ(4u, rows.size()) << run.out;
    EXPECT_EQ("data\\big.pak", rows[0]["name"].get<std::string>());
    EXPECT_EQ("archive", rows[0]["kind"].get<std::string>());
    EXPECT_EQ(17 * 4096, rows[0]["bytes"].get<int>());
    EXPECT_EQ(16, rows[0]["changed"].get<int>());
    EXPECT_EQ(1, rows[0]["new"].get<int>());
    EXPECT_EQ("directory", rows[2]["kind"].get<std::string>());

    // Only a game directory tells new from changed.
    run = RunProgram(MkpatchPath(), {"inspect", NativePath(installer)});
    EXPECT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_EQ(std::vector<std::string>({
                  "  data\\big.pak    68.0 KiB  (17 carried sub-files)",
                  "  bin\\            12.7 KiB  (2 carried loose files)",
                  "  .\\               4 bytes  (1 carried loose file)",
                  "  data\\small.pak   2 bytes  (1 carried sub-file)",
              }),
              SizeReport(run.out))
        << run.out;
    run = RunProgram(MkpatchPath(),
                     {"inspect", NativePath(installer), "--against", NativePath(game)});
    EXPECT_EQ(2, run.exitCode) << run.out << run.err;
    EXPECT_EQ(why, SizeReport(run.out)) << run.out;
    ASSERT_EQ(0, Install().exitCode);
    run = RunProgram(MkpatchPath(),
                     {"inspect", NativePath(installer), "--against", NativePath(game)});
    EXPECT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos,
              run.out.find("  data\\big.pak    68.0 KiB  (17 already equal sub-files)"))
        << run.out;
}

} // namespace
} // namespace e2e
