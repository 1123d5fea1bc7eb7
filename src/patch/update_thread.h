// The patch job: runs one patch from start to end on a worker thread.
#pragma once

#include "pak/pak_events.h"
#include "patch/package.h"
#include "runtime/stream.h"
#include "runtime/thread_object.h"

#include <atomic>
#include <string>
#include <vector>

class CUpdateThread : public CThreadObjectEx, public IPackEventHandle {
public:
    CUpdateThread() = default;
    ~CUpdateThread() = default;

    // The game directory, without a trailing backslash.
    void SetModuleDir(const std::string& dir) { m_moduleDir = dir; }
    using CThreadObjectEx::Start;
    // Raises the cancel flag, waits for the worker to end, lowers the flag.
    void Cancel();
    bool GetResult() const { return m_result; }
    // Why the last job failed, in plain English (empty after a success). Read
    // it, like the result, after WM_PATCH_DONE.
    const std::string& GetFailureReason() const { return m_failure; }

    // The job, on the worker thread. Always 0.
    u32 Run() override;
    void OnProgress(u32 done, u32 total) override;

private:
    const char* MakeGamePath(const char* relative);
    bool ApplyManifest();
    bool PatchPak(const PatchPakRecord& pak);
    bool PatchLooseFile(const PatchFileRecord& record);
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
    std::atomic<u32> m_cancel{0};
};
