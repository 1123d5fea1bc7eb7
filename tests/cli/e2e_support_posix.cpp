// The end-to-end support on Linux: the programs under test by their build
// paths, names as the file system spells them (UTF-8, '/'), scratch
// directories on a memory file system, and the executable bit.
#include "e2e_platform.h"
#include "e2e_support.h"

#include "platform/codepage.h"

#include <algorithm>
#include <unistd.h>

namespace fs = std::filesystem;

namespace e2e {

fs::path FsPath(const std::string& path) {
    return fs::path(NativePath(path));
}

// Lower case throughout: the pak library lower-cases archive paths. A memory
// file system when there is one: the reliability sweeps run the installer
// thousands of times, and test the layer's model of durability, not the
// disk's.
std::string ScratchPrefix() {
    const std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/";
    return base + "orv-e2e-" + std::to_string(getpid()) + "-";
}

std::string StubPath() {
    return ORV_BINARY;
}

std::string MkpatchPath() {
    return MKPATCH_BINARY;
}

#ifdef PAKTOOL_BINARY
std::string PaktoolPath() {
    return PAKTOOL_BINARY;
}
#endif

std::string Shown(const std::string& acp) {
    return pi::AcpToUtf8Lossy(acp);
}

std::string NativePath(const std::string& path) {
    std::string utf8 = pi::AcpToUtf8Lossy(path);
    std::replace(utf8.begin(), utf8.end(), '\\', '/');
    return utf8;
}

std::string ToolPath(const std::string& path) {
    return NativePath(path);
}

std::string ShownAsUtf8(const std::string& shown) {
    return shown;
}

void MakeExecutable(const std::string& path) {
    fs::permissions(FsPath(path),
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
}

} // namespace e2e
