// What the tools share at their edges: conversions, digests, times, JSON and
// the main wrapper.
#include "json_output.h"
#include "text.h"
#include "tool_error.h"
#include "tool_main.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <random>
#include <stdexcept>

namespace {

constexpr u64 kTicksPerSecond = 10000000;
constexpr u64 kUnixEpoch = 116444736000000000ull; // 1970 in FILETIME ticks

// The C library's calendar, where it has one: Windows' runtime knows no date
// before 1970 or after 3000.
bool CLibraryUtc(time_t seconds, struct tm* utc) {
#ifdef _WIN32
    return gmtime_s(utc, &seconds) == 0;
#else
    return gmtime_r(&seconds, utc) != nullptr;
#endif
}

TEST(ToolText, FileTimesAgreeWithTheCLibraryOverTheWholeRange) {
    EXPECT_EQ("1601-01-01 00:00:00", pitool::FormatFileTime(0));
    EXPECT_EQ("1970-01-01 00:00:00", pitool::FormatFileTime(kUnixEpoch));
    // 100-ns ticks below a second are dropped, not rounded.
    EXPECT_EQ("1970-01-01 00:00:00", pitool::FormatFileTime(kUnixEpoch + kTicksPerSecond - 1));

    std::mt19937_64 random(1601);
    for (int i = 0; i < 20000; ++i) {
        // Every range of magnitudes, from 1601 to the last year 64 bits hold.
        const u64 ticks = i == 0 ? ~0ull : random() >> (random() % 64);
        const time_t seconds = static_cast<time_t>(ticks / kTicksPerSecond) -
                               static_cast<time_t>(kUnixEpoch / kTicksPerSecond);
        struct tm utc;
        char expected[64];
        if (!CLibraryUtc(seconds, &utc))
            continue;
        ASSERT_NE(0u, std::strftime(expected, sizeof expected, "%Y-%m-%d %H:%M:%S", &utc));
        ASSERT_EQ(expected, pitool::FormatFileTime(ticks)) << ticks;
    }
}

TEST(ToolText, DigestsAndCodePageConversions) {
    const u8 digest[16] = {0x00, 0x01, 0x0f, 0x10, 0x7f, 0x80, 0xab, 0xcd,
                           0xef, 0xf0, 0xfe, 0xff, 0x5a, 0xa5, 0x3c, 0xc3};
    EXPECT_EQ("00010f107f80abcdeff0feff5aa53cc3", pitool::HexDigest(digest));

    EXPECT_EQ("\xD6\xD0\xCE\xC4\\a.txt", pitool::ToAcp(u8"中文\\a.txt", "the name", 1));
    EXPECT_EQ(u8"中文\\a.txt", pitool::ToUtf8("\xD6\xD0\xCE\xC4\\a.txt"));
    // Display never fails: a lead byte without its trail is shown as '?'.
    EXPECT_EQ("a?", pitool::ToUtf8("a\xD6"));

    // GBK has no emoji: the error names the text and what it was, with the
    // exit code the caller chose.
    for (int exitCode : {1, 2}) {
        try {
            pitool::ToAcp(u8"x\U0001F600.txt", "the sub-file name", exitCode);
            ADD_FAILURE() << "no error";
        } catch (const pitool::ToolError& error) {
            EXPECT_EQ(exitCode, error.exitCode);
            EXPECT_EQ(u8"the sub-file name \"x\U0001F600.txt\" cannot be written in code page "
                      u8"936 (GBK)",
                      error.message);
        }
    }
}

TEST(ToolJson, LayoutKeyOrderAndTextAsTheToolsPrintThem) {
    pitool::Json document = {{"zeta", 1u}, {"alpha", pitool::Json::array()}};
    document["name"] = u8"数据\\角色.pak";
    document["items"] = {{{"size", 5u}, {"ok", true}}};
    document["control"] = "tab\there\x01";
    // The tests of the tools search this text literally.
    EXPECT_EQ(u8"{\n"
              u8"  \"zeta\": 1,\n"
              u8"  \"alpha\": [],\n"
              u8"  \"name\": \"数据\\\\角色.pak\",\n"
              u8"  \"items\": [\n"
              u8"    {\n"
              u8"      \"size\": 5,\n"
              u8"      \"ok\": true\n"
              u8"    }\n"
              u8"  ],\n"
              u8"  \"control\": \"tab\\there\\u0001\"\n"
              u8"}",
              pitool::JsonText(document));
}

TEST(ToolJson, BytesThatAreNotUtf8AreReplacedNotThrownOver) {
    // A GBK name that skipped conversion, a lone continuation byte, a
    // truncated sequence at the end.
    const pitool::Json document = {{"names", {"\xD6\xD0\xCE\xC4", "a\x80z", "end\xE4\xB8"}}};
    std::string text;
    ASSERT_NO_THROW(text = pitool::JsonText(document));
    EXPECT_EQ(std::string::npos, text.find('\x80'));
    EXPECT_NE(std::string::npos, text.find(u8"a\uFFFDz")) << text;
    const pitool::Json parsed = pitool::Json::parse(text);
    EXPECT_EQ(u8"a\uFFFDz", parsed["names"][1].get<std::string>());
}

TEST(ToolMain, ErrorsBecomeAMessageAndAnExitCode) {
    const std::vector<std::string> args = {"one", u8"二"};
    testing::internal::CaptureStderr();
    EXPECT_EQ(7, pitool::RunTool(
                     "tool", args,
                     [&](const std::vector<std::string>& given) {
                         EXPECT_EQ(args, given);
                         return 7;
                     }));
    EXPECT_EQ(1, pitool::RunTool(
                     "tool", args,
                     [](const std::vector<std::string>&) -> int {
                         pitool::ThrowToolError(1, u8"a.pak: 损坏");
                     }));
    EXPECT_EQ(pitool::kExitUsageOrIo,
              pitool::RunTool("tool", args, [](const std::vector<std::string>&) -> int {
                  throw std::runtime_error("out of something");
              }));
    EXPECT_EQ(u8"tool: a.pak: 损坏\ntool: out of something\n",
              testing::internal::GetCapturedStderr());

#ifndef _WIN32 // Windows reads the wide command line (tool_system_test.cpp)
    char program[] = "tool", first[] = "--json", second[] = "x y";
    char* argv[] = {program, first, second, nullptr};
    EXPECT_EQ(std::vector<std::string>({"--json", "x y"}), pitool::ArgumentsOf(3, argv));
    EXPECT_TRUE(pitool::ArgumentsOf(0, argv + 3).empty());
#endif
}

} // namespace
