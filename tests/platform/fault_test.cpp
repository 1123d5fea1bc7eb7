// The fault hook: the nth call, forever, all kinds together, the counters,
// and arming a whole child process through PI_FAULT (which also parses the
// call names).
#include "helper_process.h"
#include "platform/fault.h"
#include "platform/win32.h"
#include "scratch_dir.h"

#include <gtest/gtest.h>

namespace {

using pi::fault::Call;

struct FaultTest : ::testing::Test {
    ~FaultTest() override { pi::fault::Disarm(); }
};

HANDLE Create(const std::string& path) {
    return CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
}

TEST_F(FaultTest, NthCallFailsOnceAndDoesNothing) {
    ScratchDir dir;
    HANDLE file = Create(dir / "f");
    pi::fault::Arm(Call::WriteFile, 2, ERROR_DISK_FULL);
    DWORD done = 7;
    EXPECT_TRUE(WriteFile(file, "ab", 2, &done, nullptr));
    EXPECT_FALSE(WriteFile(file, "cd", 2, &done, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DISK_FULL);
    EXPECT_EQ(done, 0u);
    EXPECT_TRUE(WriteFile(file, "ef", 2, &done, nullptr));
    EXPECT_EQ(pi::fault::FiredCount(), 1u);
    EXPECT_EQ(pi::fault::CallCount(Call::WriteFile), 3u);
    CloseHandle(file);
    EXPECT_EQ(ReadRaw(dir / "f"), "abef");
}

TEST_F(FaultTest, ForeverAndAnyKind) {
    ScratchDir dir;
    pi::fault::Arm(Call::CreateFile, 2, ERROR_ACCESS_DENIED, true);
    HANDLE file = Create(dir / "1");
    EXPECT_NE(file, INVALID_HANDLE_VALUE);
    CloseHandle(file);
    for (const char* name : {"2", "3"}) {
        EXPECT_EQ(Create(dir / name), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_FALSE(std::filesystem::exists(dir / name));
    }
    EXPECT_EQ(pi::fault::FiredCount(), 2u);

    // Counted across kinds: the third call fails, whatever it is.
    pi::fault::Arm(Call::Any, 3, ERROR_GEN_FAILURE);
    EXPECT_NE(GetFileAttributesA((dir / "1").c_str()), INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(DeleteFileA((dir / "1").c_str()));
    EXPECT_EQ(GetTempFileNameA(dir.Path().string().c_str(), "qv", 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_GEN_FAILURE);
    EXPECT_EQ(pi::fault::CallCount(Call::Any), 3u);
    EXPECT_EQ(pi::fault::CallCount(Call::DeleteFile), 1u);

    pi::fault::Disarm();
    EXPECT_EQ(pi::fault::CallCount(Call::Any), 0u);
    EXPECT_EQ(_beginthreadex(nullptr, 0, nullptr, nullptr, 0, nullptr), 0u); // not a fault
    pi::fault::Arm(Call::BeginThread, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(_beginthreadex(nullptr, 0, nullptr, nullptr, 0, nullptr), 0u);
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
    CRITICAL_SECTION section;
    pi::fault::Arm(Call::InitializeCriticalSection, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_FALSE(InitializeCriticalSectionAndSpinCount(&section, 0));
    EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY);
}

TEST_F(FaultTest, EnvironmentArmsAChildProcess) {
    ScratchDir dir;
    HelperProcess once({"create", dir / "a", dir / "b", dir / "c"}, {"PI_FAULT=CreateFile:2:5"});
    EXPECT_EQ(once.ReadLine(), "ok error 5 ok");
    HelperProcess forever({"create", dir / "a", dir / "b", dir / "c"},
                          {"PI_FAULT=any:3:112:forever"});
    EXPECT_EQ(forever.ReadLine(), "ok error 112 error 112"); // CloseHandle is the 2nd call
    EXPECT_EQ(forever.Finish(), 0);
}

} // namespace
