// Operations on names: delete, move and replace with Windows' refusals, the
// two "not found" codes, temporary names, and the names the layer reports.
#include "platform/win32.h"
#include "scratch_dir.h"

#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <set>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

void MakeReadOnly(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

TEST(Names, DeleteRefusesWhatWindowsRefuses) {
    ScratchDir dir;
    WriteRaw(dir / "ro", "x");
    MakeReadOnly(dir / "ro");
    EXPECT_FALSE(DeleteFileA((dir / "ro").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(fs::exists(dir / "ro"));
    EXPECT_FALSE(DeleteFileA(dir.Path().string().c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    EXPECT_FALSE(DeleteFileA((dir / "missing").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(DeleteFileA((dir / "missing\\file").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    WriteRaw(dir / "rw", "x");
    EXPECT_TRUE(DeleteFileA((dir / "rw").c_str()));
    EXPECT_FALSE(fs::exists(dir / "rw"));
}

// The core lower-cases archive paths and joins names from patch records to
// the game directory as Windows would: letters match in any case.
TEST(Names, LettersMatchInAnyCase) {
    ScratchDir dir;
    fs::create_directories(dir.Path() / "Game" / "Data");
    WriteRaw(dir.Path() / "Game" / "Data" / "Char.PAK", "pak");
    std::string lower = dir / "game\\data\\char.pak";
    EXPECT_NE(GetFileAttributesA(lower.c_str()), INVALID_FILE_ATTRIBUTES);
    HANDLE file = CreateFileA(lower.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);

    // A new name keeps its spelling, inside the directories that matched.
    std::string created = dir / "GAME\\data\\New.txt";
    file = CreateFileA(created.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_TRUE(fs::exists(dir.Path() / "Game" / "Data" / "New.txt"));
    EXPECT_TRUE(CreateDirectoryA((dir / "game\\Sub").c_str(), nullptr));
    EXPECT_TRUE(fs::is_directory(dir.Path() / "Game" / "Sub"));

    // An exact spelling wins over a folded one.
    WriteRaw(dir.Path() / "Game" / "Data" / "char.pak", "exact");
    EXPECT_TRUE(DeleteFileA(lower.c_str()));
    EXPECT_TRUE(fs::exists(dir.Path() / "Game" / "Data" / "Char.PAK"));
}

TEST(Names, MoveNeverReplacesUnlessAsked) {
    ScratchDir dir;
    std::string a = dir / "a", b = dir / "b";
    WriteRaw(a, "A");
    WriteRaw(b, "B");
    EXPECT_FALSE(MoveFileA(a.c_str(), b.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(ReadRaw(b), "B");

    EXPECT_TRUE(
        MoveFileExA(a.c_str(), b.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH));
    EXPECT_EQ(ReadRaw(b), "A");
    EXPECT_FALSE(fs::exists(a));

    EXPECT_TRUE(MoveFileA(b.c_str(), a.c_str()));
    EXPECT_EQ(ReadRaw(a), "A");
    EXPECT_FALSE(MoveFileA(b.c_str(), a.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(MoveFileA(a.c_str(), (dir / "no\\b").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    fs::create_directories(dir / "d1/inner");
    EXPECT_TRUE(MoveFileA((dir / "d1").c_str(), (dir / "d2").c_str()));
    EXPECT_TRUE(fs::is_directory(dir / "d2/inner"));
}

TEST(Names, ReplaceRefusesReadOnlyAndDirectoryTargets) {
    ScratchDir dir;
    std::string from = dir / "from", target = dir / "target";
    WriteRaw(from, "new");
    WriteRaw(target, "old");
    MakeReadOnly(target);
    EXPECT_FALSE(MoveFileExA(from.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadRaw(target), "old");

    fs::create_directory(dir / "sub");
    EXPECT_FALSE(MoveFileExA(from.c_str(), (dir / "sub").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadRaw(from), "new");
}

bool IsTempName(const std::string& name, const std::string& prefix) {
    size_t digits = name.size() - prefix.size() - 4;
    return name.compare(0, prefix.size(), prefix) == 0 && digits >= 1 && digits <= 4 &&
           name.substr(name.size() - 4) == ".tmp" &&
           name.find_first_not_of("0123456789ABCDEF", prefix.size()) == prefix.size() + digits;
}

TEST(Names, TempNamesAreNewEmptyFiles) {
    ScratchDir dir;
    std::set<UINT> numbers;
    for (int i = 0; i < 20; ++i) {
        char out[MAX_PATH];
        UINT number = GetTempFileNameA(dir.Path().string().c_str(), "qvxyz", 0, out);
        ASSERT_NE(number, 0u);
        EXPECT_TRUE(numbers.insert(number).second);
        fs::path made(out);
        EXPECT_EQ(made.parent_path(), dir.Path());
        EXPECT_TRUE(IsTempName(made.filename().string(), "qvx"));
        EXPECT_EQ(fs::file_size(made), 0u);
    }
    char out[MAX_PATH];
    EXPECT_EQ(GetTempFileNameA((dir / "gone").c_str(), "qv", 0, out), 0u);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);

    // A given number only forms the name; a prefix keeps whole characters.
    std::string windowsDir = dir.Path().string() + "\\";
    EXPECT_EQ(GetTempFileNameA(windowsDir.c_str(), "中文字体", 0x1A2B, out), 0x1A2Bu);
    EXPECT_EQ(std::string(out), windowsDir + "中文字1A2B.tmp");
    EXPECT_FALSE(fs::exists(dir.Path() / u8"中文字1A2B.tmp"));
}

// Memory is much faster than a busy disk for 65535 files.
std::filesystem::path ManyFilesBase() {
    std::error_code error;
    return fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
}

TEST(Names, TempNamesNeverReuseAFileAndGiveUp) {
    ScratchDir dir(ManyFilesBase());
    for (unsigned n = 1; n <= 0xFFFF; ++n) {
        char name[16];
        snprintf(name, sizeof name, "zz%X.tmp", n);
        if (n != 0xBEEF)
            WriteRaw(dir.Path() / name, "taken");
    }
    char out[MAX_PATH];
    EXPECT_EQ(GetTempFileNameA(dir.Path().string().c_str(), "zz", 0, out), 0xBEEFu);
    EXPECT_EQ(fs::file_size(out), 0u);
    EXPECT_EQ(GetTempFileNameA(dir.Path().string().c_str(), "zz", 0, out), 0u);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);
    EXPECT_EQ(ReadRaw(dir.Path() / "zz1.tmp"), "taken");
}

TEST(Names, ReportedNames) {
    char expected[4096] = {};
    ASSERT_GT(readlink("/proc/self/exe", expected, sizeof expected - 1), 0);
    char buffer[MAX_PATH];
    DWORD length = GetModuleFileNameA(nullptr, buffer, MAX_PATH);
    EXPECT_EQ(std::string(buffer, length), expected);
    EXPECT_EQ(GetModuleFileNameA(nullptr, buffer, 5), 5u);
    EXPECT_EQ(GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(std::string(buffer), std::string(expected, 4));

    const char* saved = getenv("TMPDIR");
    std::string restore = saved ? saved : "";
    setenv("TMPDIR", "/var/tmp", 1);
    EXPECT_EQ(GetTempPathA(MAX_PATH, buffer), 9u);
    EXPECT_STREQ(buffer, "/var/tmp/");
    EXPECT_EQ(GetTempPathA(4, buffer), 10u); // the size it needs
    unsetenv("TMPDIR");
    EXPECT_EQ(GetTempPathA(MAX_PATH, buffer), 5u);
    EXPECT_STREQ(buffer, "/tmp/");
    if (saved)
        setenv("TMPDIR", restore.c_str(), 1);
}

} // namespace
