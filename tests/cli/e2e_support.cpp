#include "e2e_support.h"

#include "crypto/crypto.h"
#include "pak/pak_manager.h"
#include "platform/codepage.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <thread>

#ifndef _WIN32
#include <csignal>
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace fs = std::filesystem;

namespace e2e {
namespace {

void Require(bool condition, const std::string& what) {
    if (!condition)
        throw std::runtime_error(what);
}

fs::path FsPath(const std::string& path) {
#ifdef _WIN32
    int length = MultiByteToWideChar(CP_ACP, 0, path.data(), (int)path.size(), nullptr, 0);
    std::wstring wide(length, L'\0');
    MultiByteToWideChar(CP_ACP, 0, path.data(), (int)path.size(), wide.data(), length);
    return fs::path(wide);
#else
    return fs::path(NativePath(path));
#endif
}

void Md5(const std::string& bytes, u8 digest[16]) {
    crypto::Md5Digest(bytes.data(), bytes.size(), digest);
}

FILETIME ToFileTime(u64 stamp) {
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(stamp);
    time.dwHighDateTime = static_cast<DWORD>(stamp >> 32);
    return time;
}

void SplitPath(const std::string& path, std::string* dir, std::string* name) {
    size_t slash = path.find_last_of("\\/");
    *dir = path.substr(0, slash);
    *name = path.substr(slash + 1);
}

// A read-only stream over bytes in memory, the source of archive sub-files.
class MemoryStream : public Stream {
  public:
    explicit MemoryStream(const std::string& bytes) : m_bytes(bytes) { status = StreamOk; }
    bool HasAccess(u32 mask) override { return (mask & StreamAccessWrite) == 0; }
    u32 Tell() override { return m_position; }
    bool Seek(i32 position) override {
        m_position = static_cast<u32>(position);
        return m_position <= m_bytes.size();
    }
    u32 GetSize() override { return static_cast<u32>(m_bytes.size()); }
    bool Read(void* buffer, u32 count) override {
        if (m_position + static_cast<u64>(count) > m_bytes.size())
            return false;
        std::memcpy(buffer, m_bytes.data() + m_position, count);
        m_position += count;
        return true;
    }
    bool Write(const void*, u32) override { return false; }

  private:
    const std::string& m_bytes;
    u32 m_position = 0;
};

void EnsurePakLock() {
    static const bool ready = InitPakUpdateLock();
    Require(ready, "cannot create the pak update lock");
}

void FillRecord(PatchFileRecord* record, const std::string& name, const std::string& bytes,
                u32 offset) {
    std::memset(record, 0, sizeof *record);
    std::memcpy(record->name, name.data(), std::min<size_t>(name.size(), kPatchNameSize - 1));
    record->dataOffset = offset;
    record->dataSize = static_cast<u32>(bytes.size());
    Md5(bytes, record->storedMd5);
    record->originalSize = record->dataSize;
    std::memcpy(record->originalMd5, record->storedMd5, 16);
}

} // namespace

const char kUpdated[] = "更新成功!";
const char kFailed[] = "更新失败！可能源文件错误或IO失败！。";
const char kCancelled[] = "cancelled";

std::string StubPath() {
#ifdef _WIN32
    // The build tree's Unix path, as wine shows it.
    std::string path = "Z:" + std::string(ORVC_BINARY);
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
#else
    return ORV_BINARY;
#endif
}

#ifndef _WIN32
std::string MkpatchPath() {
    return MKPATCH_BINARY;
}

#ifdef PAKTOOL_BINARY
std::string PaktoolPath() {
    return PAKTOOL_BINARY;
}
#endif
#endif

std::string Shown(const std::string& acp) {
#ifdef _WIN32
    return acp;
#else
    return pi::AcpToUtf8Lossy(acp);
#endif
}

std::string NativePath(const std::string& path) {
#ifdef _WIN32
    return path;
#else
    std::string utf8 = pi::AcpToUtf8Lossy(path);
    std::replace(utf8.begin(), utf8.end(), '\\', '/');
    return utf8;
#endif
}

Scratch::Scratch() {
    static std::atomic<int> counter{0};
#ifdef _WIN32
    char temp[MAX_PATH];
    GetTempPathA(MAX_PATH, temp);
    std::string base = temp;
    const unsigned pid = GetCurrentProcessId();
#else
    // Lower case throughout: the pak library lower-cases archive paths. A
    // memory file system when there is one: the reliability sweeps run the
    // installer thousands of times, and test the layer's model of
    // durability, not the disk's.
    std::string base = access("/dev/shm", W_OK) == 0 ? "/dev/shm/" : "/tmp/";
    const unsigned pid = getpid();
#endif
    m_path = base + "orv-e2e-" + std::to_string(pid) + "-" + std::to_string(counter++);
    RemoveTree(m_path);
    fs::create_directories(FsPath(m_path));
}

Scratch::~Scratch() {
    RemoveTree(m_path);
}

void RemoveTree(const std::string& path) {
    std::error_code error;
    for (auto it = fs::recursive_directory_iterator(FsPath(path), error);
         it != fs::recursive_directory_iterator(); it.increment(error))
        fs::permissions(it->path(), fs::perms::owner_write, fs::perm_options::add, error);
    fs::remove_all(FsPath(path), error);
}

void PutFile(const std::string& path, const std::string& bytes) {
    fs::create_directories(FsPath(path).parent_path());
    std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    Require(out.good(), "cannot write " + NativePath(path));
}

std::string FileBytes(const std::string& path) {
    std::ifstream in(FsPath(path), std::ios::binary);
    if (!in || fs::is_directory(FsPath(path)))
        return "<missing>";
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool Exists(const std::string& path) {
    return fs::exists(FsPath(path));
}

void MakeDirectory(const std::string& path) {
    fs::create_directories(FsPath(path));
}

void MakeReadOnly(const std::string& path) {
    Require(SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_READONLY) != 0,
            "cannot make " + NativePath(path) + " read-only");
}

u64 WriteStamp(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    FILETIME written = {0, 0};
    GetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
    return (static_cast<u64>(written.dwHighDateTime) << 32) | written.dwLowDateTime;
}

void SetWriteStamp(const std::string& path, u64 stamp) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              0, nullptr);
    Require(file != INVALID_HANDLE_VALUE, "cannot open " + NativePath(path));
    const FILETIME time = ToFileTime(stamp);
    const bool set = SetFileTime(file, nullptr, nullptr, &time) != 0;
    CloseHandle(file);
    Require(set, "cannot set the time of " + NativePath(path));
}

std::vector<std::string> FindNames(const std::string& dir, const std::string& prefix,
                                   const std::string& suffix) {
    auto lower = [](std::string text) {
        for (char& c : text)
            c = (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
        return text;
    };
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(FsPath(dir), error)) {
        const std::string name = lower(entry.path().filename().u8string());
        if (name.size() >= prefix.size() + suffix.size() && name.rfind(lower(prefix), 0) == 0 &&
            name.compare(name.size() - suffix.size(), suffix.size(), lower(suffix)) == 0)
            names.push_back(name);
    }
    return names;
}

Snapshot TakeSnapshot(const std::string& dir) {
    Snapshot snapshot;
    const fs::path root = FsPath(dir);
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        SnapshotEntry item;
        item.directory = entry.is_directory();
        if (!item.directory) {
            // Read whole: the sweeps take thousands of snapshots of megabytes.
            item.bytes.resize(static_cast<size_t>(entry.file_size()));
            std::ifstream in(entry.path(), std::ios::binary);
            in.read(item.bytes.data(), static_cast<std::streamsize>(item.bytes.size()));
            Require(in.gcount() == static_cast<std::streamsize>(item.bytes.size()),
                    "cannot read " + entry.path().u8string());
            item.stamp =
                static_cast<u64>(fs::last_write_time(entry.path()).time_since_epoch().count());
            item.readOnly =
                (entry.status().permissions() & fs::perms::owner_write) == fs::perms::none;
        }
        snapshot[entry.path().lexically_relative(root).generic_u8string()] = item;
    }
    return snapshot;
}

void MakeArchive(const std::string& path, const SubFiles& files) {
    EnsurePakLock();
    std::string dir, name;
    SplitPath(path, &dir, &name);
    MakeDirectory(dir);
    std::string all;
    std::vector<PakUpdateItem> items;
    for (const auto& [subName, file] : files) {
        PakUpdateItem item;
        std::memset(&item, 0, sizeof item);
        item.empty = file.bytes.empty();
        item.sourceOffset = static_cast<u32>(all.size());
        item.size = static_cast<u32>(file.bytes.size());
        Md5(file.bytes, item.storedMd5);
        std::memcpy(item.originalMd5, item.storedMd5, 16);
        item.originalSize = file.originalSize ? file.originalSize : item.size;
        item.method = file.method;
        item.stampLow = static_cast<u32>(file.stamp);
        item.stampHigh = static_cast<u32>(file.stamp >> 32);
        std::memcpy(item.name, subName.data(), std::min<size_t>(subName.size(), 259));
        all += file.bytes;
        items.push_back(item);
    }
    MemoryStream source(all);
    for (PakUpdateItem& item : items)
        item.source = &source;
    DeleteFileA(path.c_str());
    i32 error = 0;
    PakArchive* archive = g_pakManager.Open(path.c_str(), PakReadWrite, false, &error);
    Require(archive != nullptr, "cannot create the archive " + NativePath(path));
    g_pakManager.SetEventHandler(nullptr);
    Require(g_pakManager.Update(archive, items.data(), static_cast<u32>(items.size()), dir.c_str(),
                                (name + ".tmp").c_str(), true),
            "cannot write the archive " + NativePath(path));
}

void SetArchiveWord(const std::string& path, bool inIndex, u32 offset, u32 value) {
    std::string bytes = FileBytes(path);
    PakHeader header;
    Require(bytes.size() >= sizeof header, "not an archive: " + NativePath(path));
    std::memcpy(&header, bytes.data(), sizeof header);
    if (!inIndex) {
        Require(offset + 4 <= sizeof header, "no such header word");
        std::memcpy(&bytes[offset], &value, 4);
        PutFile(path, bytes);
        return;
    }
    Require(offset + 4 <= header.indexSize &&
                static_cast<u64>(header.indexOffset) + header.indexSize <= bytes.size(),
            "no such index word in " + NativePath(path));
    u8* index = reinterpret_cast<u8*>(&bytes[header.indexOffset]);
    PakIndexKeys keys;
    GetIndexKeys(&keys);
    DecipherIndex(keys, index, header.indexSize);
    std::memcpy(index + offset, &value, 4);
    EncipherIndex(keys, index, header.indexSize);
    PutFile(path, bytes);
}

bool ReadArchive(const std::string& path, SubFiles* files) {
    files->clear();
    i32 error = 0;
    PakArchive* archive = g_pakManager.Open(path.c_str(), PakReadOnly, false, &error);
    if (archive == nullptr)
        return false;
    bool ok = error == PakOk;
    for (auto& [name, entry] : archive->files) {
        SubFile file;
        file.bytes.resize(entry.size);
        g_pakManager.SeekSubFile(&entry, 0, 0);
        if (g_pakManager.ReadSubFile(&entry, file.bytes.data(), entry.size) != (i32)entry.size) {
            ok = false;
            continue;
        }
        g_pakManager.CloseSubFile(&entry);
        u8 digest[16];
        Md5(file.bytes, digest);
        ok = ok && std::memcmp(digest, entry.storedMd5, 16) == 0;
        file.method = entry.method;
        file.originalSize = entry.originalSize;
        file.stamp = (static_cast<u64>(entry.stampHigh) << 32) | entry.stampLow;
        (*files)[name] = file;
    }
    g_pakManager.Close(archive);
    return ok;
}

PackageFile PackageBuilder::Describe(const std::string& name, const std::string& bytes, u64 stamp) {
    PackageFile file;
    file.name = name;
    file.source.path = m_dir + "\\source" + std::to_string(m_next++) + ".bin";
    PutFile(file.source.path, bytes);
    file.size = static_cast<u32>(bytes.size());
    Md5(bytes, file.storedMd5);
    file.originalSize = file.size;
    std::memcpy(file.originalMd5, file.storedMd5, 16);
    file.stamp = ToFileTime(stamp);
    return file;
}

void PackageBuilder::AddLoose(const std::string& name, const std::string& bytes, u64 stamp) {
    m_contents.looseFiles.push_back(Describe(name, bytes, stamp));
}

void PackageBuilder::AddPak(const std::string& name, u64 stamp) {
    PackagePak pak;
    pak.name = name;
    pak.stamp = ToFileTime(stamp);
    m_contents.paks.push_back(pak);
}

void PackageBuilder::AddSubFile(const std::string& name, const SubFile& sub) {
    PackageFile file = Describe(name, sub.bytes, sub.stamp);
    file.method = sub.method;
    if (sub.originalSize != 0)
        file.originalSize = sub.originalSize;
    m_contents.paks.back().files.push_back(file);
}

void PackageBuilder::Write(const std::string& installer) const {
    std::string dir, name;
    SplitPath(installer, &dir, &name);
    MakeDirectory(dir);
    std::string error;
    const bool written =
        WritePackage(StubPath().c_str(), m_contents, installer.c_str(), 1, nullptr, &error);
    Require(written, "cannot build the installer: " + error);
    MakeExecutable(installer);
}

void RawPackage::AddLoose(const std::string& name, const std::string& bytes, u64 stamp) {
    PatchFileRecord record;
    FillRecord(&record, name, bytes, static_cast<u32>(data.size()));
    record.stamp = ToFileTime(stamp);
    files.push_back(record);
    data += bytes;
}

void RawPackage::AddPak(const std::string& name, u64 stamp) {
    PatchPakRecord pak;
    std::memset(&pak, 0, sizeof pak);
    std::memcpy(pak.name, name.data(), std::min<size_t>(name.size(), kPatchNameSize - 1));
    pak.stamp = ToFileTime(stamp);
    pak.firstRecord = static_cast<u32>(files.size());
    paks.push_back(pak);
}

void RawPackage::AddSubFile(const std::string& name, const std::string& bytes, u32 method) {
    PatchFileRecord record;
    FillRecord(&record, name, bytes, static_cast<u32>(data.size()));
    record.method = method;
    record.inPak = 1;
    files.push_back(record);
    data += bytes;
    ++paks.back().recordCount;
}

std::string RawPackage::Serialize() const {
    std::string bytes;
    const u32 pakCount = static_cast<u32>(paks.size());
    const u32 fileCount = static_cast<u32>(files.size());
    bytes.append(reinterpret_cast<const char*>(&pakCount), 4);
    bytes.append(reinterpret_cast<const char*>(paks.data()), paks.size() * sizeof(PatchPakRecord));
    bytes.append(reinterpret_cast<const char*>(&fileCount), 4);
    bytes.append(reinterpret_cast<const char*>(files.data()),
                 files.size() * sizeof(PatchFileRecord));
    return bytes + data;
}

std::string Deflate(const std::string& bytes) {
    z_stream z;
    std::memset(&z, 0, sizeof z);
    Require(deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) == Z_OK,
            "deflateInit2");
    std::string out(deflateBound(&z, static_cast<uLong>(bytes.size())), '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    z.avail_in = static_cast<uInt>(bytes.size());
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    Require(result == Z_STREAM_END, "deflate");
    return out;
}

void WriteRawInstaller(const std::string& installer, const std::string& compressed,
                       u32 payloadStart) {
    std::string bytes = FileBytes(StubPath());
    Require(bytes != "<missing>", "cannot read the stub " + StubPath());
    const u32 start = payloadStart == 0xFFFFFFFF ? static_cast<u32>(bytes.size()) : payloadStart;
    bytes += compressed;
    bytes.append(reinterpret_cast<const char*>(&start), 4);
    bytes.append(reinterpret_cast<const char*>(&start), 4);
    PutFile(installer, bytes);
    MakeExecutable(installer);
}

void MakeExecutable(const std::string& path) {
#ifndef _WIN32
    fs::permissions(FsPath(path),
                    fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec);
#else
    (void)path;
#endif
}

std::string RecordName(const char* text) {
    return std::string(text, strnlen(text, 260));
}

RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env, const std::string& input) {
    Child child;
    Require(child.Start(program, args, env, input), "cannot start " + program);
    return child.Wait();
}

RunResult RunInstaller(const std::string& installer, const std::string& gameDir,
                       const std::vector<std::string>& env) {
    return RunProgram(NativePath(installer), {NativePath(gameDir)}, env);
}

// A child built with a sanitizer exits with an ordinary failure code when it
// finds a fault; no test may take that for the failure it expects.
void FlagSanitizerReports(RunResult* result) {
    for (const char* report : {"ERROR: AddressSanitizer", "ERROR: LeakSanitizer",
                               "WARNING: ThreadSanitizer", "runtime error:"})
        if (result->err.find(report) != std::string::npos)
            result->exitCode = -2;
}

// The process part: each pipe is drained by a thread of its own, so a child
// never blocks on a full pipe while the test waits for something else.
struct Child::State {
    std::mutex mutex;
    std::condition_variable changed;
    std::string out, err;
    bool outClosed = false;
    std::thread outReader, errReader;
#ifdef _WIN32
    PROCESS_INFORMATION process = {};
#else
    pid_t pid = -1;
#endif
};

Child::Child() : m_state(new State) {}

Child::~Child() {
    if (m_state->outReader.joinable() || m_state->errReader.joinable())
        Wait();
    delete m_state;
}

bool Child::WaitForOutput(const std::string& text) {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    return m_state->changed.wait_for(lock, std::chrono::minutes(1), [&] {
        return m_state->out.find(text) != std::string::npos || m_state->outClosed;
    }) && m_state->out.find(text) != std::string::npos;
}

#ifdef _WIN32

namespace {

// Console control events travel only between processes of one console.
// Under wine a program started with redirected output has a console handle
// that carries none, so the test program makes itself a fresh one (keeping
// its standard handles) for its children to share; it ignores the events.
void ShareAConsole() {
    static bool done = false;
    if (done || GetConsoleWindow() != nullptr)
        return;
    done = true;
    HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    FreeConsole();
    AllocConsole();
    SetStdHandle(STD_INPUT_HANDLE, in);
    SetStdHandle(STD_OUTPUT_HANDLE, out);
    SetStdHandle(STD_ERROR_HANDLE, err);
    SetConsoleCtrlHandler(nullptr, TRUE);
}

// The quoting that the runtime's command-line parser undoes.
std::string Quote(const std::string& arg) {
    if (!arg.empty() && arg.find_first_of(" \t\"") == std::string::npos)
        return arg;
    std::string quoted = "\"";
    size_t backslashes = 0;
    for (char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        quoted.push_back(c);
        backslashes = 0;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

void Drain(HANDLE pipe, HANDLE process, Child::State* state, std::string* sink, bool isOut);

} // namespace

bool Child::Start(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>&, const std::string& input) {
    ShareAConsole();
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    HANDLE inRead, inWrite, outRead, outWrite, errRead, errWrite;
    if (!CreatePipe(&inRead, &inWrite, &inherit, 0) ||
        !CreatePipe(&outRead, &outWrite, &inherit, 0) ||
        !CreatePipe(&errRead, &errWrite, &inherit, 0))
        return false;
    SetHandleInformation(inWrite, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(outRead, HANDLE_FLAG_INHERIT, 0);
    SetHandleInformation(errRead, HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOA startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = inRead;
    startup.hStdOutput = outWrite;
    startup.hStdError = errWrite;
    std::string commandLine = Quote(program);
    for (const std::string& arg : args)
        commandLine += " " + Quote(arg);
    const BOOL started =
        CreateProcessA(program.c_str(), commandLine.data(), nullptr, nullptr, TRUE,
                       CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &startup, &m_state->process);
    CloseHandle(inRead);
    CloseHandle(outWrite);
    CloseHandle(errWrite);
    if (started) {
        DWORD done = 0;
        if (!input.empty())
            WriteFile(inWrite, input.data(), (DWORD)input.size(), &done, nullptr);
    }
    CloseHandle(inWrite);
    if (!started) {
        CloseHandle(outRead);
        CloseHandle(errRead);
        return false;
    }
    State* state = m_state;
    HANDLE process = m_state->process.hProcess;
    m_state->outReader = std::thread([=] { Drain(outRead, process, state, &state->out, true); });
    m_state->errReader = std::thread([=] { Drain(errRead, process, state, &state->err, false); });
    return true;
}

namespace {
// Polls instead of blocking in ReadFile: under wine the write end can stay
// open after the child has exited (its console host holds a copy), so the
// end of the pipe is the end of the child.
void Drain(HANDLE pipe, HANDLE process, Child::State* state, std::string* sink, bool isOut) {
    char buffer[4096];
    for (;;) {
        const bool exited = WaitForSingleObject(process, 0) == WAIT_OBJECT_0;
        DWORD available = 0, done = 0;
        if (!PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr))
            break;
        if (available == 0) {
            if (exited)
                break;
            Sleep(5);
            continue;
        }
        if (!ReadFile(pipe, buffer, available < sizeof buffer ? available : sizeof buffer, &done,
                      nullptr) ||
            done == 0)
            break;
        std::lock_guard<std::mutex> lock(state->mutex);
        sink->append(buffer, done);
        state->changed.notify_all();
    }
    CloseHandle(pipe);
    std::lock_guard<std::mutex> lock(state->mutex);
    if (isOut)
        state->outClosed = true;
    state->changed.notify_all();
}
} // namespace

// The child leads its own process group on the test's console. Windows
// sends Ctrl-Break to one group; wine sends only Ctrl-C, but to a group too.
bool Child::Interrupt() {
    const DWORD group = m_state->process.dwProcessId;
    return GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, group) != 0 ||
           GenerateConsoleCtrlEvent(CTRL_C_EVENT, group) != 0;
}

RunResult Child::Wait() {
    RunResult result;
    if (m_state->process.hProcess == nullptr)
        return result;
    WaitForSingleObject(m_state->process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(m_state->process.hProcess, &code);
    result.exitCode = static_cast<int>(code);
    if (m_state->outReader.joinable())
        m_state->outReader.join();
    if (m_state->errReader.joinable())
        m_state->errReader.join();
    CloseHandle(m_state->process.hProcess);
    CloseHandle(m_state->process.hThread);
    m_state->process = {};
    result.out = m_state->out;
    result.err = m_state->err;
    FlagSanitizerReports(&result);
    return result;
}

#else // Linux

namespace {

// Plain C locale unless the test asks otherwise: the installer then prints
// UTF-8. No fault armed unless the test arms one.
std::vector<std::string> ChildEnvironment(const std::vector<std::string>& extra) {
    std::vector<std::string> env = extra;
    auto named = [](const std::string& entry, const char* name) {
        return entry.compare(0, strlen(name), name) == 0;
    };
    if (std::none_of(env.begin(), env.end(),
                     [&](const std::string& e) { return named(e, "LC_ALL="); }))
        env.push_back("LC_ALL=C");
    auto overridden = [&](const std::string& entry) {
        if (named(entry, "PI_FAULT=") || named(entry, "LANG=") || named(entry, "LC_"))
            return true;
        const std::string name = entry.substr(0, entry.find('=') + 1);
        return std::any_of(env.begin(), env.end(),
                           [&](const std::string& own) { return named(own, name.c_str()); });
    };
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (!overridden(*entry))
            env.push_back(*entry);
    return env;
}

void Drain(int fd, Child::State* state, std::string* sink, bool isOut) {
    char buffer[4096];
    for (;;) {
        ssize_t done = read(fd, buffer, sizeof buffer);
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            break;
        std::lock_guard<std::mutex> lock(state->mutex);
        sink->append(buffer, done);
        state->changed.notify_all();
    }
    close(fd);
    std::lock_guard<std::mutex> lock(state->mutex);
    if (isOut)
        state->outClosed = true;
    state->changed.notify_all();
}

} // namespace

bool Child::Start(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& env, const std::string& input) {
    signal(SIGPIPE, SIG_IGN); // a child that ends early must not end the test
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return false;
    std::vector<std::string> argStrings = {program};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<std::string> envStrings = ChildEnvironment(env);
    std::vector<char*> argv, envp;
    for (std::string& arg : argStrings)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    for (std::string& entry : envStrings)
        envp.push_back(entry.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    const int spawned = posix_spawn(&m_state->pid, program.c_str(), &actions, &attributes,
                                    argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    close(in[0]);
    close(out[1]);
    close(err[1]);
    if (spawned == 0 && !input.empty())
        (void)!write(in[1], input.data(), input.size());
    close(in[1]);
    if (spawned != 0) {
        m_state->pid = -1;
        close(out[0]);
        close(err[0]);
        return false;
    }
    State* state = m_state;
    const int outFd = out[0], errFd = err[0];
    m_state->outReader = std::thread([=] { Drain(outFd, state, &state->out, true); });
    m_state->errReader = std::thread([=] { Drain(errFd, state, &state->err, false); });
    return true;
}

bool Child::Interrupt() {
    return m_state->pid > 0 && kill(m_state->pid, SIGINT) == 0;
}

RunResult Child::Wait() {
    RunResult result;
    if (m_state->pid <= 0)
        return result;
    int status = 0;
    while (waitpid(m_state->pid, &status, 0) < 0 && errno == EINTR) {
    }
    m_state->pid = -1;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    if (m_state->outReader.joinable())
        m_state->outReader.join();
    if (m_state->errReader.joinable())
        m_state->errReader.join();
    result.out = m_state->out;
    result.err = m_state->err;
    FlagSanitizerReports(&result);
    return result;
}

#endif

} // namespace e2e
