// mkpatch run as the release engineer runs it: installers built from
// directories and archives, inspected, and installed with the orv they carry.
#include "e2e_support.h"
#include "pe_stub.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace e2e {
namespace {

constexpr u64 kStamp = 132000000000000000ULL;
constexpr u64 kHour = 36000000000ULL;

class MkpatchTest : public ::testing::Test {
  protected:
    Scratch scratch;
    const std::string release = scratch / "release";
    const std::string game = scratch / "game";
    const std::string installer = scratch / "setup";

    void SetUp() override { MakeDirectory(game); }
    std::string Game(const std::string& name) const { return game + "\\" + name; }
    std::string Native(const std::string& name) const { return NativePath(release + "\\" + name); }

    RunResult Build(std::vector<std::string> args) {
        args.insert(args.begin(),
                    {"build", "--stub", StubPath(), "-o", NativePath(installer), "--level", "1"});
        return RunProgram(MkpatchPath(), args);
    }
};

u64 ModificationStamp(const std::string& path) {
    struct stat st;
    stat(NativePath(path).c_str(), &st);
    return (static_cast<u64>(st.st_mtim.tv_sec) + 11644473600ULL) * 10000000ULL +
           st.st_mtim.tv_nsec / 100;
}

TEST_F(MkpatchTest, BuildsFromDirectoriesAndArchivesAndInstalls) {
    PutFile(release + "\\files\\README.TXT", "read me");
    PutFile(release + "\\files\\文档\\说明.txt", "说明");
    PutFile(release + "\\role\\Model\\Warrior.MDL", "warrior");
    PutFile(release + "\\role\\模型\\战士.mdl", "战士");
    MakeArchive(release + "\\scene.pak", {{"map\\a.dat", {"packed", 3, 999, kStamp}},
                                          {"empty.dat", {"", 0, 0, kStamp + kHour}}});

    RunResult run = Build({"--files", Native("files"), "--pak", u8"data/角色.pak=" + Native("role"),
                           "--pak", u8"新/场景.pak=" + Native("scene.pak")});
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;

    run = RunProgram(MkpatchPath(), {"inspect", "--json", NativePath(installer)});
    EXPECT_EQ(0, run.exitCode) << run.err;
    for (const char* expected :
         {"\"ok\": true", u8"\"name\": \"data\\\\角色.pak\"", "\"name\": \"model\\\\warrior.mdl\"",
          u8"\"name\": \"文档\\\\说明.txt\"", "\"method\": 3", "\"originalSize\": 999",
          "\"name\": \"README.TXT\""})
        EXPECT_NE(std::string::npos, run.out.find(expected)) << expected << "\n" << run.out;
    run = RunProgram(MkpatchPath(), {"inspect", NativePath(installer)});
    EXPECT_EQ(0, run.exitCode);
    EXPECT_NE(std::string::npos, run.out.find("ok: all 6 record digests match")) << run.out;

    run = RunInstaller(installer, game);
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_EQ("read me", FileBytes(Game("README.TXT")));
    EXPECT_EQ(ModificationStamp(release + "\\files\\README.TXT"), WriteStamp(Game("README.TXT")));
    EXPECT_EQ("说明", FileBytes(Game("文档\\说明.txt")));
    SubFiles role, scene;
    ASSERT_TRUE(ReadArchive(Game("data\\角色.pak"), &role));
    EXPECT_EQ("warrior", role["model\\warrior.mdl"].bytes);
    EXPECT_EQ("战士", role["模型\\战士.mdl"].bytes);
    EXPECT_EQ(ModificationStamp(release + "\\role"), WriteStamp(Game("data\\角色.pak")));
    ASSERT_TRUE(ReadArchive(Game("新\\场景.pak"), &scene));
    EXPECT_EQ("packed", scene["map\\a.dat"].bytes);
    EXPECT_EQ(3u, scene["map\\a.dat"].method);
    EXPECT_EQ(999u, scene["map\\a.dat"].originalSize);
    EXPECT_EQ(kStamp, scene["map\\a.dat"].stamp);
    EXPECT_EQ(kStamp + kHour, scene["empty.dat"].stamp);
    EXPECT_EQ(ModificationStamp(release + "\\scene.pak"), WriteStamp(Game("新\\场景.pak")));

    // Names as the archives file them: a second run finds every sub-file.
    SetWriteStamp(Game("data\\角色.pak"), kStamp);
    SetWriteStamp(Game("新\\场景.pak"), kStamp);
    const Snapshot before = TakeSnapshot(game);
    run = RunInstaller(installer, game);
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_EQ(before, TakeSnapshot(game));
}

TEST_F(MkpatchTest, RefusesBadInputWithoutWritingAnInstaller) {
    PutFile(release + "\\dir\\a.txt", "a");
    PutFile(release + "\\bad.pak", std::string(100, 'x'));
    MakeArchive(release + "\\spoilt.pak", {{"a.txt", {"abcdefgh"}}});
    std::string spoilt = FileBytes(release + "\\spoilt.pak");
    spoilt[68] ^= 1; // the first data byte
    PutFile(release + "\\spoilt.pak", spoilt);

    struct Case {
        std::vector<std::string> args;
        int exitCode;
    };
    const Case cases[] = {
        {{"--level", "12"}, 2},
        {{"--pak", "../x.pak=" + Native("dir")}, 2},
        {{"--pak", "/abs.pak=" + Native("dir")}, 2},
        {{"--pak", "data/x.txt=" + Native("dir")}, 2},
        {{"--pak", "data/x.pak=" + Native("absent")}, 2},
        {{"--pak", "data/x.pak=" + Native("dir"), "--pak", "DATA/X.PAK=" + Native("dir")}, 2},
        {{"--pak", "data/x.pak=" + Native("bad.pak")}, 1},
        {{"--pak", "data/x.pak=" + Native("spoilt.pak")}, 1},
        {{"--files", Native("absent")}, 2},
        {{"--bogus"}, 2},
    };
    for (const Case& c : cases) {
        std::string joined;
        for (const std::string& arg : c.args)
            joined += arg + " ";
        SCOPED_TRACE(joined);
        RunResult run = Build(c.args);
        EXPECT_EQ(c.exitCode, run.exitCode) << run.err;
        EXPECT_NE(std::string::npos, run.err.find("mkpatch: ")) << run.err;
        EXPECT_FALSE(Exists(installer));
    }
    RunResult run = RunProgram(MkpatchPath(), {"build", "-o", NativePath(installer)});
    EXPECT_EQ(2, run.exitCode);
    run = RunProgram(MkpatchPath(), {"frobnicate"});
    EXPECT_EQ(2, run.exitCode);

    // A file name that code page 936 cannot spell.
    const std::string emoji = NativePath(release) + "/emoji/\xF0\x9F\x98\x80.txt";
    PutFile(release + "\\emoji\\plain.txt", "p");
    { std::ofstream(emoji) << "e"; }
    run = Build({"--files", Native("emoji")});
    EXPECT_EQ(1, run.exitCode) << run.err;
    EXPECT_FALSE(Exists(installer));
}

// Files a Linux tree may hold but Windows would not keep as named: neither
// builder puts them in an installer, and the message names the file.
TEST_F(MkpatchTest, RefusesNamesWindowsWouldNotKeep) {
    PutFile(release + "\\dir\\a.txt", "a");
    MakeDirectory(release + "\\old");
    const struct {
        const char* file; // under the tree, '\\' separated
        const char* why;
    } kFiles[] = {
        {"data\\aux.cfg", "device name"},
        {"lpt1.log", "device name"},
        {"nul\\z.txt", "device name"},
        {"data\\x.", "ends in a dot"},
        {"data\\y ", "ends in a dot or a space"},
        {"a?.txt", "0x3F"},
        {"a|b.txt", "0x7C"},
    };
    for (const auto& bad : kFiles) {
        SCOPED_TRACE(bad.file);
        RemoveTree(release + "\\files");
        PutFile(release + "\\files\\" + bad.file, "x");
        RunResult run = Build({"--files", Native("files")});
        EXPECT_NE(0, run.exitCode);
        EXPECT_NE(std::string::npos, run.err.find(NativePath(bad.file))) << run.err;
        EXPECT_NE(std::string::npos, run.err.find(bad.why)) << run.err;
        EXPECT_FALSE(Exists(installer));
        run = RunProgram(MkpatchPath(), {"diff", "--stub", StubPath(), "-o", NativePath(installer),
                                         Native("old"), Native("files")});
        EXPECT_NE(0, run.exitCode);
        EXPECT_NE(std::string::npos, run.err.find(NativePath(bad.file))) << run.err;
        EXPECT_FALSE(Exists(installer));
    }
    for (const char* pak : {"data/aux.pak", "nul/x.pak", "data./x.pak", "a*.pak"}) {
        RunResult run = Build({"--pak", std::string(pak) + "=" + Native("dir")});
        EXPECT_EQ(2, run.exitCode) << pak;
        EXPECT_NE(std::string::npos, run.err.find(pak)) << run.err;
        EXPECT_FALSE(Exists(installer));
    }
}

TEST_F(MkpatchTest, InspectFindsARecordThatDoesNotMatchItsDigest) {
    RawPackage package;
    package.AddLoose("good.txt", "good", kStamp);
    package.AddLoose("bad.txt", "bad", kStamp);
    package.files[1].storedMd5[5] ^= 1;
    WriteRawInstaller(installer, Deflate(package.Serialize()));
    RunResult run = RunProgram(MkpatchPath(), {"inspect", NativePath(installer)});
    EXPECT_EQ(1, run.exitCode);
    EXPECT_NE(std::string::npos, run.out.find("bad.txt  3 bytes")) << run.out;
    EXPECT_NE(std::string::npos, run.out.find("MISMATCH")) << run.out;
    EXPECT_NE(std::string::npos, run.err.find("file record 1 (bad.txt)")) << run.err;

    PutFile(installer, "short");
    run = RunProgram(MkpatchPath(), {"inspect", NativePath(installer)});
    EXPECT_EQ(1, run.exitCode);
    EXPECT_NE(std::string::npos, run.out.find("shorter than the 8-byte trailer")) << run.out;
    run = RunProgram(MkpatchPath(), {"inspect", NativePath(scratch / "absent")});
    EXPECT_EQ(2, run.exitCode);
}

// A program on the PATH, or "" when there is none.
std::string FindOnPath(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::istringstream dirs(path != nullptr ? path : "");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0)
            return dir + "/" + program;
    return "";
}

// Installers signed through osslsigncode, with a throwaway certificate: the
// signature covers the payload, the installer's reader still finds the
// package before the certificate table, and inspect names the signer.
TEST_F(MkpatchTest, SignedInstallersVerifyAndNameTheirSigner) {
    const std::string openssl = FindOnPath("openssl"), signer = FindOnPath("osslsigncode");
    if (openssl.empty() || signer.empty())
        GTEST_SKIP() << "openssl and osslsigncode are needed (scripts/setup.sh installs them)";
    const std::string cert = NativePath(scratch / "cert.pem"),
                      key = NativePath(scratch / "key.pem");
    RunResult run = RunProgram(openssl, {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                                         "2", "-subj", u8"/C=CN/O=Release Test/CN=砚川 发布",
                                         "-utf8", "-keyout", key, "-out", cert});
    ASSERT_EQ(0, run.exitCode) << run.err;
    const std::string stub = scratch / "stub.exe";
    PutFile(stub, pitest::HandMadePeStub());
    PutFile(release + "\\files\\a.txt", "signed bytes");
    PutFile(game + "\\a.txt", "old bytes");
    const std::vector<std::string> build = {
        "build",   "--stub",       NativePath(stub), "-o", NativePath(installer),
        "--files", Native("files")};
    std::vector<std::string> signedBuild = build;
    signedBuild.insert(signedBuild.end(), {"--sign", cert, key});
    run = RunProgram(MkpatchPath(), signedBuild);
    ASSERT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find(", signature ")) << run.out;
    EXPECT_FALSE(Exists(installer + ".unsigned"));
    EXPECT_FALSE(Exists(installer + ".tmp"));

    run = RunProgram(signer, {"verify", "-CAfile", cert, "-in", NativePath(installer)});
    EXPECT_EQ(0, run.exitCode) << run.out << run.err;
    run = RunProgram(MkpatchPath(), {"inspect", NativePath(installer)});
    EXPECT_EQ(0, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos,
              run.out.find(u8"signature  signed by C=CN, O=Release Test, CN=砚川 发布"))
        << run.out;
    run = RunProgram(MkpatchPath(),
                     {"inspect", "--against", NativePath(game), NativePath(installer)});
    EXPECT_EQ(2, run.exitCode) << run.out << run.err;
    EXPECT_NE(std::string::npos, run.out.find("a.txt")) << run.out;

    // One payload byte changed: the signature no longer holds, and the
    // installer's own checks find the damage.
    const std::string original = FileBytes(installer);
    std::string tampered = original;
    tampered[pitest::HandMadePeStub().size() + 20] ^= 0x40;
    PutFile(installer, tampered);
    run = RunProgram(signer, {"verify", "-CAfile", cert, "-in", NativePath(installer)});
    EXPECT_NE(0, run.exitCode) << run.out;
    run = RunProgram(MkpatchPath(), {"inspect", NativePath(installer)});
    EXPECT_EQ(1, run.exitCode) << run.out;

    // A certificate table that cannot be read is reported, and the package
    // is still found before it.
    u32 table;
    memcpy(&table, &original[pitest::kHandMadePeSecurityDirectory], 4);
    ASSERT_LT(table + 16u, original.size());
    const struct {
        size_t offset;
        char bytes[2];
        const char* expected;
    } kDamage[] = {{6, {1, 0}, "not an Authenticode signature"},
                   {0, {'\xFF', '\xFF'}, "the first certificate's length runs past it"},
                   {9, {'\x85', 0}, "its signature cannot be read"}};
    for (const auto& damage : kDamage) {
        std::string bytes = original;
        bytes.replace(table + damage.offset, 2, damage.bytes, 2);
        PutFile(installer, bytes);
        run = RunProgram(MkpatchPath(), {"inspect", NativePath(installer)});
        EXPECT_EQ(0, run.exitCode) << run.out << run.err;
        EXPECT_NE(std::string::npos, run.out.find(damage.expected)) << run.out;
    }

    // Unsigned, inspect says so; signing that fails leaves nothing behind.
    run = RunProgram(MkpatchPath(), build);
    ASSERT_EQ(0, run.exitCode) << run.err;
    run = RunProgram(MkpatchPath(), {"inspect", NativePath(installer)});
    EXPECT_NE(std::string::npos, run.out.find("signature  none")) << run.out;
    const std::string unsignedBytes = FileBytes(installer);
    std::vector<std::string> badKey = build;
    badKey.insert(badKey.end(), {"--sign", cert, NativePath(scratch / "missing.pem")});
    run = RunProgram(MkpatchPath(), badKey);
    EXPECT_EQ(2, run.exitCode);
    EXPECT_NE(std::string::npos, run.err.find("could not sign")) << run.err;
    EXPECT_EQ(unsignedBytes, FileBytes(installer));
    EXPECT_FALSE(Exists(installer + ".unsigned"));
    EXPECT_FALSE(Exists(installer + ".tmp"));
}

} // namespace
} // namespace e2e
