// The program-wide log is built once per process: this program checks what
// happens before and at its first line.
#include "runtime/file_ops.h"
#include "runtime/log.h"

#include "support.h"

#include <gtest/gtest.h>

namespace {

TEST(ProgramLog, CreatedAfreshOnlyWhenSomethingFails) {
    const std::string path = rt::ProgramLogPath();
    rt::Write(path, "earlier run\r\n");
    rt::TempDir dir;
    const std::string a = dir / "a", b = dir / "b";
    const FILETIME stamp = {0, 0x01D00000u};
    rt::Write(a, "x");
    EXPECT_TRUE(MoveFileLogged(a.c_str(), b.c_str()));
    EXPECT_TRUE(SetFileWriteTime(b.c_str(), &stamp));
    EXPECT_TRUE(CreateParentDirectories((dir / "c\\d").c_str(), 0));
    EXPECT_TRUE(DeleteFileLogged(b.c_str()));
    EXPECT_FALSE(DeleteFileLogged(b.c_str()));
    EXPECT_EQ(rt::Read(path), "earlier run\r\n");

    EXPECT_FALSE(MoveFileLogged(a.c_str(), b.c_str()));
    static_cast<CFileLog&>(GetLog()).Flush();
    const std::string text = rt::Read(path);
    EXPECT_EQ(text.substr(text.find("\r\n") + 2),
              "目标文件不存在时：移动文件 " + a + " -> " + b + " 失败！errorCode: 2\r\n");
}

} // namespace
