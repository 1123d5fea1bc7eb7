// The package layout as the builder writes it, the inflation edge cases and
// the builder's refusals.
#include "patch_test_support.h"

#include "patch/progress.h"
#include "pe_stub.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <random>

using namespace patchtest;

namespace {

std::string U32(u32 value) {
    return std::string(reinterpret_cast<const char*>(&value), 4);
}

std::string NameField(const std::string& name) {
    return name + std::string(260 - name.size(), '\0');
}

std::string FileRecordBytes(const PackageFile& file, u32 offset, u32 method, u32 inPak) {
    return NameField(file.name) + U32(offset) + U32(file.size) +
           std::string(reinterpret_cast<const char*>(file.storedMd5), 16) + U32(file.originalSize) +
           std::string(reinterpret_cast<const char*>(file.originalMd5), 16) +
           U32(file.stamp.dwLowDateTime) + U32(file.stamp.dwHighDateTime) + U32(method) +
           U32(inPak);
}

// `head` in one stored block, then a raw stream of `zeros` zero bytes, closed
// with a sync flush (the stream goes on with `tail`) or as the final block.
std::string StoredThenZeros(const std::string& head, u32 zeros, const std::string& tail, bool final,
                            size_t* cut) {
    const u16 length = static_cast<u16>(head.size());
    const u16 inverse = static_cast<u16>(~length);
    std::string out("\0", 1); // not final, stored, padded to the byte
    out.append(reinterpret_cast<const char*>(&length), 2);
    out.append(reinterpret_cast<const char*>(&inverse), 2);
    out += head;
    z_stream z;
    std::memset(&z, 0, sizeof z);
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string body(zeros, '\0');
    std::string buffer(deflateBound(&z, zeros + static_cast<uLong>(tail.size())) + 64, '\0');
    z.next_in = reinterpret_cast<Bytef*>(&body[0]);
    z.avail_in = zeros;
    z.next_out = reinterpret_cast<Bytef*>(&buffer[0]);
    z.avail_out = static_cast<uInt>(buffer.size());
    deflate(&z, final ? Z_FINISH : Z_SYNC_FLUSH);
    *cut = out.size() + z.total_out;
    if (!final) {
        z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(tail.data()));
        z.avail_in = static_cast<uInt>(tail.size());
        deflate(&z, Z_FINISH);
    }
    out.append(buffer.data(), z.total_out);
    deflateEnd(&z);
    return out;
}

// A stream whose first 4096 bytes inflate to exactly 163840 bytes, so the
// output buffer is full exactly when the first input chunk is used up.
std::string ExactFillStream(bool final, const std::string& tail, std::string* plain) {
    std::mt19937 random(7);
    std::string head;
    size_t cut = 0;
    for (int round = 0; round < 8; ++round) {
        StoredThenZeros(head, kInflateOutputSize - static_cast<u32>(head.size()), tail, final,
                        &cut);
        const size_t want = kInflateInputSize - (cut - head.size());
        while (head.size() < want)
            head += static_cast<char>(random());
        head.resize(want);
    }
    const u32 zeros = kInflateOutputSize - static_cast<u32>(head.size());
    const std::string stream = StoredThenZeros(head, zeros, tail, final, &cut);
    EXPECT_EQ(cut, kInflateInputSize);
    *plain = head + std::string(zeros, '\0') + (final ? "" : tail);
    return stream;
}

int Inflate(const std::string& compressed, u32 length, std::string* out) {
    MemoryStream source(compressed);
    MemoryStream target;
    const int result = InflateStream(source, target, length);
    *out = target.data;
    return result;
}

} // namespace

// Every field is placed by hand at its offset in the expected bytes.
TEST(PackageLayout, BuilderWritesStubPackageAndTrailerByteForByte) {
    Workspace space;
    PackageContents contents;
    contents.paks.push_back({"data\\x.pak", Stamp(0x0102030405060708ull), {}});
    contents.paks[0].files.push_back(space.File("a.txt", "hello", 11, 3));
    contents.paks[0].files.push_back(space.File("empty.txt", "", 12, 3));
    contents.paks.push_back({"data\\y.pak", Stamp(99), {space.File("b.txt", "bee", 13)}});
    contents.looseFiles.push_back(space.File("readme.txt", "xyz", 14, 5));
    const std::string installer = ReadFileBytes(space.Build(contents));

    const std::string stub = ReadFileBytes(space.Stub());
    ASSERT_EQ(installer.compare(0, stub.size(), stub), 0);
    EXPECT_EQ(installer.substr(installer.size() - 8), U32(stub.size()) + U32(stub.size()));
    // Ending at a multiple of 8, the installer gets no padding when signed.
    EXPECT_EQ(installer.size() % 8, 0u);

    const auto& a = contents.paks[0].files[0];
    const auto& e = contents.paks[0].files[1];
    const auto& b = contents.paks[1].files[0];
    const auto& r = contents.looseFiles[0];
    const std::string expected =
        U32(2) + NameField("data\\x.pak") + U32(0x05060708) + U32(0x01020304) + U32(0) + U32(2) +
        NameField("data\\y.pak") + U32(99) + U32(0) + U32(2) + U32(1) + U32(4) +
        FileRecordBytes(a, 0, 3, 1) + FileRecordBytes(e, 5, 3, 1) + FileRecordBytes(b, 5, 0, 1) +
        FileRecordBytes(r, 8, 0, 0) + "hellobeexyz";
    EXPECT_EQ(Inflated(space.root() + "\\setup4.exe"), expected);
}

// A signature appends a certificate table and names it in the security
// directory; the trailer then stands just before the table.
TEST(PackageLayout, SignedInstallerIsReadBeforeItsCertificateTable) {
    Workspace space;
    WriteFileBytes(space.Stub(), pitest::HandMadePeStub());
    PackageContents contents;
    contents.looseFiles.push_back(space.File("a.txt", "signed content"));
    const std::string unsigned_ = ReadFileBytes(space.Build(contents));
    ASSERT_EQ(unsigned_.size() % 8, 0u);
    const std::string table = U32(24) + std::string("\x00\x02\x02\x00", 4) + std::string(16, 's');
    std::string signed_ = unsigned_ + table;
    signed_.replace(pitest::kHandMadePeSecurityDirectory, 8,
                    U32(static_cast<u32>(unsigned_.size())) + U32(24));
    const std::string installer = space.root() + "\\signed.exe";
    WriteFileBytes(installer, signed_);
    JobRun run = RunJob(space.game(), installer);
    EXPECT_TRUE(run.result) << run.failure;
    EXPECT_EQ(ReadFileBytes(space.GamePath("a.txt")), "signed content");

    // A table that does not end the file is no signature of this file: the
    // trailer is sought at the end, and is not there.
    WriteFileBytes(installer, signed_ + "tail");
    run = RunJob(space.game(), installer);
    EXPECT_FALSE(run.result);
    // Unsigned, with the security directory empty, it reads as always.
    WriteFileBytes(installer, unsigned_);
    EXPECT_TRUE(RunJob(space.game(), installer).result);
}

TEST(PackageLayout, EmptyPackageIsEightBytesWithDataBaseEight) {
    Workspace space;
    const std::string installer = space.Build(PackageContents());
    const std::string inflated = Inflated(installer);
    EXPECT_EQ(inflated, std::string(8, '\0'));
    MemoryStream stream(inflated);
    Manifest manifest;
    ASSERT_TRUE(ReadManifest(stream, 0, &manifest, nullptr));
    EXPECT_EQ(manifest.dataBase, 8u);
    const JobRun run = RunJob(space.game(), installer);
    EXPECT_TRUE(run.result) << run.failure;
    EXPECT_EQ(run.messages, std::vector<std::string>{"done"});
}

TEST(Inflate, OutputFilledExactlyAtTheEndOfAnInputChunk) {
    for (bool final : {false, true}) {
        std::string plain;
        const std::string stream = ExactFillStream(final, std::string(5000, 't'), &plain);
        std::string out;
        EXPECT_EQ(Inflate(stream, static_cast<u32>(stream.size()), &out), Z_OK);
        EXPECT_TRUE(out == plain) << "final " << final << ": " << out.size() << " bytes";
    }
}

TEST(Inflate, StreamEndingBeforeTheTrailerOrFollowedByGarbage) {
    const std::string plain = "package " + std::string(70000, 'q') + " end";
    const std::string stream = DeflateRaw(plain);
    std::string out;
    EXPECT_EQ(Inflate(stream, static_cast<u32>(stream.size()), &out), Z_OK);
    EXPECT_EQ(out, plain);
    const std::string garbage(9000, '\x5A');
    EXPECT_EQ(Inflate(stream + garbage, static_cast<u32>(stream.size() + garbage.size()), &out),
              Z_OK);
    EXPECT_EQ(out, plain);
    EXPECT_EQ(Inflate(stream + garbage, 0xFFFFFFFF, &out), Z_OK);
    EXPECT_EQ(out, plain);
}

TEST(Inflate, TruncatedOrShortStreamsFail) {
    std::mt19937 random(3);
    std::string plain(20000, '\0');
    for (char& c : plain)
        c = static_cast<char>(random() % 7);
    const std::string stream = DeflateRaw(plain);
    std::string out;
    for (size_t keep : {size_t(0), size_t(1), stream.size() / 2, stream.size() - 1})
        EXPECT_EQ(Inflate(stream.substr(0, keep), static_cast<u32>(keep), &out), Z_DATA_ERROR)
            << keep;
    size_t cut = 0;
    const std::string unfinished = StoredThenZeros("abc", 1000, "", false, &cut).substr(0, cut);
    EXPECT_EQ(Inflate(unfinished, static_cast<u32>(unfinished.size()), &out), Z_DATA_ERROR);
    // The source holds fewer bytes than the length given.
    EXPECT_NE(Inflate(stream, static_cast<u32>(stream.size() + 10), &out), Z_OK);
    EXPECT_EQ(Inflate(std::string(64, '\xFF'), 64, &out), Z_DATA_ERROR);
}

TEST(Progress, PercentIsTheTrueQuotientWithoutOverflow) {
    EXPECT_EQ(Percent(8192, 20000), 40u);
    EXPECT_EQ(Percent(16384, 20000), 81u);
    EXPECT_EQ(Percent(0xFFFFFFFFu, 0xFFFFFFFFu), 100u);
    EXPECT_EQ(Percent(0x80000000u, 0xFFFFFFFFu), 50u);
    EXPECT_EQ(Percent(5, 0), 0u);
    EXPECT_EQ(Percent(UINT64_MAX - 1, UINT64_MAX), 99u);
}

// Names as Windows reads them, per character of code page 936: 乗 is 81 5C
// and 亅 is 81 7C, whose second bytes are neither '\\' nor '|'.
TEST(PackageNames, OnlyNamesWindowsKeepsInTheGameDirectory) {
    for (const char* good : {"a.txt", "data\\x.pak", "a\\.b\\c", "..a", "x/y.txt", "com10.txt",
                             "console", "nul_", "\x81\x5C.txt", "\x81\x7C\\\x81\x5C", "\x80 euro"})
        EXPECT_EQ(WhyNotAGameName(good), "") << good;
    const struct {
        const char* name;
        const char* why;
    } kBad[] = {
        {"", "empty"},
        {"\\a", "empty component"},
        {"/a", "empty component"},
        {"a\\\\b", "empty component"},
        {"a\\", "empty component"},
        {"..", "ends in a dot"},
        {"..\\a", "ends in a dot"},
        {"a\\..\\b", "ends in a dot"},
        {"a/../b", "ends in a dot"},
        {"a..\\b", "ends in a dot"},
        {"data\\x.", "ends in a dot"},
        {"data\\y ", "ends in a dot or a space"},
        {"a\\.. \\b", "ends in a dot or a space"},
        {"data\\aux.cfg", "device name"},
        {"con", "device name"},
        {"CON", "device name"},
        {"data\\lpt1.log", "device name"},
        {"nul\\z.txt", "device name"},
        {"com3.dat", "device name"},
        {"Com9", "device name"},
        {"prn .txt", "device name"},
        {"c:a", "0x3A"},
        {"a\\b:s", "0x3A"},
        {"a?.txt", "0x3F"},
        {"a*", "0x2A"},
        {"a|b.txt", "0x7C"},
        {"a<b", "0x3C"},
        {"a>b", "0x3E"},
        {"a\"b", "0x22"},
        {"a\x01"
         "b",
         "0x01"},
        {"a\x1F", "0x1F"},
        {"\xFF"
         "a",
         "0xFF"},
        {"a\x81", "starts no character"},
        {"a\x81\x7F", "starts no character"},
    };
    for (const auto& bad : kBad) {
        const std::string why = WhyNotAGameName(bad.name);
        EXPECT_NE(why.find(bad.why), std::string::npos) << bad.name << ": " << why;
        EXPECT_FALSE(IsSafeRelativeName(bad.name)) << bad.name;
    }
    EXPECT_TRUE(HasPakExtension("Data\\X.PaK"));
    EXPECT_FALSE(HasPakExtension("x.pa"));
    EXPECT_FALSE(HasPakExtension("x.pak.bak"));
}

TEST(PackageWriter, RefusesWhatTheInstallerWouldRefuseAndLeavesNothing) {
    Workspace space;
    const std::string output = space.root() + "\\out.exe";
    struct Case {
        const char* why;
        PackageContents contents;
        const char* expect;
    };
    PackageFile wrong = space.File("w.txt", "data");
    wrong.storedMd5[0] ^= 1;
    PackageFile missing = space.File("m.txt", "data");
    missing.source.path = space.root() + "\\nothing.bin";
    const std::vector<Case> cases = {
        {"long name", {{}, {space.File(std::string(260, 'n'), "x")}}, "259"},
        {"absolute", {{}, {space.File("\\abs.txt", "x")}}, "empty component"},
        {"climbing", {{}, {space.File("a\\..\\..\\b.txt", "x")}}, "ends in a dot"},
        {"not a pak", {{{"data\\x.zip", Stamp(1), {}}}, {}}, ".pak"},
        {"digest", {{}, {space.File("ok.txt", "fine"), wrong}}, "digest"},
        {"missing source", {{}, {missing}}, "nothing.bin"},
    };
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(
            WritePackage(space.Stub().c_str(), c.contents, output.c_str(), 9, nullptr, &error))
            << c.why;
        EXPECT_NE(error.find(c.expect), std::string::npos) << c.why << ": " << error;
        EXPECT_FALSE(Exists(output)) << c.why;
        EXPECT_FALSE(Exists(output + ".tmp")) << c.why;
    }
}

TEST(PackageWriter, DescribesPlainFilesAndReportsProgress) {
    Workspace space;
    const std::string path = space.root() + "\\plain.bin";
    const std::string data(200000, 'd');
    WriteFileBytes(path, data);
    SetWriteTime(path, 0x01D0000012345678ull);
    PackageFile file;
    std::string error;
    ASSERT_TRUE(DescribePlainFile(path.c_str(), "bin\\plain.bin", &file, &error)) << error;
    EXPECT_EQ(std::string(reinterpret_cast<char*>(file.storedMd5), 16), Md5Of(data));
    EXPECT_EQ(std::memcmp(file.storedMd5, file.originalMd5, 16), 0);
    EXPECT_EQ(file.size, data.size());
    EXPECT_EQ(file.originalSize, data.size());
    EXPECT_EQ(file.method, 0u);
    EXPECT_EQ(file.stamp.dwHighDateTime, 0x01D00000u);
    EXPECT_EQ(file.stamp.dwLowDateTime, 0x12345678u);

    struct Recorder : PackageProgress {
        std::vector<u64> done;
        u64 total = 0;
        void OnBytes(u64 d, u64 t) override { done.push_back(d), total = t; }
    } recorder;
    PackageContents contents;
    contents.looseFiles.push_back(file);
    const std::string output = space.root() + "\\progress.exe";
    ASSERT_TRUE(WritePackage(space.Stub().c_str(), contents, output.c_str(), 9, &recorder, &error));
    EXPECT_EQ(recorder.total, data.size());
    ASSERT_GE(recorder.done.size(), 3u);
    EXPECT_EQ(recorder.done.front(), 0u);
    EXPECT_EQ(recorder.done.back(), data.size());
    EXPECT_EQ(Parse(Inflated(output)).data, data);
}

// A measure promises the size of the installer then written, at any level
// and for packages of many lengths (so of every padding before the
// trailer), and writes nothing; a record whose bytes do not match its
// digest fails it as it fails a write.
TEST(PackageWriter, MeasuresTheInstallerItWouldWrite) {
    Workspace space;
    const std::string output = space.root() + "\\measured.exe";
    std::mt19937 random(3);
    for (int round = 0; round < 8; ++round) {
        std::string bytes(5000 + 37 * round, '\0');
        for (char& c : bytes)
            c = static_cast<char>(random() % (round + 2));
        PackageContents contents;
        contents.paks.push_back({"data\\x.pak", Stamp(1), {space.File("a.dat", bytes, 5, 3)}});
        contents.looseFiles.push_back(space.File("b.txt", bytes.substr(round * 11)));
        for (int level : {0, 1, 9}) {
            std::string error;
            u64 measured = 0;
            ASSERT_TRUE(
                MeasureInstaller(space.Stub().c_str(), contents, level, nullptr, &measured, &error))
                << error;
            EXPECT_FALSE(Exists(output));
            ASSERT_TRUE(WritePackage(space.Stub().c_str(), contents, output.c_str(), level, nullptr,
                                     &error))
                << error;
            const u64 written = ReadFileBytes(output).size();
            EXPECT_EQ(written, measured) << "round " << round << ", level " << level;
            DeleteFileA(output.c_str());
        }
    }

    PackageFile wrong = space.File("w.txt", "data");
    wrong.storedMd5[0] ^= 1;
    std::string error;
    u64 measured = 0;
    EXPECT_FALSE(
        MeasureInstaller(space.Stub().c_str(), {{}, {wrong}}, 9, nullptr, &measured, &error));
    EXPECT_NE(error.find("digest"), std::string::npos) << error;
}
