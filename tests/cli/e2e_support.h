// Support for the end-to-end tests: real installers are built (with the
// package writer, or byte by byte when they are meant to be damaged), run as
// child processes on a scratch game directory, and the directory is compared
// before and after. The same helpers serve Linux (orv) and Windows (orvc.exe
// under wine); what differs between them is in e2e_support_posix.cpp and
// e2e_support_windows.cpp.
//
// Paths are in the system code page with '\' as separator, as the installer
// itself spells them.
#pragma once

#include "child_process.h"
#include "patch/package.h"
#include "patch/package_writer.h"
#include "platform/win32.h"
#include "runtime/types.h"

#include <map>
#include <string>
#include <vector>

namespace e2e {

// The installer stub under test: orv on Linux, orvc.exe on Windows.
std::string StubPath();
// The tools, in the programs built with MKPATCH_BINARY, PAKTOOL_BINARY.
std::string MkpatchPath();
std::string PaktoolPath();

// What the installer prints, as a pipe receives it: UTF-8 on Linux (children
// run in the C locale), the ANSI code page on Windows.
std::string Shown(const std::string& acp);
// What the tools (mkpatch, paktool) print, UTF-8 on both systems: a name in
// the system code page as it is spelt (ToolText), a path as the tools were
// given it (ToolPath: NativePath's separators), a name relative to a tree
// with '/' between directories (TreeName: also a Snapshot's keys), and
// what the installer printed (ShownAsUtf8).
std::string ToolText(const std::string& acp);
std::string ToolPath(const std::string& path);
std::string TreeName(const std::string& acp);
std::string ShownAsUtf8(const std::string& shown);
extern const char kUpdated[];
extern const char kFailed[];
extern const char kCancelled[];

// A fresh, lower-case directory removed with its contents at the end.
class Scratch {
  public:
    Scratch();
    ~Scratch();
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;
    const std::string& path() const { return m_path; }
    std::string operator/(const std::string& name) const { return m_path + "\\" + name; }

  private:
    std::string m_path;
};

// Removes a tree, read-only entries included.
void RemoveTree(const std::string& path);

// Files by their system code page paths; parent directories are created.
void PutFile(const std::string& path, const std::string& bytes);
std::string FileBytes(const std::string& path); // "<missing>" when absent
bool Exists(const std::string& path);
void MakeDirectory(const std::string& path);
void MakeReadOnly(const std::string& path);
u64 WriteStamp(const std::string& path); // 0 when it cannot be read
void SetWriteStamp(const std::string& path, u64 stamp);
// Names of entries directly in `dir` that start with `prefix` and end with
// `suffix` (letter case ignored).
std::vector<std::string> FindNames(const std::string& dir, const std::string& prefix,
                                   const std::string& suffix);
// The name as the Linux file system spells it (UTF-8, '/').
std::string NativePath(const std::string& path);

// Every file and directory under a directory, by TreeName: names, bytes,
// write times and read-only state; directories by name only (their times change with the
// installer's temporary file).
struct SnapshotEntry {
    bool directory = false;
    std::string bytes;
    u64 stamp = 0;
    bool readOnly = false;
    bool operator==(const SnapshotEntry& o) const {
        return directory == o.directory && bytes == o.bytes && stamp == o.stamp &&
               readOnly == o.readOnly;
    }
};
typedef std::map<std::string, SnapshotEntry> Snapshot;
Snapshot TakeSnapshot(const std::string& dir);

// Pak archives, through the pak library.
struct SubFile {
    std::string bytes;
    u32 method = 0;
    u32 originalSize = 0; // 0: the size of bytes
    u64 stamp = 0;
};
typedef std::map<std::string, SubFile> SubFiles;
// An archive at `path` holding exactly `files`, whatever stood there before.
void MakeArchive(const std::string& path, const SubFiles& files);
// False when the archive cannot be opened, is damaged, or a sub-file does not
// match its digest.
bool ReadArchive(const std::string& path, SubFiles* files);
// Damage on purpose: sets the u32 at `offset` of the archive's header, or of
// its deciphered index (which is then enciphered again).
void SetArchiveWord(const std::string& path, bool inIndex, u32 offset, u32 value);

// Installers through the package writer: records whose bytes live in files
// under `sourceDir`.
class PackageBuilder {
  public:
    explicit PackageBuilder(const std::string& sourceDir) : m_dir(sourceDir) {}
    void AddLoose(const std::string& name, const std::string& bytes, u64 stamp);
    void AddPak(const std::string& name, u64 stamp);
    void AddSubFile(const std::string& name, const SubFile& file); // to the last pak
    void Write(const std::string& installer) const;

  private:
    PackageFile Describe(const std::string& name, const std::string& bytes, u64 stamp);
    std::string m_dir;
    int m_next = 0;
    PackageContents m_contents;
};

// Installers byte by byte, for damaged ones: the records are laid out as the
// package writer does, then may be spoilt before they are serialised.
struct RawPackage {
    std::vector<PatchPakRecord> paks;
    std::vector<PatchFileRecord> files;
    std::string data;

    void AddLoose(const std::string& name, const std::string& bytes, u64 stamp = 0);
    void AddPak(const std::string& name, u64 stamp = 0);
    void AddSubFile(const std::string& name, const std::string& bytes, u32 method = 0);
    std::string Serialize() const;
};
std::string Deflate(const std::string& bytes);
// The stub, the compressed payload and a trailer holding `payloadStart`
// (0xFFFFFFFF: the real one).
void WriteRawInstaller(const std::string& installer, const std::string& compressed,
                       u32 payloadStart = 0xFFFFFFFF);
void MakeExecutable(const std::string& path);
std::string RecordName(const char* text); // a 260-byte name field's text

// Programs run through the runner of the test-support library.
using pitest::ChildProcess;
using pitest::RunProgram;
using pitest::RunResult;

// The installer run on `gameDir` as the player would: exe and directory.
RunResult RunInstaller(const std::string& installer, const std::string& gameDir,
                       const std::vector<std::string>& env = {});

} // namespace e2e
