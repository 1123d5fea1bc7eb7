#include "runtime/log.h"

#include "support.h"

#include <gtest/gtest.h>
#include <regex>
#include <string>

#ifndef _WIN32
#include "platform/fault.h"
#endif

namespace {

std::string LogPathFor(const char* exe, u32 size = MAX_PATH) {
    char out[MAX_PATH];
    return MakeLogPath(exe, out, size) ? out : "<refused>";
}

TEST(Log, PathReplacesOnlyTheFileNamesExtension) {
    EXPECT_EQ(LogPathFor("D:\\game\\update.exe"), "D:\\game\\update.log");
    EXPECT_EQ(LogPathFor("D:\\game.v2\\a.b.exe"), "D:\\game.v2\\a.b.log");
    EXPECT_EQ(LogPathFor("/opt/game.v2/update"), "/opt/game.v2/update.log");
    // 誠 is D5 5C in GBK: its second byte is no separator.
    EXPECT_EQ(LogPathFor("D:\\g\\a.b誠c"), "D:\\g\\a.log");
    EXPECT_EQ(LogPathFor("D:\\abc", 11), "D:\\abc.log");
    EXPECT_EQ(LogPathFor("D:\\abc", 10), "<refused>");
}

TEST(Log, StartsAfreshWithTimeStampAndCrLf) {
    rt::TempDir dir;
    const std::string path = dir / "run.log";
    rt::Write(path, "an older and longer log\r\n");
    {
        CFileLog log(path.c_str());
        log.Write("a");
        log.Write("");
        log.Write("b\n");
    }
    std::smatch parts;
    const std::string text = rt::Read(path);
    ASSERT_TRUE(std::regex_match(
        text, parts,
        std::regex("[0-2][0-9]:[0-5][0-9], [A-Z][a-z]+ [0-3][0-9], [0-9]{4}\r\n([\\s\\S]*)")))
        << text;
    EXPECT_EQ(parts[1].str(), "ab\r\n");

    CFileLog unwritable((dir / "missing\\run.log").c_str());
    unwritable.Write("lost\n");
    EXPECT_FALSE(rt::Exists(dir / "missing"));
}

// The first line keeps its date past 2038, where a 32-bit time ends.
TEST(Log, TimeStampAfter2038) {
    char text[256];
    FormatLogTimeStamp(2524651200LL, text); // 2050-01-01 12:00 UTC
    EXPECT_TRUE(std::regex_match(std::string(text),
                                 std::regex("[0-2][0-9]:[0-5][0-9], [A-Z][a-z]+ 0[12], 2050\n")))
        << text;
    FormatLogTimeStamp(4102444800LL + 86400 * 180, text); // mid 2100
    EXPECT_NE(std::string(text).find(", 2100\n"), std::string::npos) << text;
}

#ifndef _WIN32
TEST(Log, LockThatCannotBeSetUpIsInert) {
    rt::TempDir dir;
    pi::fault::Arm(pi::fault::Call::InitializeCriticalSection, 1, ERROR_NOT_ENOUGH_MEMORY, true);
    CLock lock;
    CFileLog log((dir / "inert.log").c_str());
    pi::fault::Disarm();
    EXPECT_FALSE(lock.IsValid());
    lock.Lock();
    lock.Unlock();
    log.Write("still\n");
    log.Flush();
    const std::string text = rt::Read(dir / "inert.log");
    EXPECT_EQ(text.substr(text.size() - 7), "still\r\n");
}
#endif

} // namespace
