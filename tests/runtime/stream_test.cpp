#include "runtime/stream.h"

#include "support.h"

#include <gtest/gtest.h>
#include <string>
#include <utility>
#include <vector>

namespace {

TEST(Stream, OnlyUnreachableFileErrorsMeanNoAccess) {
    std::vector<DWORD> noAccess;
    for (DWORD error = 0; error < 2000; ++error)
        if (StreamStatusFromError(error) != StreamFailed)
            noAccess.push_back(error);
    EXPECT_EQ(noAccess, (std::vector<DWORD>{2, 4, 6, 12, 32, 39}));
    EXPECT_EQ(StreamStatusFromError(32), StreamNoAccess);
}

TEST(Stream, OpenModes) {
    rt::TempDir dir;
    FileStream stream;
    EXPECT_FALSE(stream.Open((dir / "missing").c_str(), OpenRead));
    EXPECT_EQ(stream.status, StreamNoAccess);
    EXPECT_EQ(stream.Tell(), 0xFFFFFFFFu);
    EXPECT_EQ(stream.GetSize(), 0u);
    SetLastError(ERROR_FILE_NOT_FOUND); // not what a bad mode reports
    EXPECT_FALSE(stream.Open((dir / "m").c_str(), static_cast<FileOpenMode>(4)));
    EXPECT_EQ(stream.status, StreamFailed);
    EXPECT_FALSE(rt::Exists(dir / "m"));

    // Writing modes clear the read-only attribute; only OpenCreate truncates.
    const std::pair<FileOpenMode, u32> modes[] = {
        {OpenCreate, 5}, {OpenReadWrite, 7}, {OpenWriteInPlace, 5}};
    for (auto [mode, access] : modes) {
        const std::string path = dir / std::to_string(mode);
        rt::Write(path, std::string(100, 'r'), true);
        ASSERT_TRUE(stream.Open(path.c_str(), mode));
        EXPECT_EQ(stream.accessMask, access);
        EXPECT_EQ(stream.GetSize(), mode == OpenCreate ? 0u : 100u);
        EXPECT_TRUE(stream.Write("w", 1));
        EXPECT_FALSE(rt::Has(path, FILE_ATTRIBUTE_READONLY));
        ASSERT_TRUE(stream.Open((dir / "new" + std::to_string(mode)).c_str(), mode));
        EXPECT_EQ(rt::Read(path).size(), mode == OpenCreate ? 1u : 100u);
    }
    rt::Write(dir / "ro", "abc", true);
    std::string slashes = dir / "ro";
    for (char& c : slashes)
        c = c == '\\' ? '/' : c;
    ASSERT_TRUE(stream.Open(slashes.c_str(), OpenRead));
    EXPECT_EQ(stream.accessMask, 6u);
    EXPECT_EQ(stream.GetSize(), 3u);
    EXPECT_TRUE(rt::Has(dir / "ro", FILE_ATTRIBUTE_READONLY));
}

TEST(Stream, PathsOfMaxPathBytesAreRefused) {
    rt::TempDir dir;
    const std::string longest = dir.path + "\\" + std::string(258 - dir.path.size(), 'n');
    FileStream stream;
    ASSERT_TRUE(stream.Open(longest.c_str(), OpenCreate));
    EXPECT_FALSE(stream.Open((longest + "n").c_str(), OpenCreate));
    EXPECT_EQ(stream.status, StreamFailed);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE));
    FileStream other; // the exclusive handle was released
    EXPECT_TRUE(other.Open(longest.c_str(), OpenCreate));
}

TEST(Stream, ShortReadsSeeksAndModes) {
    rt::TempDir dir;
    const std::string path = dir / "four";
    rt::Write(path, "1234");
    FileStream stream;
    ASSERT_TRUE(stream.Open(path.c_str(), OpenReadWrite));
    char buffer[10] = {};
    EXPECT_TRUE(stream.Read(buffer, 0));
    EXPECT_TRUE(stream.Write(buffer, 0));
    EXPECT_FALSE(stream.Read(buffer, 10));
    EXPECT_EQ(std::string(buffer), "1234");
    EXPECT_EQ(stream.status, StreamEnd);
    EXPECT_EQ(stream.GetSize(), 4u);
    // StreamEnd sticks through a successful seek, until a write.
    EXPECT_TRUE(stream.Seek(3));
    EXPECT_FALSE(stream.Read(buffer, 1));
    EXPECT_FALSE(stream.Seek(4));
    EXPECT_EQ(stream.file.status, StreamEnd);
    EXPECT_TRUE(stream.Write("56", 2));
    EXPECT_EQ(stream.status, StreamOk);
    EXPECT_FALSE(stream.Read(buffer, 1));
    stream.Close();
    stream.Close();
    EXPECT_EQ(rt::Read(path), "123456");

    EXPECT_FALSE(stream.Read(buffer, 1));
    EXPECT_EQ(stream.status, StreamBadMode);
    ASSERT_TRUE(stream.Open(path.c_str(), OpenRead));
    EXPECT_FALSE(stream.Write("x", 1));
    EXPECT_EQ(stream.status, StreamBadMode);
    ASSERT_TRUE(stream.Open(path.c_str(), OpenWriteInPlace));
    EXPECT_FALSE(stream.Read(buffer, 1));
    EXPECT_EQ(stream.status, StreamBadMode);
}

std::vector<std::pair<u32, u32>> g_progress;
void Record(u32 done, u32 total) {
    g_progress.emplace_back(done, total);
}
typedef std::vector<std::pair<u32, u32>> Calls;

TEST(CopyStream, ChunksProgressAndEarlyEnd) {
    rt::TempDir dir;
    const u32 total = 16384 + 100;
    std::string data(500 + total, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>(i % 251);
    rt::Write(dir / "src", data);
    FileStream src, dst;
    ASSERT_TRUE(src.Open((dir / "src").c_str(), OpenRead) && src.Seek(500));
    ASSERT_TRUE(dst.Open((dir / "dst").c_str(), OpenCreate));
    ASSERT_TRUE(CopyStream(dst, src, 0xFFFFFFFFu, Record));
    EXPECT_EQ(g_progress, (Calls{{0, total}, {8192, total}, {16384, total}, {total, total}}));
    EXPECT_EQ(dst.GetSize(), total);

    g_progress.clear();
    EXPECT_TRUE(CopyStream(dst, src, 0, Record));
    EXPECT_EQ(g_progress, (Calls{{0, 0}}));

    // The source ends inside the second chunk: only the first one arrives.
    g_progress.clear();
    ASSERT_TRUE(src.Seek(total + 500 - 10000) && dst.Open((dir / "dst").c_str(), OpenCreate));
    EXPECT_FALSE(CopyStream(dst, src, 20000, Record));
    EXPECT_EQ(g_progress, (Calls{{0, 20000}, {8192, 20000}}));
    dst.Close();
    EXPECT_EQ(rt::Read(dir / "dst"), data.substr(total + 500 - 10000, 8192));
}

} // namespace
