// The patch job: runs one patch from start to end on a worker thread.
#pragma once

#include "pak/pak_events.h"
#include "patch/package.h"
#include "runtime/stream.h"
#include "runtime/thread_object.h"

#include <atomic>
#include <string>
#include <vector>

struct PakArchive;
struct PakUpdateItem;

class CUpdateThread : public CThreadObjectEx, public IPackEventHandle {
  public:
    CUpdateThread() = default;
    // The owner may destroy the job right after WM_PATCH_DONE, while the
    // worker is still returning from Run.
    ~CUpdateThread() { WaitForEnd(); }

    // The game directory, without a trailing backslash.
    void SetModuleDir(const std::string& dir) { m_moduleDir = dir; }
    using CThreadObjectEx::Start;
    // Raises the cancel flag, waits for the worker to end, lowers the flag.
    void Cancel();
    // Reads the patch from `path` instead of the running executable (tests and
    // tools); an empty path restores the default.
    void SetInstallerPath(const std::string& path) { m_installerPath = path; }
    // True while the owner cancels the job.
    bool IsCancelling() const { return m_cancel.load() != 0; }
    bool GetResult() const { return m_result; }
    // Why the last job failed, in plain English (empty after a success). Read
    // it, like the result, after WM_PATCH_DONE.
    const std::string& GetFailureReason() const { return m_failure; }

    // The job, on the worker thread. Always 0.
    u32 Run() override;
    void OnProgress(u32 done, u32 total) override;

  private:
    void RunJob();
    void ExtractAndApply(FileStream& installer, const char* installerPath, const char* tempPath);
    bool GetInstallerPath(char (&path)[MAX_PATH]);
    bool LoadManifest();
    bool CheckRoom(const Manifest& manifest);
    bool Fail(const std::string& reason);
    bool FailCancelled();

    const char* MakeGamePath(const char* relative);
    bool ApplyManifest();
    bool PatchPak(const PatchPakRecord& pak);
    bool PatchLooseFile(const PatchFileRecord& record);
    bool RewritePak(const PatchPakRecord& pak, const char* path, const char* tempName);
    bool CommitPakUpdate(PakArchive* archive, const std::vector<PakUpdateItem>& items,
                         const PatchPakRecord& pak, const char* path, const char* tempName);
    bool CopyLooseFile(const PatchFileRecord& record, const char* path);
    void PostOverallProgress(HWND window);

    Stream* m_payload = nullptr;
    u32 m_manifestPos = 0;
    u32 m_dataBase = 0;
    std::vector<PatchFileRecord> m_files;
    std::vector<PatchPakRecord> m_paks;
    u32 m_totalRecords = 0;
    u32 m_doneRecords = 0;
    std::string m_moduleDir;
    std::string m_workDir;
    bool m_result = false;
    std::string m_failure;
    bool m_stoppedByCancel = false; // the first failure was the owner's cancel
    std::atomic<u32> m_cancel{0};
    std::string m_installerPath;
    char m_gamePath[MAX_PATH] = {};
};
