// The folder picker's decisions on a typed path: which paths are refused,
// what is created, and what the user is told or asked.
#include "ui/path_dialog.h"

#include "ui_test_support.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

int Check(const std::string& path) {
    return CPathDialog::WalkFolderPath(path.c_str(), true);
}

TEST(FolderName, RefusesEmptyEdgesAndForbiddenBytes) {
    EXPECT_FALSE(CPathDialog::IsValidFolderName(nullptr));
    for (const char* name : {"", " a", "a ", ".a", "a.", "\ta", "a\t", "..", "a\x81\x7C"})
        EXPECT_FALSE(CPathDialog::IsValidFolderName(name)) << name;
    for (char c : std::string("\"*/:<>?\\|"))
        EXPECT_FALSE(CPathDialog::IsValidFolderName((std::string("a") + c + "b").c_str())) << c;
    for (const char* name : {"a", "a b", "a.b", "游戏", "a\tb", "\x81\x40"})
        EXPECT_TRUE(CPathDialog::IsValidFolderName(name)) << name;
}

TEST(WalkFolderPath, AcceptsOnlyWellFormedLocalDrivePaths) {
    EXPECT_EQ(CPathDialog::WalkFolderPath(nullptr, true), PathInvalid);
    for (const char* path :
         {"", "C:", "1:\\a", "C;\\a", "C:/a", "\\\\server\\share\\a", "Games\\a", ".\\a",
          "C:\\Games\\", "C:\\Games\\\\Client", "C:\\ Games", "C:\\Games.\\a", "C:\\a\\b?",
          // The trail byte 0x5C of a double-byte character ends a level (so
          // this path ends in a backslash); a trail byte 0x7C is refused.
          "C:\\Games\\a\x81\x5C", "C:\\Games\\a\x81\x7C"})
        EXPECT_EQ(Check(path), PathInvalid) << path;
    for (const char* path : {"C:\\", "z:\\Games\\Client", "C:\\游戏\\砚川",
                             "C:\\a\x81\x5C"
                             "b"})
        EXPECT_EQ(Check(path), PathAccepted) << path;
}

TEST(WalkFolderPath, RefusesPathsThatFitNoBuffer) {
    std::string path = "C:\\" + std::string(MAX_PATH - 4, 'a');
    EXPECT_EQ(Check(path), PathAccepted);
    EXPECT_EQ(Check(path + "b"), PathInvalid);
}

TEST(WalkFolderPath, CreatesEveryLevel) {
    ScratchDir scratch;
    std::string path = scratch.Path() + "\\New\\Client";
    EXPECT_EQ(CPathDialog::WalkFolderPath(path.c_str(), false), PathAccepted);
    EXPECT_TRUE(IsDirectory(scratch.Path() + "\\New"));
    EXPECT_TRUE(IsDirectory(path));
    // Existing levels are fine.
    EXPECT_EQ(CPathDialog::WalkFolderPath(path.c_str(), false), PathAccepted);
}

TEST(WalkFolderPath, ReportsALevelThatCannotBeCreated) {
    ScratchDir scratch;
    std::string path = scratch.Path() + "\\New\\file\\Client";
    WriteFile(scratch.Path() + "\\New", "x"); // a file where a folder should go
    EXPECT_EQ(CPathDialog::WalkFolderPath(path.c_str(), false), PathNotCreated);

    std::string missingRoot = std::string(1, UnusedDriveLetter()) + ":\\";
    EXPECT_EQ(CPathDialog::WalkFolderPath(missingRoot.c_str(), true), PathAccepted);
    EXPECT_EQ(CPathDialog::WalkFolderPath(missingRoot.c_str(), false), PathNotCreated);
    EXPECT_EQ(CPathDialog::WalkFolderPath("C:\\", false), PathAccepted);
}

// Answers ValidatePath's questions and records what it was shown.
struct FakeUser {
    static std::vector<std::string> shown;
    static std::vector<UINT> types;
    static int answer;

    static int Ask(const char* text, UINT type) {
        shown.push_back(text);
        types.push_back(type);
        return answer;
    }
};
std::vector<std::string> FakeUser::shown;
std::vector<UINT> FakeUser::types;
int FakeUser::answer = IDNO;

class ValidatePathTest : public ::testing::Test {
  protected:
    void SetUp() override {
        FakeUser::shown.clear();
        FakeUser::types.clear();
        FakeUser::answer = IDNO;
        CPathDialog::SetAskUser(&FakeUser::Ask);
    }
    void TearDown() override { CPathDialog::SetAskUser(nullptr); }

    ScratchDir scratch;
};

TEST_F(ValidatePathTest, AcceptsAnExistingFolderOrFileWithoutAsking) {
    EXPECT_EQ(CPathDialog::ValidatePath(scratch.Path().c_str()), PathAccepted);
    WriteFile(scratch.Path() + "\\a.txt", "x");
    EXPECT_EQ(CPathDialog::ValidatePath((scratch.Path() + "\\a.txt").c_str()), PathAccepted);
    EXPECT_TRUE(FakeUser::shown.empty());
}

TEST_F(ValidatePathTest, RefusesAnInvalidPathWithItsMessage) {
    std::string path = scratch.Path() + "\\New\\\\Client";
    EXPECT_EQ(CPathDialog::ValidatePath(path.c_str()), PathInvalid);
    ASSERT_EQ(FakeUser::shown.size(), 1u);
    EXPECT_EQ(FakeUser::shown[0], "The folder:\n\n" + path + "\n\nis invalid. Please reenter.");
    EXPECT_EQ(FakeUser::types[0], UINT(MB_OK | MB_ICONEXCLAMATION));
    // Nothing is created, not even the levels before the bad one.
    FakeUser::answer = IDYES;
    for (const char* tail : {"\\New\\Client\\", "\\New\\..\\Client", "\\New\\.x"})
        EXPECT_EQ(CPathDialog::ValidatePath((scratch.Path() + tail).c_str()), PathInvalid) << tail;
    EXPECT_FALSE(Exists(scratch.Path() + "\\New"));
}

TEST_F(ValidatePathTest, CreatesNothingWhenTheUserDeclines) {
    std::string path = scratch.Path() + "\\New\\Client";
    EXPECT_EQ(CPathDialog::ValidatePath(path.c_str()), PathDeclined);
    ASSERT_EQ(FakeUser::shown.size(), 1u);
    EXPECT_EQ(FakeUser::shown[0], "The folder:\n\n" + path +
                                      "\n\ndoes not exist. Do you want the folder to be created?");
    EXPECT_EQ(FakeUser::types[0], UINT(MB_YESNO | MB_ICONQUESTION));
    EXPECT_FALSE(Exists(scratch.Path() + "\\New"));
}

TEST_F(ValidatePathTest, CreatesEveryLevelWhenTheUserAgrees) {
    FakeUser::answer = IDYES;
    std::string path = scratch.Path() + "\\New\\Client";
    EXPECT_EQ(CPathDialog::ValidatePath(path.c_str()), PathAccepted);
    EXPECT_EQ(FakeUser::shown.size(), 1u);
    EXPECT_TRUE(IsDirectory(path));
}

TEST_F(ValidatePathTest, TellsWhenALevelCannotBeCreated) {
    FakeUser::answer = IDYES;
    WriteFile(scratch.Path() + "\\New", "x"); // a file where a folder should go
    std::string path = scratch.Path() + "\\New\\Client";
    EXPECT_EQ(CPathDialog::ValidatePath(path.c_str()), PathNotCreated);
    ASSERT_EQ(FakeUser::shown.size(), 2u);
    EXPECT_EQ(FakeUser::shown[1],
              "The folder:\n\n" + path + "\n\ncan not be created. Please double check.");
    EXPECT_EQ(FakeUser::types[1], UINT(MB_OK | MB_ICONEXCLAMATION));
}

TEST_F(ValidatePathTest, ARootOfAMissingDriveCannotBeCreated) {
    FakeUser::answer = IDYES;
    std::string root = std::string(1, UnusedDriveLetter()) + ":\\";
    EXPECT_EQ(CPathDialog::ValidatePath(root.c_str()), PathNotCreated);
    ASSERT_EQ(FakeUser::shown.size(), 2u);
    EXPECT_NE(FakeUser::shown[0].find("does not exist"), std::string::npos);
    EXPECT_NE(FakeUser::shown[1].find("can not be created"), std::string::npos);
}

} // namespace
