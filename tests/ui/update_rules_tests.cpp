// The update dialog's rules that need no window: reading the remembered
// directory, handing it to the job, and showing progress.
#include "ui/update_rules.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

// A key of its own under HKEY_CURRENT_USER, deleted afterwards.
class RegistryValueTest : public ::testing::Test {
  protected:
    void SetUp() override {
        char name[96];
        snprintf(name, sizeof(name), "Software\\PiUiTests\\%lu", GetCurrentProcessId());
        m_keyPath = name;
        ASSERT_EQ(RegCreateKeyExA(HKEY_CURRENT_USER, m_keyPath.c_str(), 0, nullptr, 0,
                                  KEY_ALL_ACCESS, nullptr, &m_key, nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override {
        RegCloseKey(m_key);
        RegDeleteKeyA(HKEY_CURRENT_USER, m_keyPath.c_str());
    }

    void Store(DWORD type, const void* bytes, DWORD size) {
        ASSERT_EQ(
            RegSetValueExA(m_key, "ModuleDir", 0, type, static_cast<const BYTE*>(bytes), size),
            ERROR_SUCCESS);
    }
    void StoreString(const std::string& text, DWORD type = REG_SZ) {
        Store(type, text.c_str(), static_cast<DWORD>(text.size() + 1));
    }
    bool Read(std::string* dir) {
        return ReadDirectoryValue(HKEY_CURRENT_USER, m_keyPath.c_str(), "ModuleDir", dir);
    }

    std::string m_keyPath;
    HKEY m_key = nullptr;
};

TEST_F(RegistryValueTest, ReadsAStringAsStored) {
    std::string dir;
    StoreString("D:\\Games\\砚川\\");
    ASSERT_TRUE(Read(&dir));
    EXPECT_EQ(dir, "D:\\Games\\砚川\\");

    // An expandable string is shown without expanding it.
    StoreString("%ProgramFiles%\\Game", REG_EXPAND_SZ);
    ASSERT_TRUE(Read(&dir));
    EXPECT_EQ(dir, "%ProgramFiles%\\Game");

    StoreString("");
    dir = "x";
    ASSERT_TRUE(Read(&dir));
    EXPECT_EQ(dir, "");
}

TEST_F(RegistryValueTest, TakesAStringThatFillsTheBufferExactly) {
    std::string dir;
    std::string longest(MAX_PATH - 1, 'a'); // 260 bytes with its zero
    StoreString(longest);
    ASSERT_TRUE(Read(&dir));
    EXPECT_EQ(dir, longest);

    dir = "unchanged";
    StoreString(longest + "b");
    EXPECT_FALSE(Read(&dir));
    EXPECT_EQ(dir, "unchanged");
}

TEST_F(RegistryValueTest, RefusesOtherTypesAndUnterminatedStrings) {
    std::string dir;
    DWORD number = 0x3A44; // "D:" as bytes, zero-terminated
    Store(REG_DWORD, &number, sizeof(number));
    EXPECT_FALSE(Read(&dir));

    Store(REG_BINARY, "D:\\\0", 4);
    EXPECT_FALSE(Read(&dir));

    Store(REG_MULTI_SZ, "D:\\\0\0", 5);
    EXPECT_FALSE(Read(&dir));

    // The byte after the counted ones is not a zero, so the registry keeps
    // the value as it was given: without a terminating zero.
    Store(REG_SZ, "D:\\GamesX", 8);
    EXPECT_FALSE(Read(&dir));
}

TEST_F(RegistryValueTest, ReportsAMissingValueOrKey) {
    std::string dir;
    EXPECT_FALSE(Read(&dir));
    EXPECT_FALSE(
        ReadDirectoryValue(HKEY_CURRENT_USER, (m_keyPath + "\\none").c_str(), "ModuleDir", &dir));
}

TEST(CutTrailingBackslash, RemovesExactlyOne) {
    struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"D:\\Games\\", "D:\\Games"},
        {"D:\\Games\\\\", "D:\\Games\\"},
        {"D:\\", "D:"},
        {"D:\\Games", "D:\\Games"},
        {"", ""},
        {"\\", ""},
        // Only the last byte counts, even as the second byte of a character.
        {"D:\\a\x81\x5C", "D:\\a\x81"},
    };
    for (const auto& c : cases) {
        char buffer[MAX_PATH];
        snprintf(buffer, sizeof(buffer), "%s", c.in);
        CutTrailingBackslash(buffer);
        EXPECT_STREQ(buffer, c.out) << c.in;
    }
}

TEST(ClampPercent, ShowsAtMostAFullBar) {
    EXPECT_EQ(ClampPercent(0), 0);
    EXPECT_EQ(ClampPercent(57), 57);
    EXPECT_EQ(ClampPercent(100), 100);
    EXPECT_EQ(ClampPercent(101), 100);
    EXPECT_EQ(ClampPercent(250), 100);
    EXPECT_EQ(ClampPercent(0xFFFFFFFFu), 100);
    EXPECT_EQ(ClampPercent(static_cast<WPARAM>(-1)), 100);
}

} // namespace
