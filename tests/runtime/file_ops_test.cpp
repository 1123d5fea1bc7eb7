#include "runtime/file_ops.h"

#include "support.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

#ifdef _WIN32
#include <direct.h>
#define chdir _chdir
#define getcwd _getcwd
#else
#include "platform/fault.h"
#include <unistd.h>
#endif

namespace {

// Holds a file open with no sharing, as another program might.
struct Held {
    explicit Held(const std::string& path)
        : handle(CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~Held() { CloseHandle(handle); }
    HANDLE handle;
};

struct FileOps : ::testing::Test {
    rt::TempDir dir;
    rt::LogCapture log;
    const std::string a = dir / "a", b = dir / "b", bak = dir / "b.bak";
};

TEST_F(FileOps, DeleteFileLogged) {
    rt::Write(a, "x", true);
    EXPECT_TRUE(DeleteFileLogged(a.c_str()));
    EXPECT_FALSE(DeleteFileLogged(a.c_str()));
    EXPECT_EQ(log.Added(), "");

    rt::Write(a, "x");
    {
        Held held(a);
        EXPECT_FALSE(DeleteFileLogged(a.c_str()));
    }
    EXPECT_EQ(log.Added(), "删除文件 " + a + "失败！ErrorCode: 32\r\n");
#ifndef _WIN32
    pi::fault::Arm(pi::fault::Call::DeleteFile, 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(DeleteFileLogged(a.c_str()));
    EXPECT_EQ(log.Added(),
              "删除文件 " + a + "失败！ErrorCode: 32\r\n删除文件 " + a + "失败！ErrorCode: 5\r\n");
#endif
    EXPECT_TRUE(rt::Exists(a));
}

TEST_F(FileOps, MoveFileLogged) {
    const std::string absent =
        "目标文件不存在时：移动文件 " + a + " -> " + b + " 失败！errorCode: ";
    const std::string present = "目标文件存在时：移动文件 " + a + " -> " + b + " 失败！errorCode: ";
    EXPECT_FALSE(MoveFileLogged(a.c_str(), b.c_str()));
    rt::Write(a, "first");
    EXPECT_TRUE(MoveFileLogged(a.c_str(), b.c_str()));
    EXPECT_FALSE(MoveFileLogged(a.c_str(), b.c_str()));
    rt::Write(a, "second");
    {
        Held held(b);
        EXPECT_FALSE(MoveFileLogged(a.c_str(), b.c_str()));
    }
    EXPECT_EQ(rt::Read(b), "first");
    SetFileAttributesA(b.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(MoveFileLogged(a.c_str(), b.c_str()));
    EXPECT_FALSE(rt::Exists(a));
    EXPECT_EQ(rt::Read(b), "second");
    EXPECT_EQ(log.Added(), absent + "2\r\n" + present + "2\r\n" + present + "5\r\n");
}

TEST_F(FileOps, ReplaceFileLogged) {
    rt::Write(a, "new");
    rt::Write(bak, "unrelated");
    EXPECT_TRUE(ReplaceFileLogged(a.c_str(), b.c_str(), bak.c_str()));
    EXPECT_EQ(rt::Read(bak), "unrelated");

    rt::Write(a, "newer");
    SetFileAttributesA(b.c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesA(bak.c_str(), FILE_ATTRIBUTE_READONLY);
    EXPECT_TRUE(ReplaceFileLogged(a.c_str(), b.c_str(), bak.c_str()));
    EXPECT_EQ(rt::Read(b), "newer");
    EXPECT_FALSE(rt::Exists(a));
    EXPECT_FALSE(rt::Exists(bak));
    EXPECT_EQ(log.Added(), "");

    rt::Write(a, "newest");
    {
        Held held(b);
        EXPECT_FALSE(ReplaceFileLogged(a.c_str(), b.c_str(), bak.c_str()));
    }
    EXPECT_FALSE(rt::Exists(bak));
    {
        Held held(a);
        EXPECT_FALSE(ReplaceFileLogged(a.c_str(), b.c_str(), bak.c_str()));
    }
    // The old file waits under the backup name for the caller.
    EXPECT_FALSE(rt::Exists(b));
    EXPECT_EQ(rt::Read(bak), "newer");
    EXPECT_EQ(rt::Read(a), "newest");
    EXPECT_EQ(log.Added(), "移动文件 " + b + " -> " + bak + " 失败！errorCode: 32\r\n移动文件 " +
                               a + " -> " + b + " 失败！errorCode: 32\r\n");
}

TEST(SetFileWriteTime, CreatesMissingFilesAndKeepsContents) {
    rt::TempDir dir;
    const FILETIME stamp = {0x12345678u, 0x01D2A3B4u};
    rt::Write(dir / "old", "contents", true);
    for (const char* name : {"new", "old"}) {
        ASSERT_TRUE(SetFileWriteTime((dir / name).c_str(), &stamp));
        HANDLE file = CreateFileA((dir / name).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        FILETIME written = {};
        EXPECT_TRUE(GetFileTime(file, nullptr, nullptr, &written));
        CloseHandle(file);
        EXPECT_EQ(written.dwLowDateTime, stamp.dwLowDateTime);
        EXPECT_EQ(written.dwHighDateTime, stamp.dwHighDateTime);
    }
    EXPECT_EQ(rt::Read(dir / "new") + rt::Read(dir / "old"), "contents");
    EXPECT_FALSE(SetFileWriteTime((dir / "missing\\f").c_str(), &stamp));
}

TEST(CreateParentDirectories, CreatesMissingDirectoriesOnly) {
    rt::TempDir dir;
    const u32 start = static_cast<u32>(dir.path.size());
    CreateDirectoryA((dir / "g").c_str(), nullptr);
    EXPECT_TRUE(CreateParentDirectories((dir / "g\\data\\sub\\f").c_str(), 0));
    EXPECT_TRUE(rt::Has(dir / "g\\data\\sub", FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(rt::Exists(dir / "g\\data\\sub\\f"));
    rt::Write(dir / "file", "x");
    EXPECT_TRUE(CreateParentDirectories((dir / "file\\x\\f").c_str(), start));
    EXPECT_EQ(rt::Read(dir / "file"), "x");
    // 誠 is D5 5C in GBK: its second byte is no separator.
#ifndef _WIN32
    pi::fault::Disarm(); // restarts the call counters
#endif
    EXPECT_TRUE(CreateParentDirectories((dir / "誠\\f").c_str(), start));
#ifndef _WIN32
    EXPECT_EQ(pi::fault::CallCount(pi::fault::Call::GetFileAttributes), 1u);
#endif
    EXPECT_TRUE(rt::Has(dir / "誠", FILE_ATTRIBUTE_DIRECTORY));
    // Starting inside "c" never creates dir\c, so nothing below it either.
    EXPECT_TRUE(CreateParentDirectories((dir / "c\\d\\f").c_str(), start + 2));
    EXPECT_TRUE(CreateParentDirectories((dir / "e\\f").c_str(), start + 100));
    EXPECT_TRUE(CreateParentDirectories("rt-no-separator", 0));
    EXPECT_FALSE(rt::Exists(dir / "c") || rt::Exists(dir / "e") || rt::Exists("rt-no-separator"));
    // A prefix of 260 bytes or more has no room in the buffer.
    const std::string first = dir / std::string(239 - dir.path.size(), 'l');
    EXPECT_TRUE(CreateParentDirectories((first + "\\" + std::string(30, 'm') + "\\f").c_str(), 0));
    EXPECT_TRUE(rt::Has(first, FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(rt::Exists(first + "\\" + std::string(30, 'm')));
}

TEST(CreateParentDirectories, RootedAndNetworkForms) {
    rt::TempDir dir;
    CreateDirectoryA((dir / "cwd").c_str(), nullptr);
    char* old = getcwd(nullptr, 0);
    ASSERT_EQ(chdir(rt::Native(dir / "cwd").c_str()), 0);
    const std::string rooted = dir.path.substr(dir.path[1] == ':' ? 2 : 0);
    EXPECT_TRUE(CreateParentDirectories((rooted + "\\r\\f").c_str(), 0));
    EXPECT_EQ(chdir(old), 0);
    free(old);
    EXPECT_TRUE(rt::Has(dir / "r", FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FALSE(rt::Exists(dir / "cwd" + rooted.substr(0, rooted.find('\\', 1))));

#ifdef _WIN32
    const std::string network = "\\\\?\\" + dir.path; // a local directory in network form
#else
    const std::string network = "\\" + dir.path; // POSIX reads "//" as the root
#endif
    EXPECT_TRUE(CreateParentDirectories((network + "\\n1\\n2\\f").c_str(), 0));
    EXPECT_TRUE(rt::Has(dir / "n1\\n2", FILE_ATTRIBUTE_DIRECTORY));
}

} // namespace
