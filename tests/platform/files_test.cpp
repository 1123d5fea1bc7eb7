// File handles of the Linux layer: dispositions, the read-only attribute
// (enforced even for root), reads and writes, the file pointer and times.
#include "platform/win32.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

namespace fs = std::filesystem;

HANDLE Open(const std::string& path, DWORD access, DWORD disposition, DWORD share = 0) {
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, FILE_ATTRIBUTE_NORMAL,
                       nullptr);
}

DWORD Written(HANDLE file, const std::string& bytes) {
    DWORD done = 0;
    EXPECT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr));
    return done;
}

void MakeReadOnly(const fs::path& path) {
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

TEST(Files, DispositionsAndTheirErrors) {
    ScratchDir dir;
    std::string path = dir / "a.bin";
    HANDLE file = Open(path, GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    EXPECT_EQ(Written(file, "hello"), 5u);
    CloseHandle(file);

    EXPECT_EQ(Open(path, GENERIC_WRITE, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_EXISTS);

    file = Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_ALWAYS);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileSize(file, nullptr), 5u);
    CloseHandle(file);

    file = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_EQ(GetFileSize(file, nullptr), 0u);
    CloseHandle(file);

    WriteRaw(path, "again");
    file = Open(path, GENERIC_WRITE, TRUNCATE_EXISTING);
    EXPECT_EQ(GetFileSize(file, nullptr), 0u);
    CloseHandle(file);

    file = Open(dir / "new.bin", GENERIC_WRITE, OPEN_ALWAYS);
    EXPECT_EQ(GetLastError(), ERROR_SUCCESS);
    CloseHandle(file);

    EXPECT_EQ(Open(dir / "missing", GENERIC_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(dir / "missing", GENERIC_WRITE, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(dir / "no/such.bin", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
}

TEST(Files, ReadOnlyFilesRefuseWritingEvenToRoot) {
    ScratchDir dir;
    std::string path = dir / "ro.bin";
    WriteRaw(path, "keep");
    MakeReadOnly(path);
    EXPECT_EQ(GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_READONLY);

    for (DWORD disposition : {OPEN_EXISTING, OPEN_ALWAYS, CREATE_ALWAYS}) {
        EXPECT_EQ(Open(path, GENERIC_WRITE, disposition), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }
    EXPECT_EQ(Open(path, GENERIC_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE); // would truncate
    EXPECT_EQ(ReadRaw(path), "keep");
    HANDLE file = Open(path, GENERIC_READ, OPEN_EXISTING);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);

    fs::permissions(path, fs::perms::owner_read | fs::perms::group_read);
    EXPECT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(fs::status(path).permissions(),
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_EQ(GetFileAttributesA(path.c_str()), FILE_ATTRIBUTE_NORMAL);
    fs::permissions(path, fs::perms::all);
    EXPECT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY));
    const fs::perms readAndExecute = fs::perms::owner_read | fs::perms::owner_exec |
                                     fs::perms::group_read | fs::perms::group_exec |
                                     fs::perms::others_read | fs::perms::others_exec;
    EXPECT_EQ(fs::status(path).permissions(), readAndExecute);
}

TEST(Files, DirectoriesAreNotFiles) {
    ScratchDir dir;
    std::string sub = dir / "sub";
    EXPECT_TRUE(CreateDirectoryA(sub.c_str(), nullptr));
    EXPECT_FALSE(CreateDirectoryA(sub.c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
    EXPECT_FALSE(CreateDirectoryA((dir / "no\\deeper").c_str(), nullptr));
    EXPECT_EQ(GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(GetFileAttributesA(sub.c_str()), FILE_ATTRIBUTE_DIRECTORY);

    for (DWORD access : {GENERIC_READ, GENERIC_WRITE}) {
        EXPECT_EQ(Open(sub, access, OPEN_EXISTING), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    }
    WriteRaw(sub + "/f", "x");
    EXPECT_FALSE(RemoveDirectoryA(sub.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_DIR_NOT_EMPTY);
    fs::remove(sub + "/f");
    EXPECT_TRUE(RemoveDirectoryA(sub.c_str()));
    EXPECT_EQ(GetFileAttributesA(sub.c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
}

TEST(Files, ReadsStopAtTheEndAndAccessIsChecked) {
    ScratchDir dir;
    std::string path = dir / "four";
    WriteRaw(path, "abcd");
    HANDLE reader = Open(path, GENERIC_READ, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
    char buffer[10] = {};
    DWORD done = 99;
    EXPECT_TRUE(ReadFile(reader, buffer, 10, &done, nullptr));
    EXPECT_EQ(done, 4u);
    EXPECT_EQ(std::string(buffer, 4), "abcd");
    EXPECT_TRUE(ReadFile(reader, buffer, 10, &done, nullptr));
    EXPECT_EQ(done, 0u);
    EXPECT_FALSE(WriteFile(reader, "x", 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    HANDLE writer = Open(path, GENERIC_WRITE, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_FALSE(ReadFile(writer, buffer, 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(FlushFileBuffers(reader));
    EXPECT_TRUE(FlushFileBuffers(writer));
    CloseHandle(writer);
    CloseHandle(reader);

    for (HANDLE bad : {INVALID_HANDLE_VALUE, HANDLE(nullptr), reader}) {
        EXPECT_FALSE(ReadFile(bad, buffer, 1, &done, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(CloseHandle(bad));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
}

TEST(Files, FullDiskIsReportedAsDiskFull) {
    HANDLE full =
        Open("/dev/full", GENERIC_WRITE, OPEN_EXISTING, FILE_SHARE_READ | FILE_SHARE_WRITE);
    ASSERT_NE(full, INVALID_HANDLE_VALUE);
    DWORD done = 99;
    EXPECT_FALSE(WriteFile(full, "abc", 3, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(done, 0u);
    CloseHandle(full);
}

TEST(Files, FilePointerEdges) {
    ScratchDir dir;
    std::string path = dir / "seek";
    WriteRaw(path, "0123456789");
    HANDLE file = Open(path, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING);
    EXPECT_EQ(SetFilePointer(file, 4, nullptr, FILE_BEGIN), 4u);
    EXPECT_EQ(SetFilePointer(file, -1, nullptr, FILE_CURRENT), 3u);
    EXPECT_EQ(SetFilePointer(file, -2, nullptr, FILE_END), 8u);
    EXPECT_EQ(SetFilePointer(file, -9, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_CURRENT), 8u); // unmoved

    EXPECT_EQ(SetFilePointer(file, 20, nullptr, FILE_BEGIN), 20u); // past the end
    EXPECT_EQ(Written(file, "!"), 1u);
    EXPECT_EQ(GetFileSize(file, nullptr), 21u);

    ASSERT_EQ(truncate(path.c_str(), (1LL << 32) + 3), 0); // sparse
    DWORD high = 0;
    EXPECT_EQ(GetFileSize(file, &high), 3u);
    EXPECT_EQ(high, 1u);
    LONG moveHigh = 1;
    EXPECT_EQ(SetFilePointer(file, 7, &moveHigh, FILE_BEGIN), 7u);
    EXPECT_EQ(moveHigh, 1);
    // Without a high part a position beyond 32 bits cannot be reported.
    EXPECT_EQ(SetFilePointer(file, 0, nullptr, FILE_END), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    CloseHandle(file);
}

TEST(Files, TimesKeepFullPrecision) {
    ScratchDir dir;
    std::string path = dir / "t";
    HANDLE file = Open(path, GENERIC_WRITE, CREATE_ALWAYS);
    FILETIME access = {0, 0};
    GetFileTime(file, nullptr, &access, nullptr);
    // 2021-01-01 00:00:00.1234567 UTC, then a time before 1970.
    for (uint64_t value : {132539328001234567ULL, 100000000001234567ULL}) {
        FILETIME written = {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
        EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &written));
        FILETIME created, accessedAfter, got;
        EXPECT_TRUE(GetFileTime(file, &created, &accessedAfter, &got));
        EXPECT_EQ(got.dwLowDateTime, written.dwLowDateTime);
        EXPECT_EQ(got.dwHighDateTime, written.dwHighDateTime);
        EXPECT_EQ(created.dwLowDateTime, written.dwLowDateTime);
        EXPECT_EQ(accessedAfter.dwLowDateTime, access.dwLowDateTime); // null: untouched
    }
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtim.tv_nsec % 1000000000, 123456700); // the last pre-1970 value
    CloseHandle(file);

    file = Open(path, GENERIC_READ, OPEN_EXISTING);
    FILETIME any = {1, 1};
    EXPECT_FALSE(SetFileTime(file, nullptr, nullptr, &any));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    CloseHandle(file);
}

// Devices other than NUL are absent here; no call but an open reaches one.
TEST(Files, DeviceNamesNameNoFile) {
    ScratchDir dir;
    for (const char* name : {"aux.cfg", "CON", "lpt1.log", "com3.dat", "prn"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Open(dir / name, GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
        EXPECT_EQ(GetFileAttributesA((dir / name).c_str()), INVALID_FILE_ATTRIBUTES);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
        EXPECT_FALSE(CreateDirectoryA((dir / name).c_str(), nullptr));
        EXPECT_FALSE(DeleteFileA((dir / "nul").c_str()));
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.Path()));
    // COM10 and "console" are ordinary names.
    for (const char* name : {"com10", "console.txt", "auxiliary"}) {
        HANDLE file = Open(dir / name, GENERIC_WRITE, CREATE_ALWAYS);
        EXPECT_NE(file, INVALID_HANDLE_VALUE) << name;
        CloseHandle(file);
    }
}

// A time is a signed 64-bit number to Windows: from 2^63 on it is refused,
// but for the two values that stop and resume the system's own updates.
TEST(Files, TimesFrom2To63AreRefused) {
    ScratchDir dir;
    HANDLE file = Open(dir / "t", GENERIC_WRITE, CREATE_ALWAYS);
    const FILETIME set = {0x12345678, 0x01D80000};
    ASSERT_TRUE(SetFileTime(file, nullptr, nullptr, &set));
    for (uint64_t value : {1ULL << 63, 0xFFFFFFFFFFFFFFFDULL}) {
        const FILETIME refused = {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
        EXPECT_FALSE(SetFileTime(file, nullptr, nullptr, &refused));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    for (uint64_t value : {0xFFFFFFFFFFFFFFFFULL, 0xFFFFFFFFFFFFFFFEULL}) {
        const FILETIME special = {static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
        EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &special));
    }
    FILETIME now = {0, 0};
    ASSERT_TRUE(GetFileTime(file, nullptr, nullptr, &now));
    EXPECT_EQ(now.dwHighDateTime, set.dwHighDateTime);
    EXPECT_EQ(now.dwLowDateTime, set.dwLowDateTime);
    CloseHandle(file);
}

TEST(Files, GbkNamesAreUtf8OnDisk) {
    ScratchDir dir;
    // 乗 is 0x81 0x5C in GBK: its trail byte is a backslash.
    std::string path = dir / "中文\\乗.txt";
    ASSERT_TRUE(CreateDirectoryA((dir / "中文").c_str(), nullptr));
    HANDLE file = Open(path, GENERIC_WRITE, CREATE_NEW);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_TRUE(fs::is_regular_file(dir.Path() / u8"中文" / u8"乗.txt"));

    EXPECT_EQ(Open(dir / "bad\xff", GENERIC_WRITE, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
    EXPECT_EQ(GetFileAttributesA((dir / "cut\x81").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), ERROR_INVALID_NAME);
}

} // namespace
