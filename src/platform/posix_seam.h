// What the files of the Linux stand-in for Win32 share among themselves:
// the errno table, name conversion, the fault gate and the handle table.
// Nothing outside src/platform includes this.
#pragma once

#ifndef _WIN32

#include "platform/fault.h"
#include "platform/win32.h"

#include <cstdint>
#include <memory>
#include <string>
#include <sys/stat.h>

namespace pi::posix {

// The one errno -> Win32 error table.
DWORD ErrorFromErrno(int error);
// Sets the last error from errno; ENOENT becomes ERROR_PATH_NOT_FOUND when
// the directory that should hold `path` (a file system name) is missing.
void SetErrorFromErrno(int error, const std::string& path);
inline void SetErrorFromErrno(int error) {
    SetErrorFromErrno(error, std::string());
}
// Sets `error` and returns `result`, for one-line failure exits.
template <typename T> T ReturnError(DWORD error, T result) {
    SetLastError(error);
    return result;
}

// What a name is given for: any call, CreateFileA (which opens a device
// that the name names), or FindFirstFileA (wildcards in the last component).
enum class NameUse { File, Open, Pattern };
// A code page 936 path as the file system spells it: UTF-8 with '/' as the
// only separator, after the rules Windows applies to names (see
// ApplyWindowsNameRules). False, with the error Windows gives, for a name that
// is not valid GBK or that Windows refuses; a null or empty name gives
// ERROR_PATH_NOT_FOUND.
bool ToSystemPath(LPCSTR path, std::string* out, NameUse use = NameUse::File);
// The rules alone, on a UTF-8 name with '/' separators. A name of the NUL
// device becomes kNullDevice.
bool ApplyWindowsNameRules(std::string* path, NameUse use);
constexpr char kNullDevice[] = "/dev/null";
// The directory that holds the last component of a file system name.
std::string ParentDirectory(const std::string& path);
// A file system name back in code page 936; false with ERROR_INVALID_NAME
// when it has no GBK spelling.
bool FromSystemPath(const std::string& path, std::string* out);

#ifdef PI_TEST_HOOKS

// True when an armed fault makes this call fail; the error is then set.
bool FaultFires(fault::Call call);
// The free space PI_FREE_SPACE forces, if it is set.
bool ForcedFreeSpace(uint64_t* bytes);

// The power-cut model (powercut.cpp), on only in a process started with
// PI_POWERCUT_AT and PI_POWERCUT_DIR. Each call that changes the watched tree
// tells the model first, and each sync tells it afterwards; every Note is
// a no-op while the model is off. Paths are file system names.
bool StartPowerCutModel(const char* watchedDirectory); // false: not started
bool PowerCutModelOn();
// The contents, size, times or mode of a file are about to change.
void NoteFileChanging(int fd);
void NoteFileChanging(const std::string& path);
// An entry is about to appear, vanish or be replaced at `path`.
void NoteEntryChanging(const std::string& path);
// `path` has just been created: a file that is durable as an empty one once
// its directory is, or an empty directory.
void NoteCreated(const std::string& path, bool directory);
void NoteFileSynced(int fd);
void NoteDirectorySynced(const std::string& directory);
// Throws away every change not made durable; the caller ends the process.
void CutPower();

#else

// The product variant has no hooks. The gates stay at their call sites as
// constants that fold away; always_inline keeps even an unoptimised build
// from emitting a copy of them.
#define PI_NO_HOOK inline __attribute__((always_inline))
PI_NO_HOOK bool FaultFires(fault::Call) {
    return false;
}
PI_NO_HOOK bool ForcedFreeSpace(uint64_t*) {
    return false;
}
PI_NO_HOOK bool PowerCutModelOn() {
    return false;
}
PI_NO_HOOK void NoteFileChanging(int) {}
PI_NO_HOOK void NoteFileChanging(const std::string&) {}
PI_NO_HOOK void NoteEntryChanging(const std::string&) {}
PI_NO_HOOK void NoteCreated(const std::string&, bool) {}
PI_NO_HOOK void NoteFileSynced(int) {}
PI_NO_HOOK void NoteDirectorySynced(const std::string&) {}
#undef PI_NO_HOOK

#endif // PI_TEST_HOOKS

// The hidden and system attributes, which have no mode bits, are kept in an
// extended attribute of the file. None, or none readable, is 0.
constexpr DWORD kExtraAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM;
DWORD ExtraAttributesOf(int fd);
// False (last error set) when the file system keeps no extended attributes;
// clearing them always succeeds there.
bool SetExtraAttributesOf(int fd, DWORD attributes);
// The attributes Windows reports for a file of `st` with `extra` set.
DWORD FileAttributesOf(const struct stat& st, DWORD extra);

// Share modes are kept as open-file-description read locks on marker bytes
// far beyond any real data, so that every process that opens the file through
// this layer sees them, and they vanish with the descriptor.
enum class ShareMarker { Open, HasRead, HasWrite, DeniesRead, DeniesWrite, DeniesDelete };
// Whether an open other than the one of `fd` holds `marker`.
bool MarkerHeldByOthers(int fd, ShareMarker marker);
// The same for the regular file named `path`; false when it cannot be opened.
bool MarkerHeld(const std::string& path, ShareMarker marker);

// Kernel objects behind HANDLE values. A HANDLE is a number the table gives
// out (one object may have several); the table keeps the objects that have
// an open handle, so a stale or foreign value is refused with
// ERROR_INVALID_HANDLE instead of being dereferenced.
enum class ObjectKind { File, Thread, Find };

struct KernelObject {
    explicit KernelObject(ObjectKind k) : kind(k) {}
    virtual ~KernelObject() = default;
    const ObjectKind kind;
};

HANDLE OpenHandle(std::shared_ptr<KernelObject> object);
// The object behind `handle` if it is of `kind`; null with ERROR_INVALID_HANDLE.
std::shared_ptr<KernelObject> FindObject(HANDLE handle, ObjectKind kind);
std::shared_ptr<KernelObject> FindAnyObject(HANDLE handle);
// Removes the handle; false with ERROR_INVALID_HANDLE when it is not open.
bool CloseObjectHandle(HANDLE handle);

} // namespace pi::posix

#endif // !_WIN32
