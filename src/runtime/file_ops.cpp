// Whole-file operations of the job and the pak library: delete, move and
// replace with logged refusals, last-write times and directory creation.
#include "runtime/file_ops.h"

#include "platform/codepage.h"
#include "runtime/log.h"
#include "runtime/stream.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

namespace {

// Writes one log line: the pieces in order, then the error code and "\n".
// The code is formatted before the log is reached, because building the log
// on its first use makes system calls of its own.
void LogFailure(DWORD error, std::initializer_list<const char*> pieces) {
    char code[16];
    snprintf(code, sizeof(code), "%d", static_cast<int>(error));
    iLog& log = GetLog();
    for (const char* piece : pieces)
        log.Write(piece);
    log.Write(code);
    log.Write("\n");
}

bool IsMissingOrDirectory(DWORD attributes) {
    return attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The attributes are read afresh: they may have changed since the caller
// looked, and a failed read must not be written back as a mask of all bits.
void ClearReadOnly(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) != 0)
        SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
}

// Every move here is written through: a backup put back, or a new archive
// put in place, must still be there after a power cut. MOVEFILE_COPY_ALLOWED
// keeps what MoveFileA allows.
const DWORD kDurableMove = MOVEFILE_WRITE_THROUGH;

bool MoveToFreeName(const char* from, const char* to) {
    if (MoveFileExA(from, to, MOVEFILE_COPY_ALLOWED | kDurableMove))
        return true;
    LogFailure(GetLastError(),
               {"目标文件不存在时：移动文件 ", from, " -> ", to, " 失败！errorCode: "});
    return false;
}

bool MoveOverExisting(const char* from, const char* to, const char* text) {
    if (MoveFileExA(from, to, MOVEFILE_REPLACE_EXISTING | kDurableMove))
        return true;
    LogFailure(GetLastError(), {text, from, " -> ", to, " 失败！errorCode: "});
    return false;
}

void CreateDirectoryIfMissing(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
        CreateDirectoryA(path, nullptr);
}

} // namespace

bool DeleteFileLogged(const char* path) {
    DWORD attributes = GetFileAttributesA(path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    SetFileAttributesA(path, attributes & ~FILE_ATTRIBUTE_READONLY);
    if (DeleteFileA(path))
        return true;
    LogFailure(GetLastError(), {"删除文件 ", path, "失败！ErrorCode: "});
    return false;
}

bool MoveFileLogged(const char* from, const char* to) {
    if (IsMissingOrDirectory(GetFileAttributesA(to)))
        return MoveToFreeName(from, to);
    ClearReadOnly(to);
    return MoveOverExisting(from, to, "目标文件存在时：移动文件 ");
}

bool ReplaceFileLogged(const char* from, const char* to, const char* backup) {
    if (IsMissingOrDirectory(GetFileAttributesA(to)))
        return MoveToFreeName(from, to);
    ClearReadOnly(to);
    if (!IsMissingOrDirectory(GetFileAttributesA(backup)))
        ClearReadOnly(backup);
    if (!MoveOverExisting(to, backup, "移动文件 "))
        return false;
    // On failure the old file stays under the backup name for the caller.
    if (!MoveOverExisting(from, to, "移动文件 "))
        return false;
    // Only now, with the new file durable under its name, may the old one go.
    DeleteFileLogged(backup);
    return true;
}

bool SetFileWriteTime(const char* path, const FILETIME* lastWrite) {
    RawFile file;
    if (file.Open(path, OpenWriteInPlace) != StreamOk)
        return false;
    SetFileTime(file.handle, nullptr, nullptr, lastWrite);
    file.Close();
    return true;
}

bool CreateParentDirectories(const char* path, u32 startOffset) {
    // A single leading '\' roots the path on the current drive: offsets count
    // from after it, but every prefix keeps it, or the directories would be
    // made under the working directory. Two begin a network name, whose
    // leading backslashes are never separators.
    size_t length = strlen(path);
    bool network = path[0] == '\\' && path[1] == '\\';
    size_t base = (path[0] == '\\' && !network) ? 1 : 0;
    if (startOffset > length - base)
        return true;
    size_t scan = base + startOffset;
    if (network && scan < 2)
        scan = 2;
    else if (path[scan] == '\\' && path[scan + 1] != '\\')
        ++scan;

    char prefix[MAX_PATH];
    for (; path[scan] != '\0'; ++scan) {
        if (pi::IsLeadByte(path[scan]) && path[scan + 1] != '\0') {
            ++scan;
            continue;
        }
        if (path[scan] != '\\' || scan <= base)
            continue;
        // Deeper prefixes are no shorter; they are skipped the same way.
        if (scan >= sizeof(prefix))
            continue;
        memcpy(prefix, path, scan);
        prefix[scan] = '\0';
        CreateDirectoryIfMissing(prefix);
    }
    return true;
}
