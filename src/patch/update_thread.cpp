#include "patch/update_thread.h"

#include "patch/dry_run.h"
#include "patch/installer_reader.h"
#include "patch/progress.h"
#include "patch/report.h"
#include "runtime/file_ops.h"
#include "runtime/log.h"

#include <cctype>
#include <cstdio>

namespace {

// "qv", one to four hexadecimal digits, ".tmp": a name GetTempFileNameA
// makes for the unpacked package.
bool IsUnpackedPackageName(const char* name) {
    auto lower = [](char c) { return static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c); };
    if (lower(name[0]) != 'q' || lower(name[1]) != 'v')
        return false;
    size_t digits = 0;
    while (std::isxdigit(static_cast<unsigned char>(name[2 + digits])) && digits < 5)
        ++digits;
    const char* rest = name + 2 + digits;
    return digits >= 1 && digits <= 4 && lower(rest[0]) == '.' && lower(rest[1]) == 't' &&
           lower(rest[2]) == 'm' && lower(rest[3]) == 'p' && rest[4] == '\0';
}

// A run that was killed, or lost its power, leaves its unpacked package
// behind. The next run removes such leftovers before it unpacks its own. A
// package that another running installer still has open cannot be deleted,
// and is left to it.
void RemoveLeftoverPackages(const std::string& dir) {
    const std::string pattern = dir + "\\qv*.tmp";
    if (pattern.size() >= MAX_PATH)
        return;
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA(pattern.c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
            IsUnpackedPackageName(found.cFileName))
            DeleteFileA((dir + "\\" + found.cFileName).c_str());
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

} // namespace

void CUpdateThread::Cancel() {
    if (!Handle())
        return;
    m_cancel.store(1);
    Wait();
    m_cancel.store(0);
}

void CUpdateThread::OnProgress(u32 done, u32 total) {
    PostItemProgress(done, total);
}

u32 CUpdateThread::Run() {
    const HWND window = g_hMainDlg;
    // A job that ends early must not report the success of an earlier one.
    m_result = false;
    m_failure.clear();
    m_stoppedByCancel = false;
    RunJob();
    // The log is for what went wrong: a cancel is the player's choice, and
    // writing it would wipe the log of an earlier run that did fail.
    if (!m_result && !m_stoppedByCancel) {
        if (m_failure.empty())
            m_failure = "the update failed";
        GetLog().Write(("Update failed: " + m_failure + "\n").c_str());
    }
    if (m_cancel.load() == 0)
        PostDone(window, m_cancel);
    return 0;
}

bool CUpdateThread::Fail(const std::string& reason) {
    // The first failure is the cause; later ones follow from it.
    if (m_failure.empty())
        m_failure = reason;
    return false;
}

bool CUpdateThread::FailCancelled() {
    m_stoppedByCancel = m_stoppedByCancel || m_failure.empty();
    return Fail("the update was cancelled");
}

void CUpdateThread::RunJob() {
    if (m_moduleDir.empty()) {
        Fail("no game directory was given");
        return;
    }
    char installerPath[MAX_PATH];
    if (!GetInstallerPath(installerPath))
        return;
    RemoveLeftoverPackages(m_moduleDir);
    char tempPath[MAX_PATH];
    if (GetTempFileNameA(m_moduleDir.c_str(), "qv", 0, tempPath) == 0) {
        const DWORD error = GetLastError();
        Fail(FormatText("cannot create a temporary file in %s: %s", m_moduleDir.c_str(),
                        DescribeSystemError(error).c_str()));
        return;
    }
    m_workDir = m_moduleDir;
    {
        FileStream installer; // open until the job has ended
        ExtractAndApply(installer, installerPath, tempPath);
    }
    DeleteFileLogged(tempPath);
}

bool CUpdateThread::GetInstallerPath(char (&path)[MAX_PATH]) {
    if (!m_installerPath.empty()) {
        if (m_installerPath.size() >= MAX_PATH)
            return Fail("the installer path is too long");
        std::snprintf(path, MAX_PATH, "%s", m_installerPath.c_str());
        return true;
    }
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH) {
        const DWORD error = GetLastError();
        return Fail("cannot find the installer's own file: " + DescribeSystemError(error));
    }
    return true;
}

void CUpdateThread::ExtractAndApply(FileStream& installer, const char* installerPath,
                                    const char* tempPath) {
    if (!installer.Open(installerPath, OpenRead)) {
        const DWORD error = GetLastError();
        Fail(FormatText("cannot open the installer %s: %s", installerPath,
                        DescribeSystemError(error).c_str()));
        return;
    }
    PackageLocation where;
    PackageProblem problem;
    if (!FindPackage(installer, installerPath, &where, &problem)) {
        Fail(problem.what);
        return;
    }
    FileStream temp; // closed before the caller deletes the file
    if (!temp.Open(tempPath, OpenCreate)) {
        const DWORD error = GetLastError();
        Fail(FormatText("cannot write the temporary file %s: %s", tempPath,
                        DescribeSystemError(error).c_str()));
        return;
    }
    if (!UnpackPackage(installer, installerPath, where, temp, tempPath, &problem)) {
        Fail(problem.what);
        return;
    }
    m_manifestPos = 0;
    temp.Close();
    if (!temp.Open(tempPath, OpenRead)) {
        const DWORD error = GetLastError();
        Fail(FormatText("cannot reopen the temporary file %s: %s", tempPath,
                        DescribeSystemError(error).c_str()));
        return;
    }
    m_payload = &temp;
    if (LoadManifest()) {
        m_totalRecords = static_cast<u32>(m_files.size());
        m_doneRecords = 0;
        m_result = ApplyManifest();
    }
    m_payload = nullptr;
    temp.Close();
}

bool CUpdateThread::LoadManifest() {
    Manifest manifest;
    PackageProblem problem;
    if (!::LoadManifest(*m_payload, static_cast<u32>(m_moduleDir.size()), &manifest, &problem))
        return Fail(problem.what);
    if (!CheckRoom(manifest))
        return false;
    m_paks = std::move(manifest.paks);
    m_files = std::move(manifest.files);
    m_dataBase = manifest.dataBase;
    return true;
}

// A disk that fills half way leaves the game half patched, and says nothing
// of why: the room the run needs is worked out first, by the dry run's own
// following of the job, and compared with what the game's volume has. Where
// the dry run foresees a failure, or the volume cannot be asked, the run
// goes on and meets it where it is.
bool CUpdateThread::CheckRoom(const Manifest& manifest) {
    UpdatePlan plan;
    PlanUpdate(manifest, *m_payload, m_moduleDir, &plan, false);
    ULARGE_INTEGER free;
    if (!plan.failure.empty() || !plan.damage.empty() ||
        !GetDiskFreeSpaceExA(m_moduleDir.c_str(), &free, nullptr, nullptr))
        return true;
    const u64 needed = plan.RoomNeeded();
    if (free.QuadPart >= needed)
        return true;
    return Fail(FormatText("not enough free space on the disk of %s: the patch needs %s, %s "
                           "%s free",
                           m_moduleDir.c_str(), DescribeSize(needed).c_str(),
                           DescribeSize(free.QuadPart).c_str(), free.QuadPart == 1 ? "is" : "are"));
}

// Null when "dir\relative" does not fit the buffer.
const char* CUpdateThread::MakeGamePath(const char* relative) {
    const int length =
        std::snprintf(m_gamePath, sizeof m_gamePath, "%s\\%s", m_moduleDir.c_str(), relative);
    if (length < 0 || static_cast<size_t>(length) >= sizeof m_gamePath)
        return nullptr;
    return m_gamePath;
}

// Loose files first, so that a pak record may patch an archive that a loose
// record of the same package has just replaced.
bool CUpdateThread::ApplyManifest() {
    const HWND window = g_hMainDlg;
    for (const PatchFileRecord& record : m_files) {
        if (m_cancel.load() != 0)
            return FailCancelled();
        if (record.inPak != 0)
            continue;
        if (!PatchLooseFile(record))
            return false;
        ++m_doneRecords;
        PostOverallProgress(window);
    }
    for (const PatchPakRecord& pak : m_paks) {
        if (m_cancel.load() != 0)
            return FailCancelled();
        if (!PatchPak(pak))
            return false;
    }
    return true;
}

void CUpdateThread::PostOverallProgress(HWND window) {
    PostToWindow(window, WM_PATCH_OVERALL_PROGRESS, Percent(m_doneRecords, m_totalRecords));
}
