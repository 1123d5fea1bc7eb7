#include "reliability_support.h"

#include "pak/pak_manager.h"
#include "patch/progress.h"
#include "patch/update_thread.h"
#include "platform/message_window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <stdexcept>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace rel {
namespace {

namespace fs = std::filesystem;

constexpr u64 kHour = 36000000000ULL;         // in FILETIME ticks
constexpr u64 kStamp = 132000000000000000ULL; // 2019

void Require(bool condition, const std::string& what) {
    if (!condition)
        throw std::runtime_error(what);
}

fs::path Native(const std::string& path) {
    return fs::path(e2e::NativePath(path));
}

void CopyModeAndTimes(const fs::path& from, const fs::path& to) {
    struct stat st;
    Require(stat(from.c_str(), &st) == 0, "cannot read " + from.string());
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    Require(chmod(to.c_str(), st.st_mode & 07777) == 0 &&
                utimensat(AT_FDCWD, to.c_str(), times, 0) == 0,
            "cannot copy the mode and times of " + from.string());
}

bool IsLeftoverName(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(), ::tolower);
    auto endsWith = [&](const char* suffix) {
        const size_t n = std::strlen(suffix);
        return name.size() >= n && name.compare(name.size() - n, n, suffix) == 0;
    };
    return endsWith(".tmp") || endsWith(".bak");
}

bool ReadFull(int fd, void* buffer, size_t size) {
    char* bytes = static_cast<char*>(buffer);
    for (size_t done = 0; done < size;) {
        const ssize_t n = read(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

void WriteFull(int fd, const void* buffer, size_t size) {
    const char* bytes = static_cast<const char*>(buffer);
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(fd, bytes + done, size - done);
        if (n <= 0 && errno != EINTR)
            return;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
}

// What the child does: the job, then its result and trace into the pipe.
// The job runs in a fork of this program, not through the runner of the
// test-support library: the fault is armed, and the calls traced, in this
// program's own platform layer.
[[noreturn]] void JobChild(int out, const std::string& game, const std::string& installer,
                           const Fault& fault, bool trace) {
    pi::fault::Trace(trace);
    if (fault.n != 0)
        pi::fault::Arm(fault.call, fault.n, fault.error, fault.forever);
    HWND window = pi::CreateMessageWindow();
    g_hMainDlg = window;
    bool result = false;
    {
        CUpdateThread job;
        job.SetModuleDir(game);
        job.SetInstallerPath(installer);
        if (job.Start()) {
            job.Wait();
            while (job.IsRunning())
                Sleep(1);
        }
        result = job.GetResult();
    }
    const std::vector<pi::fault::Call> calls = pi::fault::TracedCalls();
    const u32 count = static_cast<u32>(calls.size());
    const u8 ok = result ? 1 : 0;
    WriteFull(out, &ok, 1);
    WriteFull(out, &count, 4);
    WriteFull(out, calls.data(), calls.size() * sizeof(pi::fault::Call));
    _exit(0);
}

// The archives of the pristine game: the pak library is used in this
// process only to make them, never while a child runs.
bool g_pakLockReady = InitPakUpdateLock();

} // namespace

void CopyTree(const std::string& from, const std::string& to) {
    RemoveTree(to);
    const fs::path source = Native(from), target = Native(to);
    fs::create_directories(target);
    for (const auto& entry : fs::recursive_directory_iterator(source)) {
        const fs::path copy = target / entry.path().lexically_relative(source);
        if (entry.is_directory())
            fs::create_directory(copy);
        else
            fs::copy_file(entry.path(), copy);
        if (!entry.is_directory())
            CopyModeAndTimes(entry.path(), copy);
    }
}

std::string Difference(const Snapshot& expected, const Snapshot& actual) {
    std::string text;
    for (const auto& [name, entry] : expected) {
        auto found = actual.find(name);
        if (found == actual.end())
            text += "  missing: " + name + "\n";
        else if (!(found->second == entry))
            text += "  differs: " + name +
                    (found->second.bytes != entry.bytes   ? " (bytes)"
                     : found->second.stamp != entry.stamp ? " (time)"
                                                          : " (kind or read-only)") +
                    "\n";
    }
    for (const auto& [name, entry] : actual)
        if (expected.count(name) == 0)
            text += "  extra:   " + name + "\n";
    return text;
}

std::vector<std::string> Leftovers(const std::string& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::recursive_directory_iterator(Native(dir)))
        if (!entry.is_directory() && IsLeftoverName(entry.path().filename().string()))
            names.push_back(entry.path().string());
    return names;
}

bool ReadArchiveOrBackup(const std::string& archive, e2e::SubFiles* files) {
    static Scratch probes;
    static int count = 0;
    const std::string source = e2e::Exists(archive) ? archive : archive + ".bak";
    if (!e2e::Exists(source))
        return false;
    const std::string probe = probes / ("probe" + std::to_string(count++) + ".pak");
    fs::copy_file(Native(source), Native(probe));
    return e2e::ReadArchive(probe, files);
}

RepresentativePatch MakeRepresentativePatch(const Scratch& scratch) {
    Require(g_pakLockReady, "cannot create the pak update lock");
    RepresentativePatch patch;
    patch.pristine = scratch / "pristine";
    patch.installer = scratch / "bin\\setup.exe";
    const std::string& game = patch.pristine;
    e2e::MakeDirectory(game);
    e2e::PutFile(game + "\\readme.txt", "old text");
    e2e::MakeReadOnly(game + "\\readme.txt");
    const e2e::SubFiles a = {
        {"keep.txt", {"keep"}}, {"change.txt", {"old change"}}, {"same.txt", {"same"}}};
    const e2e::SubFiles same = {{"one.txt", {"one"}}, {"two.txt", {NoiseBytes(3000, 3)}}};
    e2e::MakeArchive(game + "\\data\\a.pak", a);
    e2e::MakeArchive(game + "\\data\\same.pak", same);
    patch.before = {{"data\\a.pak", a}, {"data\\same.pak", same}};

    e2e::PackageBuilder builder(scratch / "src");
    builder.AddPak("data\\a.pak", kStamp + 1 * kHour);
    builder.AddSubFile("change.txt", {"new change", 3, 100, kStamp});
    builder.AddSubFile("new\\added.txt", {NoiseBytes(9000, 1)});
    builder.AddSubFile("same.txt", {"same"});
    builder.AddPak("data\\same.pak", kStamp + 2 * kHour);
    builder.AddSubFile("one.txt", {"one"});
    builder.AddSubFile("two.txt", {NoiseBytes(3000, 3)});
    builder.AddPak("新目录\\b.pak", kStamp + 3 * kHour);
    builder.AddSubFile("x.txt", {"x"});
    builder.AddSubFile("空.txt", {""});
    builder.AddLoose("readme.txt", "fresh text", kStamp + 4 * kHour);
    builder.AddLoose("深\\层\\说明.txt", NoiseBytes(20000, 2), kStamp + 5 * kHour);
    builder.AddLoose("empty.bin", "", kStamp + 6 * kHour);
    builder.Write(patch.installer);
    return patch;
}

JobOutcome RunJobInChild(const std::string& game, const std::string& installer, const Fault& fault,
                         bool trace) {
    int pipeFds[2];
    Require(pipe2(pipeFds, O_CLOEXEC) == 0, "pipe");
    const pid_t child = fork();
    Require(child >= 0, "fork");
    if (child == 0) {
        close(pipeFds[0]);
        JobChild(pipeFds[1], game, installer, fault, trace);
    }
    close(pipeFds[1]);
    JobOutcome outcome;
    u8 ok = 0;
    u32 count = 0;
    bool read = ReadFull(pipeFds[0], &ok, 1) && ReadFull(pipeFds[0], &count, 4);
    if (read) {
        outcome.calls.resize(count);
        read = ReadFull(pipeFds[0], outcome.calls.data(), count * sizeof(pi::fault::Call));
    }
    close(pipeFds[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.ran = read && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    outcome.result = ok != 0;
    return outcome;
}

int RunInstallerQuietly(const std::string& installer, const std::string& game,
                        const std::vector<std::string>& env) {
    return e2e::RunInstaller(installer, game, env).exitCode;
}

bool RunInstallerKilledAt(const std::string& installer, const std::string& game, unsigned n) {
    pitest::ChildProcess child;
    Require(child.Start(e2e::NativePath(installer), {e2e::NativePath(game)},
                        {"PI_PAUSE_AT=" + std::to_string(n)}),
            "cannot start " + e2e::NativePath(installer));
    if (!child.WaitUntilStopped())
        return false;
    child.Kill();
    child.Wait();
    return true;
}

Snapshot UninterruptedResult(const std::string& pristine, const std::string& installer) {
    Scratch scratch;
    const std::string game = scratch / "game";
    CopyTree(pristine, game);
    const int code = RunInstallerQuietly(installer, game, {});
    Require(code == 0, "the uninterrupted run failed with exit status " + std::to_string(code));
    return TakeSnapshot(game);
}

Baseline::Baseline() : patch(MakeRepresentativePatch(scratch)) {
    const std::string game = scratch / "clean";
    CopyTree(patch.pristine, game);
    JobOutcome clean = RunJobInChild(game, patch.installer, Fault(), true);
    Require(clean.ran && clean.result, "the uninterrupted run of the job failed");
    calls = clean.calls;
    expected = UninterruptedResult(patch.pristine, patch.installer);
    const Snapshot inProcess = TakeSnapshot(game);
    Require(inProcess == expected,
            "the job and the installer patch differently:\n" + Difference(expected, inProcess));
    for (const auto& archive : patch.before)
        Require(e2e::ReadArchive(game + "\\" + archive.first, &updated[archive.first]),
                "cannot read the patched " + archive.first);
}

const Baseline& GetBaseline() {
    static const Baseline baseline;
    return baseline;
}

void ExpectNothingLost(const Baseline& base, const std::string& game) {
    for (const auto& [archive, before] : base.patch.before) {
        e2e::SubFiles now;
        ASSERT_TRUE(ReadArchiveOrBackup(game + "\\" + archive, &now)) << archive;
        const e2e::SubFiles& after = base.updated.at(archive);
        for (const auto& [name, file] : before) {
            ASSERT_EQ(1u, now.count(name)) << archive << ": " << name << " is lost";
            const std::string& bytes = now.at(name).bytes;
            EXPECT_TRUE(bytes == file.bytes || bytes == after.at(name).bytes)
                << archive << ": " << name << " holds neither its old nor its new bytes";
        }
    }
}

Snapshot WithoutLeftovers(Snapshot snapshot) {
    for (auto it = snapshot.begin(); it != snapshot.end();)
        it = IsLeftoverName(it->first) ? snapshot.erase(it) : std::next(it);
    return snapshot;
}

std::string NoiseBytes(size_t size, unsigned seed) {
    std::string bytes(size, '\0');
    u64 state = 0x9E3779B97F4A7C15ULL * (seed + 1);
    for (size_t i = 0; i < size; ++i) {
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        bytes[i] = static_cast<char>((state * 0x2545F4914F6CDD1DULL) >> 56);
    }
    return bytes;
}

} // namespace rel
