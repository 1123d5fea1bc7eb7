#include "patch/progress.h"
#include "patch/report.h"
#include "patch/update_thread.h"
#include "runtime/file_ops.h"

#include <string>

// Written in place from the package: no comparison, no backup. The cancel
// flag is not looked at while a file is being copied.
bool CUpdateThread::PatchLooseFile(const PatchFileRecord& record) {
    const HWND window = g_hMainDlg;
    AnnounceItem(window, record.name);
    const char* fullPath = MakeGamePath(record.name);
    if (!fullPath) {
        return Fail(
            FormatText("cannot write %s: its path in the game directory is too long", record.name));
    }
    const std::string path = fullPath;
    CreateParentDirectories(path.c_str(), 0);
    return CopyLooseFile(record, path.c_str());
}

// A target that fails during the copy is left cut short; the job fails.
// The record's time goes on through the same handle, and then the file is
// flushed: only a file whose bytes and time are on the disk counts as done.
// (A time that cannot be set is ignored, as it always was.)
bool CUpdateThread::CopyLooseFile(const PatchFileRecord& record, const char* path) {
    FileStream target;
    if (!target.Open(path, OpenCreate)) {
        const DWORD error = GetLastError();
        return Fail(FormatText("cannot create %s: %s", record.name,
                               DescribeFileError(error, path).c_str()));
    }
    // An empty record may point at the very end of the package, where a seek
    // reports the end; nothing is read then.
    if (!m_payload->Seek(static_cast<i32>(m_dataBase + record.dataOffset)) &&
        record.dataSize != 0) {
        const DWORD error = GetLastError();
        return Fail(FormatText("cannot read the data of %s from the unpacked patch: %s",
                               record.name, DescribeSystemError(error).c_str()));
    }
    if (CopyStream(target, *m_payload, record.dataSize, PostItemProgress)) {
        target.SetWriteTime(&record.stamp);
        if (target.Flush())
            return true;
        const DWORD error = GetLastError();
        return Fail(
            FormatText("cannot write %s: %s", record.name, DescribeFileError(error, path).c_str()));
    }
    const DWORD error = GetLastError();
    if (target.status != StreamOk && target.status != StreamEnd) {
        return Fail(
            FormatText("cannot write %s: %s", record.name, DescribeFileError(error, path).c_str()));
    }
    return Fail(FormatText("cannot read the data of %s from the unpacked patch: %s", record.name,
                           m_payload->status == StreamEnd ? "the file ends early"
                                                          : DescribeSystemError(error).c_str()));
}
