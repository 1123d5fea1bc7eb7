// The lines the reader writes to the program log, to the byte. The log is one
// file per program, so these checks live in a program with a single case.
#include "pak_test_support.h"

#include "runtime/log.h"

#include <gtest/gtest.h>

#include <fstream>

using namespace paktest;

namespace {

std::string LogPath() {
    char exe[MAX_PATH] = {};
    const DWORD length = GetModuleFileNameA(nullptr, exe, MAX_PATH - 1);
    exe[length] = '\0';
    char log[MAX_PATH];
    EXPECT_TRUE(MakeLogPath(exe, log, sizeof log));
    return log;
}

// What the log gained since the last call.
std::string NewLogText() {
    static size_t seen = 0;
    static_cast<CFileLog&>(GetLog()).Flush();
    std::ifstream in(LogPath(), std::ios::binary);
    const std::string text(std::istreambuf_iterator<char>(in), {});
    const std::string added = text.size() > seen ? text.substr(seen) : std::string();
    seen = text.size();
    return added;
}

std::string Lowered(std::string text) {
    LowerCaseBytes(&text[0]);
    return text;
}

std::string ArchiveWithIndex(u32 count, const std::string& plainIndex) {
    PakHeader header;
    InitPakHeader(&header);
    header.fileCount = count;
    header.indexOffset = 72;
    header.indexSize = static_cast<u32>(plainIndex.size());
    return RawArchive(header, "data", plainIndex);
}

TEST(PakLog, ReaderMessages) {
    TempDir dir;
    PakManager manager;
    const std::string path = dir / "Log.pak";
    const std::string name = Lowered(path);
    NewLogText();
    const std::string e0 = EntryBytes(0, 68, "data"), e1 = EntryBytes(3, 68, "");
    const std::string names("n0\0n1\0n2\0", 9), pad(7, '\0');
    const struct {
        std::string archive;
        i32 error;
        std::string line;
    } kCases[] = {
        {std::string(100, 'x'), PakBadHeader,
         " : Pak file header format is error, so recreate this file \r\n"},
        {ArchiveWithIndex(3, e0 + e1 + EntryBytes(99, 68, "") + names + pad), PakIndexDamaged,
         ", Include3 sub files. sub file 2name pos is : 99. Maybe this pak is bad.\r\n"},
        {ArchiveWithIndex(3, e0 + e1 + EntryBytes(3000, 68, "") + names + pad), PakIndexDamaged,
         ", Include3 sub files. sub file 1len is : 2997. Maybe this pak is bad.\r\n"},
        {ArchiveWithIndex(3, e0 + e1 + EntryBytes(6, 68, "") + std::string("n0\0n1\0n2", 8)),
         PakIndexDamaged,
         " Include3sub files. the lastest file name len is out of range. Maybe this pak is "
         "bad.\r\n"},
        {ArchiveWithIndex(3, e0 + e1 + names + pad), PakIndexDamaged,
         ", Include3 sub files. index size is : 144, too small for the entries. Maybe this pak "
         "is bad.\r\n"},
        {ArchiveWithIndex(1, e0 + names), PakIndexDamaged,
         ", Include1 sub files. index size is : 73, not a whole number of blocks. Maybe this "
         "pak is bad.\r\n"},
        {ArchiveWithIndex(2, e0 + e1 + names + pad).substr(0, 150), PakIoError,
         ": Read pak info header fail\r\n"},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.line);
        WriteFileBytes(Lowered(path), c.archive);
        i32 error = -1;
        PakArchive* archive = manager.Open(path.c_str(), PakReadOnly, false, &error);
        EXPECT_EQ(error, c.error);
        manager.Close(archive);
        EXPECT_EQ(NewLogText(), name + c.line);
    }
}

} // namespace
