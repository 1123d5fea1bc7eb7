#include "patch/pak_patch.h"

#include "pak/pak_manager.h"
#include "patch/progress.h"
#include "patch/report.h"
#include "patch/sub_file_match.h"
#include "patch/update_thread.h"
#include "runtime/file_ops.h"
#include "runtime/memory.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

const char* DescribePakOpenError(i32 error) {
    switch (error) {
    case PakIndexDamaged:
        return "its index is damaged (the line above names the entry); it is left as it is, "
               "since a rewrite would drop every sub-file the damaged index no longer names";
    case PakMissing:
        return "it does not exist";
    case PakBadHeader:
        return "its header is damaged";
    case PakIoError:
        return "it cannot be read";
    default:
        return "it cannot be opened or created";
    }
}

void RemoveLeftoverBackup(const std::string& archivePath) {
    if (HasLeftoverPakBackup(archivePath))
        DeleteFileLogged((archivePath + ".bak").c_str());
}

} // namespace

PakUpdateItem MakeUpdateItem(const PatchFileRecord& record, Stream* payload, u32 dataBase) {
    PakUpdateItem item;
    std::memset(&item, 0, sizeof item);
    item.empty = record.dataSize == 0 ? 1 : 0;
    item.source = payload;
    item.sourceOffset = dataBase + record.dataOffset;
    item.size = record.dataSize;
    std::memcpy(item.storedMd5, record.storedMd5, sizeof item.storedMd5);
    std::memcpy(item.originalMd5, record.originalMd5, sizeof item.originalMd5);
    item.originalSize = record.originalSize;
    item.method = record.method;
    item.stampLow = record.stamp.dwLowDateTime;
    item.stampHigh = record.stamp.dwHighDateTime;
    std::memcpy(item.name, record.name, std::strlen(record.name) + 1);
    return item;
}

bool FindChangedRecords(PakArchive* archive, const PatchPakRecord& pak,
                        const std::vector<PatchFileRecord>& files, Stream* payload, u32 dataBase,
                        const std::atomic<u32>* cancel, std::vector<PakUpdateItem>* items) {
    for (u32 i = 0; i < pak.recordCount; ++i) {
        if (cancel && cancel->load() != 0)
            return false;
        const PatchFileRecord& record = files[pak.firstRecord + i];
        PakFileEntry* entry = g_pakManager.FindSubFile(archive, record.name);
        if (!entry ||
            !SameStoredSubFile(entry->storedMd5, entry->method, record.storedMd5, record.method))
            items->push_back(MakeUpdateItem(record, payload, dataBase));
        if (entry)
            g_pakManager.CloseSubFile(entry);
    }
    return true;
}

bool CUpdateThread::PatchPak(const PatchPakRecord& pak) {
    const HWND window = g_hMainDlg;
    AnnounceItem(window, pak.name);
    if (pak.recordCount == 0) {
        PostOverallProgress(window);
        return true; // neither opened nor created
    }
    char tempName[MAX_PATH];
    const int tempLength = std::snprintf(tempName, sizeof tempName, "%s.tmp", pak.name);
    const char* fullPath = MakeGamePath(pak.name);
    if (tempLength < 0 || static_cast<size_t>(tempLength) >= sizeof tempName || !fullPath) {
        return Fail(
            FormatText("cannot update %s: its path in the game directory is too long", pak.name));
    }
    const std::string path = fullPath;
    if (path.find('.') == std::string::npos)
        return Fail(FormatText("cannot update %s: it is not an archive name", pak.name));
    CreateParentDirectories(path.c_str(), 0);
    return RewritePak(pak, path.c_str(), tempName);
}

// The paths that end before Update release the archive here; Update releases
// it on all of its own.
bool CUpdateThread::RewritePak(const PatchPakRecord& pak, const char* path, const char* tempName) {
    const HWND window = g_hMainDlg;
    i32 error = PakOk;
    PakArchive* archive = g_pakManager.Open(path, PakReadWrite, false, &error);
    if (!archive) {
        // Without a code of its own the open failed in the system: say why.
        const DWORD systemError = GetLastError();
        const std::string why = error == PakOk && systemError != ERROR_SUCCESS
                                    ? FormatText("%s (%s)", DescribePakOpenError(error),
                                                 DescribeFileError(systemError, path).c_str())
                                    : DescribePakOpenError(error);
        return Fail(FormatText("cannot open the archive %s: %s", pak.name, why.c_str()));
    }
    if (error == PakOk)
        RemoveLeftoverBackup(path);
    std::vector<PakUpdateItem> items;
    if (!ResizeFromDisk(&items, pak.recordCount, kMaxManifestTableSize * 2, true)) {
        g_pakManager.Close(archive);
        return Fail(FormatText("not enough memory to compare the %u records of %s", pak.recordCount,
                               pak.name));
    }
    if (!FindChangedRecords(archive, pak, m_files, m_payload, m_dataBase, &m_cancel, &items)) {
        g_pakManager.Close(archive);
        return FailCancelled();
    }
    m_doneRecords += pak.recordCount;
    PostOverallProgress(window);
    if (m_cancel.load() != 0) {
        g_pakManager.Close(archive);
        return FailCancelled();
    }
    if (items.empty()) {
        g_pakManager.Close(archive);
        return true; // up to date: the archive keeps its bytes and its time
    }
    return CommitPakUpdate(archive, items, pak, path, tempName);
}

// The new archive takes the pak record's time before it is swapped in, so
// that no interruption can leave new contents under an old time.
bool CUpdateThread::CommitPakUpdate(PakArchive* archive, const std::vector<PakUpdateItem>& items,
                                    const PatchPakRecord& pak, const char* path,
                                    const char* tempName) {
    // Registered for this rewrite only: the job may be gone before the next.
    g_pakManager.SetEventHandler(this);
    const bool updated = g_pakManager.Update(archive, items.data(), static_cast<u32>(items.size()),
                                             m_workDir.c_str(), tempName, true, &pak.stamp);
    g_pakManager.SetEventHandler(nullptr);
    if (!updated) {
        // The swap fails when another program holds the archive: say which.
        return Fail(FormatText("cannot rewrite the archive %s: its new contents could not be "
                               "written, verified or put in place%s",
                               pak.name, DescribeFileHolders(path).c_str()));
    }
    return true;
}
