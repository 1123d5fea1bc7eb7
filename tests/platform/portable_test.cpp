// The helpers built on every platform: code page 936 conversion and the
// text-mode log file. The same assertions run on Linux and under wine.
#include "platform/codepage.h"
#include "platform/text_file.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

namespace {

TEST(CodePage, RoundTrips) {
    const std::string gbk = "《砚川》更新 a\\b";
    const std::string utf8 = u8"《砚川》更新 a\\b";
    std::string out;
    ASSERT_TRUE(pi::AcpToUtf8(gbk, &out));
    EXPECT_EQ(out, utf8);
    ASSERT_TRUE(pi::Utf8ToAcp(utf8, &out));
    EXPECT_EQ(out, gbk);
    ASSERT_TRUE(pi::AcpToUtf8("\x80", &out)); // code page 936's euro sign
    EXPECT_EQ(out, u8"€");
    ASSERT_TRUE(pi::AcpToUtf8(std::string("a\0b", 3), &out));
    EXPECT_EQ(out, std::string("a\0b", 3));
    ASSERT_TRUE(pi::AcpToUtf8("", &out));
    EXPECT_EQ(out, "");
}

TEST(CodePage, InvalidInputFails) {
    std::string out;
    EXPECT_FALSE(pi::AcpToUtf8("ok\xff", &out));       // not a lead byte
    EXPECT_FALSE(pi::AcpToUtf8("cut\xd6", &out));      // lead byte without trail
    EXPECT_FALSE(pi::Utf8ToAcp("\xc3(", &out));        // broken UTF-8
    EXPECT_FALSE(pi::Utf8ToAcp(u8"\U0001F600", &out)); // no GBK spelling
    EXPECT_FALSE(pi::Utf8ToAcp(u8"\uAC00", &out));     // Hangul, none either
    EXPECT_EQ(pi::AcpToUtf8Lossy("a\xff"
                                 "b中"),
              u8"a?b中");
}

TEST(TextFile, NewlinesAreStoredAsCrLf) {
    ScratchDir dir;
    std::string path = dir / "更新.log";
    FILE* file = pi::OpenTextFile(path.c_str(), "w+");
    ASSERT_NE(file, nullptr);
    fputs("ab\nc\r\n\n", file);
    fputs("失败\n", file);
    rewind(file);
    char line[64];
    ASSERT_NE(fgets(line, sizeof line, file), nullptr);
    EXPECT_STREQ(line, "ab\n");
    fclose(file);
    const auto onDisk = dir.Path() / std::filesystem::u8path(u8"更新.log");
    std::string raw = ReadRaw(onDisk);
    EXPECT_EQ(raw, std::string("ab\r\nc\r\r\n\r\n") + "失败\r\n");

    file = pi::OpenTextFile(path.c_str(), "a");
    fputs("x\n", file);
    fclose(file);
    EXPECT_EQ(raw.size() + 3, std::filesystem::file_size(onDisk));
    EXPECT_EQ(pi::OpenTextFile((dir / "missing\\f.log").c_str(), "w"), nullptr);
}

} // namespace
