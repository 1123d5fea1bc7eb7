// FindFirstFileA and FindNextFileA: wildcards in the last component, letter
// case ignored, names in byte order, the errors Windows gives; and the fault
// hook's trace of call kinds.
#include "platform/fault.h"
#include "platform/win32.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <vector>

namespace {

using pi::fault::Call;

std::vector<std::string> Found(const std::string& pattern, DWORD* endError) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    *endError = GetLastError();
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(found.cFileName +
                        std::string(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY ? "/" : ""));
    while (FindNextFileA(search, &found));
    *endError = GetLastError();
    EXPECT_TRUE(FindClose(search));
    return names;
}

TEST(Search, WildcardsCaseAndOrder) {
    ScratchDir dir;
    for (const char* name : {"qv12.tmp", "QV3A.TMP", "qvx.tmp", "other.txt", "qv.tmpx"})
        WriteRaw(dir.Path() / name, "12345");
    std::filesystem::create_directory(dir.Path() / "qvdir.tmp");
    WriteRaw(dir.Path() / "\xe6\x95\xb0\xe6\x8d\xae.txt", ""); // 数据.txt
    DWORD end = 0;
    EXPECT_EQ(Found(dir / "qv*.tmp", &end),
              (std::vector<std::string>{"QV3A.TMP", "qv12.tmp", "qvdir.tmp/", "qvx.tmp"}));
    EXPECT_EQ(end, static_cast<DWORD>(ERROR_NO_MORE_FILES));
    EXPECT_EQ(Found(dir / "?\xca\xfd.txt", &end).size(), 0u); // ?数.txt: no such name
    EXPECT_EQ(Found(dir / "?\xbe\xdd.txt", &end),             // ?据.txt
              (std::vector<std::string>{"\xca\xfd\xbe\xdd.txt"}));

    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir / "other.txt").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_EQ(found.nFileSizeLow, 5u);
    EXPECT_EQ(found.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    FindClose(search);
    EXPECT_FALSE(FindClose(search));
}

TEST(Search, ErrorsForNothingFound) {
    ScratchDir dir;
    WIN32_FIND_DATAA found;
    EXPECT_EQ(FindFirstFileA((dir / "qv*.tmp").c_str(), &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(FindFirstFileA((dir / "missing\\*").c_str(), &found), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_FALSE(FindNextFileA(INVALID_HANDLE_VALUE, &found));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Search, FaultsAndTheTraceOfCallKinds) {
    ScratchDir dir;
    WriteRaw(dir.Path() / "a", "");
    WriteRaw(dir.Path() / "b", "");
    WIN32_FIND_DATAA found;
    pi::fault::Trace(true);
    pi::fault::Arm(Call::FindNextFile, 1, ERROR_ACCESS_DENIED);
    HANDLE search = FindFirstFileA((dir / "*").c_str(), &found);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(FindNextFileA(search, &found));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_NE(GetFileAttributesA((dir / "a").c_str()), INVALID_FILE_ATTRIBUTES);
    FindClose(search); // not a call the hook counts
    EXPECT_EQ(pi::fault::TracedCalls(), (std::vector<Call>{Call::FindFirstFile, Call::FindNextFile,
                                                           Call::GetFileAttributes}));
    pi::fault::Disarm();
    EXPECT_TRUE(pi::fault::TracedCalls().empty());
    pi::fault::Trace(false);
    EXPECT_NE(GetFileAttributesA((dir / "a").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(pi::fault::TracedCalls().empty());
}

} // namespace
