// The end-to-end support on Windows (under wine): orvc.exe by the path wine
// shows for the build tree, names kept in the ANSI code page, and scratch
// directories in the temporary directory.
#include "e2e_platform.h"
#include "e2e_support.h"

#include <algorithm>

namespace fs = std::filesystem;

namespace e2e {

fs::path FsPath(const std::string& path) {
    int length = MultiByteToWideChar(CP_ACP, 0, path.data(), (int)path.size(), nullptr, 0);
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.data(), (int)path.size(), wide.data(), length);
    return fs::path(wide);
}

std::string ScratchPrefix() {
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    return std::string(temp) + "orv-e2e-" + std::to_string(GetCurrentProcessId()) + "-";
}

namespace {

// The build tree's Unix path, as wine shows it.
std::string WinePath(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

} // namespace

std::string StubPath() {
    return WinePath(ORVC_BINARY);
}

#ifdef MKPATCH_BINARY
std::string MkpatchPath() {
    return WinePath(MKPATCH_BINARY);
}
#endif

#ifdef PAKTOOL_BINARY
std::string PaktoolPath() {
    return WinePath(PAKTOOL_BINARY);
}
#endif

std::string Shown(const std::string& acp) {
    return acp;
}

std::string NativePath(const std::string& path) {
    return path;
}

std::string ToolPath(const std::string& path) {
    return ToolText(path);
}

std::string ShownAsUtf8(const std::string& shown) {
    return ToolText(shown);
}

void MakeExecutable(const std::string&) {}

} // namespace e2e
