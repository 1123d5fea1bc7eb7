// The power-cut model of the Linux platform layer (PI_POWERCUT_AT): what a
// disk still holds when the power fails at a given call.
//
// Its rules are what Win32 promises, not what this layer does beyond that.
// A file's contents, size, times and mode are durable once FlushFileBuffers,
// or a write on a write-through handle, has made them so. A directory entry
// (a creation, a deletion, a move) is durable once its directory has been
// synced: a write-through move syncs the directories it touches,
// FlushFileBuffers the directory that holds the file, CreateDirectory the
// parent of the new directory. (This layer's write-through move also syncs
// the moved file; the model does not count that, since Windows writes only
// the names through.)
//
// The durable state is kept only where it differs from the present one.
// Before the first change to a file since it was last synced, the model
// copies its contents, times and mode; a file that only changes its name is
// kept by an open descriptor, which also stops its inode number from being
// reused. Before the first change to a directory since it was last synced,
// the model lists its entries (name -> file). The cut puts every listed
// directory back to those entries, with their durable contents, and every
// other changed file back to its durable contents.
#include "platform/posix_seam.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace pi::posix {
namespace {

struct FileKey {
    dev_t dev;
    ino_t ino;
    bool operator<(const FileKey& o) const { return dev != o.dev ? dev < o.dev : ino < o.ino; }
    bool operator==(const FileKey& o) const { return dev == o.dev && ino == o.ino; }
};

FileKey KeyOf(const struct stat& st) {
    return FileKey{st.st_dev, st.st_ino};
}

// A file as it was last made durable.
struct KeptFile {
    int fd = -1;           // holds the file while it may have no name
    bool unchanged = true; // its durable contents are what it holds now
    std::string bytes;
    mode_t mode = 0;
    struct timespec mtime = {};
    std::string path; // where it was when first kept
};

struct KeptEntry {
    FileKey key;
    bool directory;
};
typedef std::map<std::string, KeptEntry> Entries;

struct Model {
    std::mutex mutex;
    std::atomic<bool> on{false};
    bool cut = false;
    std::string root;
    std::map<FileKey, KeptFile> files;
    // By canonical name; a parent sorts before its children.
    std::map<std::string, Entries> directories;
};

Model& TheModel() {
    static Model* model = new Model; // used by the cut at exit
    return *model;
}

std::string ParentOf(const std::string& canonical) {
    size_t slash = canonical.rfind('/');
    return slash == 0 ? "/" : canonical.substr(0, slash);
}

// The real name of the directory, then the last component as given.
bool Canonical(const std::string& path, std::string* out) {
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return false;
        absolute = std::string(cwd) + "/" + path;
    }
    while (absolute.size() > 1 && absolute.back() == '/')
        absolute.pop_back();
    std::string name = absolute.substr(absolute.rfind('/') + 1);
    char real[PATH_MAX];
    if (name == "." || name == "..")
        return realpath(absolute.c_str(), real) != nullptr && (*out = real, true);
    if (realpath(ParentOf(absolute).c_str(), real) == nullptr)
        return false;
    *out = std::string(real) == "/" ? "/" + name : std::string(real) + "/" + name;
    return true;
}

bool Inside(const Model& model, const std::string& canonical) {
    const std::string& root = model.root;
    return canonical == root ||
           (canonical.size() > root.size() && canonical.compare(0, root.size(), root) == 0 &&
            canonical[root.size()] == '/');
}

// False for a descriptor whose file has no name any more.
bool NameOfDescriptor(int fd, std::string* out) {
    char target[PATH_MAX];
    ssize_t n =
        readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), target, sizeof target - 1);
    if (n <= 0)
        return false;
    *out = std::string(target, static_cast<size_t>(n));
    const std::string deleted = " (deleted)";
    return out->size() < deleted.size() ||
           out->compare(out->size() - deleted.size(), deleted.size(), deleted) != 0;
}

bool ReadAll(int fd, std::string* bytes) {
    bytes->clear();
    char buffer[65536];
    for (off_t at = 0;;) {
        ssize_t n = pread(fd, buffer, sizeof buffer, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return n == 0;
        bytes->append(buffer, static_cast<size_t>(n));
        at += n;
    }
}

// What the kept file's descriptor holds now becomes its durable copy.
void Capture(KeptFile* kept) {
    struct stat st;
    if (fstat(kept->fd, &st) == 0) {
        kept->mode = st.st_mode & 07777;
        kept->mtime = st.st_mtim;
    }
    ReadAll(kept->fd, &kept->bytes);
    kept->unchanged = false;
}

// The record of a file, made when missing. A new descriptor is opened, not a
// duplicate: a duplicate would share the handle's share locks and keep them
// after CloseHandle.
KeptFile* Keep(Model& model, const FileKey& key, int handleFd, const std::string& path) {
    auto found = model.files.find(key);
    if (found != model.files.end())
        return &found->second;
    std::string name = handleFd >= 0 ? "/proc/self/fd/" + std::to_string(handleFd) : path;
    int fd =
        open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | (handleFd >= 0 ? 0 : O_NOFOLLOW));
    if (fd < 0)
        return nullptr;
    KeptFile& kept = model.files[key];
    kept.fd = fd;
    kept.path = path;
    return &kept;
}

bool ListEntries(const std::string& dir, Entries* entries) {
    DIR* stream = opendir(dir.c_str());
    if (stream == nullptr)
        return false;
    while (const dirent* entry = readdir(stream)) {
        std::string name = entry->d_name;
        struct stat st;
        if (name == "." || name == ".." || lstat((dir + "/" + name).c_str(), &st) != 0)
            continue;
        (*entries)[name] = KeptEntry{KeyOf(st), S_ISDIR(st.st_mode)};
    }
    closedir(stream);
    return true;
}

void KeepDirectory(Model& model, const std::string& dir) {
    if (model.directories.count(dir) != 0)
        return;
    Entries entries;
    if (ListEntries(dir, &entries))
        model.directories[dir] = std::move(entries);
}

// Whether a kept directory lists the file under a name that now holds
// something else: then only the record can put it back.
bool NamedElsewhere(const Model& model, const FileKey& key) {
    for (const auto& [dir, entries] : model.directories)
        for (const auto& [name, entry] : entries) {
            struct stat st;
            if (!entry.directory && entry.key == key &&
                (lstat((dir + "/" + name).c_str(), &st) != 0 || !(KeyOf(st) == key)))
                return true;
        }
    return false;
}

void RemoveTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return;
    if (!S_ISDIR(st.st_mode)) {
        unlink(path.c_str());
        return;
    }
    Entries entries;
    ListEntries(path, &entries);
    for (const auto& entry : entries)
        RemoveTree(path + "/" + entry.first);
    rmdir(path.c_str());
}

bool WriteAll(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Puts the kept file's durable contents, times and mode at `path`: into the
// same file when it is still there, else into a new one.
void WriteDurable(const std::string& path, const KeptFile& kept, const FileKey& key) {
    struct stat st;
    bool same = lstat(path.c_str(), &st) == 0 && KeyOf(st) == key;
    if (same && kept.unchanged)
        return;
    std::string bytes = kept.bytes;
    mode_t mode = kept.mode;
    struct timespec mtime = kept.mtime;
    if (kept.unchanged && fstat(kept.fd, &st) == 0 && ReadAll(kept.fd, &bytes)) {
        mode = st.st_mode & 07777;
        mtime = st.st_mtim;
    }
    if (!same)
        unlink(path.c_str());
    chmod(path.c_str(), S_IRUSR | S_IWUSR);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0 || !WriteAll(fd, bytes))
        fprintf(stderr, "power cut: cannot restore %s\n", path.c_str());
    if (fd < 0)
        return;
    const struct timespec times[2] = {{0, UTIME_OMIT}, mtime};
    fchmod(fd, mode);
    futimens(fd, times);
    close(fd);
}

void RestoreDirectory(const Model& model, const std::string& dir, const Entries& durable,
                      std::set<FileKey>* placed) {
    struct stat st;
    // Gone with a parent that never held it durably.
    if (stat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return;
    Entries now;
    ListEntries(dir, &now);
    for (const auto& [name, entry] : now) {
        auto wanted = durable.find(name);
        bool same = wanted != durable.end() && wanted->second.directory == entry.directory &&
                    (entry.directory || wanted->second.key == entry.key);
        if (!same)
            RemoveTree(dir + "/" + name);
    }
    for (const auto& [name, entry] : durable) {
        const std::string path = dir + "/" + name;
        if (entry.directory) {
            mkdir(path.c_str(), 0777);
            continue;
        }
        auto kept = model.files.find(entry.key);
        if (kept != model.files.end()) {
            WriteDurable(path, kept->second, entry.key);
            placed->insert(entry.key);
        } else if (lstat(path.c_str(), &st) != 0) {
            fprintf(stderr, "power cut: nothing kept for %s\n", path.c_str());
        }
    }
}

void CutAtExit() {
    CutPower();
}

} // namespace

bool StartPowerCutModel(const char* watchedDirectory) {
    char real[PATH_MAX];
    struct stat st;
    if (watchedDirectory == nullptr || realpath(watchedDirectory, real) == nullptr ||
        stat(real, &st) != 0 || !S_ISDIR(st.st_mode)) {
        fprintf(stderr, "PI_POWERCUT_AT ignored: PI_POWERCUT_DIR names no directory\n");
        return false;
    }
    Model& model = TheModel();
    std::lock_guard<std::mutex> lock(model.mutex);
    model.root = real;
    model.on = true;
    atexit(CutAtExit);
    return true;
}

bool PowerCutModelOn() {
    return TheModel().on.load();
}

void NoteFileChanging(int fd) {
    Model& model = TheModel();
    struct stat st;
    if (!model.on.load() || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return;
    std::string name;
    bool named = NameOfDescriptor(fd, &name);
    std::lock_guard<std::mutex> lock(model.mutex);
    KeptFile* kept = nullptr;
    if (model.files.count(KeyOf(st)) != 0 || (named && Inside(model, name)))
        kept = Keep(model, KeyOf(st), fd, name);
    if (kept != nullptr && kept->unchanged)
        Capture(kept);
}

void NoteFileChanging(const std::string& path) {
    Model& model = TheModel();
    std::string canonical;
    struct stat st;
    if (!model.on.load() || !Canonical(path, &canonical) || lstat(canonical.c_str(), &st) != 0 ||
        !S_ISREG(st.st_mode))
        return;
    std::lock_guard<std::mutex> lock(model.mutex);
    if (!Inside(model, canonical) && model.files.count(KeyOf(st)) == 0)
        return;
    KeptFile* kept = Keep(model, KeyOf(st), -1, canonical);
    if (kept != nullptr && kept->unchanged)
        Capture(kept);
}

void NoteEntryChanging(const std::string& path) {
    Model& model = TheModel();
    std::string canonical;
    if (!model.on.load() || !Canonical(path, &canonical))
        return;
    std::lock_guard<std::mutex> lock(model.mutex);
    if (!Inside(model, canonical) || canonical == model.root)
        return;
    KeepDirectory(model, ParentOf(canonical));
    struct stat st;
    if (lstat(canonical.c_str(), &st) == 0 && S_ISREG(st.st_mode))
        Keep(model, KeyOf(st), -1, canonical);
}

void NoteCreated(const std::string& path, bool directory) {
    Model& model = TheModel();
    std::string canonical;
    struct stat st;
    if (!model.on.load() || !Canonical(path, &canonical) || lstat(canonical.c_str(), &st) != 0)
        return;
    std::lock_guard<std::mutex> lock(model.mutex);
    if (!Inside(model, canonical))
        return;
    if (directory) {
        model.directories[canonical] = Entries();
        return;
    }
    KeptFile* kept = Keep(model, KeyOf(st), -1, canonical);
    if (kept == nullptr)
        return;
    kept->unchanged = false;
    kept->bytes.clear();
    kept->mode = st.st_mode & 07777;
    kept->mtime = st.st_mtim;
}

void NoteFileSynced(int fd) {
    Model& model = TheModel();
    struct stat st;
    if (!model.on.load() || fstat(fd, &st) != 0)
        return;
    std::lock_guard<std::mutex> lock(model.mutex);
    auto found = model.files.find(KeyOf(st));
    if (found == model.files.end())
        return;
    KeptFile& kept = found->second;
    kept.unchanged = true;
    std::string().swap(kept.bytes);
    if (st.st_nlink > 0 && !NamedElsewhere(model, found->first)) {
        close(kept.fd);
        model.files.erase(found);
    }
}

void NoteDirectorySynced(const std::string& directory) {
    Model& model = TheModel();
    char real[PATH_MAX];
    if (!model.on.load() || realpath(directory.c_str(), real) == nullptr)
        return;
    std::lock_guard<std::mutex> lock(model.mutex);
    model.directories.erase(real);
}

void CutPower() {
    Model& model = TheModel();
    if (!model.on.load())
        return;
    std::lock_guard<std::mutex> lock(model.mutex);
    if (model.cut)
        return;
    model.cut = true;
    std::set<FileKey> placed;
    for (const auto& [dir, entries] : model.directories)
        RestoreDirectory(model, dir, entries, &placed);
    for (const auto& [key, kept] : model.files) {
        struct stat st;
        if (placed.count(key) == 0 && !kept.unchanged && lstat(kept.path.c_str(), &st) == 0 &&
            KeyOf(st) == key)
            WriteDurable(kept.path, kept, key);
    }
}

} // namespace pi::posix
