#include "patch_test_support.h"

#include "pak/pak_manager.h"
#include "patch/progress.h"
#include "platform/message_window.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

namespace patchtest {
namespace {

namespace fs = std::filesystem;

// Pak rewrites need the process-wide update lock, as in the programs.
class PakLockEnvironment : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(InitPakUpdateLock()); }
};
::testing::Environment* const g_pakLock =
    ::testing::AddGlobalTestEnvironment(new PakLockEnvironment);

fs::path Native(std::string path) {
#ifndef _WIN32
    std::replace(path.begin(), path.end(), '\\', '/');
#endif
    return fs::path(path);
}

} // namespace

Workspace::Workspace() : m_root(m_dir.path()), m_game(m_root + "\\game") {
    CreateDirectoryA(m_game.c_str(), nullptr);
    CreateDirectoryA((m_root + "\\src").c_str(), nullptr);
    WriteFileBytes(Stub(), "MZ stub program " + std::string(300, 'p'));
}

PackageFile Workspace::File(const std::string& name, const std::string& data, u64 stamp,
                            u32 method) {
    const std::string source = m_root + "\\src\\" + std::to_string(m_count++) + ".bin";
    WriteFileBytes(source, "head" + data);
    PackageFile file;
    file.name = name;
    file.source.path = source;
    file.source.offset = 4;
    file.size = static_cast<u32>(data.size());
    std::memcpy(file.storedMd5, Md5Of(data).data(), 16);
    std::memcpy(file.originalMd5, Md5Of("original " + data).data(), 16);
    file.originalSize = file.size + 7;
    file.stamp = Stamp(stamp);
    file.method = method;
    return file;
}

std::string Workspace::Build(const PackageContents& contents) {
    const std::string output = m_root + "\\setup" + std::to_string(m_count++) + ".exe";
    std::string error;
    EXPECT_TRUE(WritePackage(Stub().c_str(), contents, output.c_str(), 9, nullptr, &error))
        << error;
    return output;
}

FILETIME Stamp(u64 value) {
    return FILETIME{static_cast<DWORD>(value), static_cast<DWORD>(value >> 32)};
}

void SetWriteTime(const std::string& path, u64 stamp) {
    const FILETIME time = Stamp(stamp);
    FileStream stream;
    ASSERT_TRUE(stream.Open(path.c_str(), OpenReadWrite));
    ASSERT_TRUE(SetFileTime(stream.file.handle, nullptr, nullptr, &time));
}

std::vector<std::string> LeftoverTemps(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(Native(dir))) {
        std::string name = entry.path().filename().string();
        std::transform(name.begin(), name.end(), name.begin(), ::tolower);
        if (name.size() > 6 && name.compare(0, 2, "qv") == 0 &&
            name.compare(name.size() - 4, 4, ".tmp") == 0)
            names.push_back(name);
    }
    return names;
}

std::string DeflateRaw(const std::string& bytes) {
    z_stream z;
    std::memset(&z, 0, sizeof z);
    EXPECT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY), Z_OK);
    std::string out(deflateBound(&z, static_cast<uLong>(bytes.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = static_cast<uInt>(bytes.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string Inflated(const std::string& installerPath) {
    const std::string installer = ReadFileBytes(installerPath);
    u32 start = 0;
    std::memcpy(&start, installer.data() + installer.size() - 8, 4);
    MemoryStream source(installer.substr(start, installer.size() - start - 8));
    MemoryStream inflated;
    EXPECT_EQ(InflateStream(source, inflated, source.GetSize()), Z_OK);
    return inflated.data;
}

RawPackage Parse(const std::string& inflated) {
    MemoryStream stream(inflated);
    Manifest manifest;
    ManifestProblem problem;
    EXPECT_TRUE(ReadManifest(stream, 0, &manifest, &problem)) << problem.what;
    return RawPackage{manifest.paks, manifest.files, inflated.substr(manifest.dataBase)};
}

int JobRun::Count(const std::string& message) const {
    return static_cast<int>(std::count(messages.begin(), messages.end(), message));
}

std::string Describe(UINT message, WPARAM value) {
    switch (message) {
    case WM_PATCH_DONE:
        return "done";
    case WM_PATCH_OVERALL_PROGRESS:
        return "overall " + std::to_string(value);
    case WM_PATCH_ITEM_PROGRESS:
        return "item " + std::to_string(value);
    case WM_PATCH_ITEM_NAME:
        return "name";
    default:
        return "message " + std::to_string(message);
    }
}

void WaitForJob(CUpdateThread& job) {
    job.Wait();
    while (job.IsRunning())
        Sleep(1);
}

JobRun RunJob(CUpdateThread& job, const std::string& game, const std::string& installer) {
    HWND window = pi::CreateMessageWindow();
    EXPECT_NE(window, nullptr);
    g_hMainDlg = window;
    job.SetModuleDir(game);
    job.SetInstallerPath(installer);
    JobRun run;
    if (job.Start())
        WaitForJob(job);
    run.result = job.GetResult();
    run.failure = job.GetFailureReason();
    MSG msg;
    while (PeekMessageA(&msg, window, 0, 0, PM_REMOVE))
        run.messages.push_back(Describe(msg.message, msg.wParam));
    g_hMainDlg = nullptr;
    pi::DestroyMessageWindow(window);
    return run;
}

JobRun RunJob(const std::string& game, const std::string& installer) {
    CUpdateThread job;
    return RunJob(job, game, installer);
}

std::map<std::string, std::string> ReadArchive(const std::string& path) {
    return paktest::ReadAll(g_pakManager, path);
}

} // namespace patchtest
