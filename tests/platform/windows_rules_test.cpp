// What Windows does with names and attributes that the installer meets in a
// player's game directory. The same assertions run against the Linux layer
// and, under wine, against Win32 itself, so the layer cannot drift from it.
#include "platform/win32.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

#include <set>

namespace {

HANDLE Create(const std::string& path, DWORD disposition,
              DWORD attributes = FILE_ATTRIBUTE_NORMAL) {
    return CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, disposition, attributes, nullptr);
}

bool WriteAll(HANDLE file, const std::string& bytes) {
    DWORD done = 0;
    return WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &done, nullptr) &&
           done == bytes.size();
}

// Wine keeps the attributes but does not refuse the replacement (8.0).
bool RefusesHiddenReplacement() {
#ifdef _WIN32
    return GetProcAddress(GetModuleHandleA("ntdll.dll"), "wine_get_version") == nullptr;
#else
    return true;
#endif
}

std::set<std::string> Names(const ScratchDir& dir) {
    std::set<std::string> names;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir / "*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do {
        const std::string name = found.cFileName;
        if (name != "." && name != "..")
            names.insert(name);
    } while (FindNextFileA(search, &found));
    FindClose(search);
    return names;
}

// CREATE_ALWAYS replaces a hidden or system file only when the call repeats
// those attributes; the file then keeps them.
TEST(WindowsRules, HiddenAndSystemFilesAreReplacedOnlyWithTheirAttributes) {
    ScratchDir dir;
    for (DWORD kind : {FILE_ATTRIBUTE_HIDDEN, FILE_ATTRIBUTE_SYSTEM,
                       FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM}) {
        SCOPED_TRACE(kind);
        const std::string path = dir / "kept.ini";
        HANDLE file = Create(path, CREATE_ALWAYS);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        ASSERT_TRUE(WriteAll(file, "old"));
        CloseHandle(file);
        ASSERT_TRUE(SetFileAttributesA(path.c_str(), kind));
        EXPECT_EQ(GetFileAttributesA(path.c_str()) &
                      (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
                  kind);

        if (RefusesHiddenReplacement()) {
            EXPECT_EQ(Create(path, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
            EXPECT_EQ(ReadRaw(path), "old");
        }

        file = Create(path, CREATE_ALWAYS, kind);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetFileSize(file, nullptr), 0u);
        CloseHandle(file);
        EXPECT_EQ(GetFileAttributesA(path.c_str()) &
                      (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM),
                  kind);
        file = Create(path, OPEN_ALWAYS); // opening is no replacement
        EXPECT_NE(file, INVALID_HANDLE_VALUE);
        CloseHandle(file);
        ASSERT_TRUE(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL));
        ASSERT_TRUE(DeleteFileA(path.c_str()));
    }
}

TEST(WindowsRules, NamesWithRefusedCharactersAreInvalid) {
    ScratchDir dir;
    for (const char* name : {"a?.txt", "a*.txt", "a|b.txt", "a<b", "a>b", "a\"b",
                             "a\x01"
                             "b"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(Create(dir / name, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
    }
    // 乗 is 81 5C and 亅 is 81 7C in GBK: second bytes, neither '\' nor '|'.
    HANDLE file = Create(dir / "\x81\x5C\x81\x7C.txt", CREATE_ALWAYS);
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    EXPECT_EQ(Names(dir), std::set<std::string>{"\x81\x5C\x81\x7C.txt"});
}

// Windows drops the trailing dots and spaces of a name, and a device name
// names the device: NUL swallows what is written, and no file appears.
TEST(WindowsRules, TrailingDotsAndSpacesGoAndNulIsNoFile) {
    ScratchDir dir;
    for (const char* name : {"x.", "y ", "z. ."}) {
        HANDLE file = Create(dir / name, CREATE_ALWAYS);
        EXPECT_NE(file, INVALID_HANDLE_VALUE) << name;
        CloseHandle(file);
    }
    EXPECT_EQ(Names(dir), (std::set<std::string>{"x", "y", "z"}));

    for (const char* name : {"nul", "NUL.txt", "Nul.cfg"}) {
        HANDLE file = Create(dir / name, CREATE_ALWAYS);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << name;
        EXPECT_TRUE(WriteAll(file, "gone")) << name;
        CloseHandle(file);
    }
    EXPECT_EQ(Create(dir / "nul\\z.txt", CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Names(dir), (std::set<std::string>{"x", "y", "z"}));
}

} // namespace
