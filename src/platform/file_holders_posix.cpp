// Which programs hold a file, from the open files under /proc (all of them
// for root; a user sees only their own programs).
#include "platform/file_holders.h"

#include "platform/posix_seam.h"

#include <dirent.h>
#include <fstream>
#include <sys/stat.h>
#include <unistd.h>

namespace pi {
namespace {

bool HoldsFile(const std::string& process, const struct stat& file) {
    const std::string fds = "/proc/" + process + "/fd";
    DIR* dir = opendir(fds.c_str());
    if (dir == nullptr)
        return false;
    bool holds = false;
    while (const dirent* entry = readdir(dir)) {
        struct stat st;
        if (entry->d_name[0] != '.' && stat((fds + "/" + entry->d_name).c_str(), &st) == 0 &&
            st.st_dev == file.st_dev && st.st_ino == file.st_ino) {
            holds = true;
            break;
        }
    }
    closedir(dir);
    return holds;
}

std::string ProgramName(const std::string& process) {
    std::ifstream in("/proc/" + process + "/comm");
    std::string name;
    std::getline(in, name);
    return name.empty() ? "a program" : name;
}

} // namespace

std::string NameFileHolders(const char* path) {
    std::string name;
    struct stat file;
    if (path == nullptr || !posix::ToSystemPath(path, &name) || stat(name.c_str(), &file) != 0)
        return std::string();
    const std::string self = std::to_string(getpid());
    std::string names;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return std::string();
    while (const dirent* entry = readdir(proc)) {
        const std::string process = entry->d_name;
        if (process.find_first_not_of("0123456789") != std::string::npos || process == self ||
            !HoldsFile(process, file))
            continue;
        if (!names.empty())
            names += ", ";
        names += ProgramName(process) + " (process " + process + ")";
    }
    closedir(proc);
    return names;
}

} // namespace pi
