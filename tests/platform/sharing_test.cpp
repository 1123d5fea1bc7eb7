// Share modes, within this process and against a second process that holds
// the file open, and what they do to delete, move and replace.
#include "helper_process.h"
#include "platform/win32.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

namespace {

const DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE;

HANDLE Open(const std::string& path, DWORD access, DWORD share) {
    return CreateFileA(path.c_str(), access, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

// Whether an open with `access` and `share` is refused with a sharing
// violation while `held` is open.
bool Refused(const std::string& path, DWORD access, DWORD share) {
    HANDLE file = Open(path, access, share);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    return true;
}

TEST(Sharing, OpensWithinOneProcess) {
    ScratchDir dir;
    std::string path = dir / "f";
    WriteRaw(path, "data");

    HANDLE reader = Open(path, GENERIC_READ, FILE_SHARE_READ);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Refused(path, GENERIC_READ, FILE_SHARE_READ));
    EXPECT_TRUE(Refused(path, GENERIC_WRITE, kShareAll)); // the reader denies writing
    EXPECT_TRUE(Refused(path, GENERIC_READ, 0));          // would deny the reader
    // A refused open must not have truncated the file first.
    EXPECT_EQ(
        CreateFileA(path.c_str(), GENERIC_WRITE, kShareAll, nullptr, CREATE_ALWAYS, 0, nullptr),
        INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(ReadRaw(path), "data");
    CloseHandle(reader);

    HANDLE writer = Open(path, GENERIC_WRITE, kShareAll);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(Refused(path, kReadWrite, kShareAll));
    EXPECT_TRUE(Refused(path, GENERIC_READ, FILE_SHARE_READ)); // would deny the writer
    CloseHandle(writer);

    HANDLE exclusive = Open(path, GENERIC_READ, 0);
    EXPECT_TRUE(Refused(path, GENERIC_READ, kShareAll));
    CloseHandle(exclusive);
    EXPECT_FALSE(Refused(path, kReadWrite, 0));
}

TEST(Sharing, OpenFilesCannotBeDeletedMovedOrReplaced) {
    ScratchDir dir;
    std::string path = dir / "f", other = dir / "other";
    WriteRaw(path, "data");
    WriteRaw(other, "other");
    HANDLE file = Open(path, GENERIC_READ, kShareAll);

    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileA(path.c_str(), (dir / "moved").c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileExA(other.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(ReadRaw(path), "data");

    CloseHandle(file);
    EXPECT_TRUE(MoveFileExA(other.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_TRUE(DeleteFileA(path.c_str()));
}

TEST(Sharing, HeldOpenBySecondProcess) {
    ScratchDir dir;
    std::string path = dir / "archive.pak", other = dir / "other";
    WriteRaw(path, "archive");
    WriteRaw(other, "other");
    HelperProcess holder(
        {"hold", path, std::to_string(GENERIC_READ), std::to_string(FILE_SHARE_READ)});
    ASSERT_EQ(holder.ReadLine(), "ready");

    EXPECT_TRUE(Refused(path, GENERIC_WRITE, kShareAll));
    EXPECT_TRUE(Refused(path, GENERIC_READ, 0));
    EXPECT_FALSE(Refused(path, GENERIC_READ, FILE_SHARE_READ));
    EXPECT_FALSE(DeleteFileA(path.c_str()));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileExA(path.c_str(), (dir / "moved").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
    EXPECT_FALSE(MoveFileExA(other.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);

    // The second process is refused in its turn while this one holds the file.
    HANDLE mine = Open(other, GENERIC_WRITE, 0);
    HelperProcess second({"hold", other, std::to_string(GENERIC_READ), "3"});
    EXPECT_EQ(second.ReadLine(), "error 32");
    CloseHandle(mine);

    EXPECT_EQ(holder.Finish(), 0);
    EXPECT_TRUE(DeleteFileA(path.c_str()));
}

} // namespace
