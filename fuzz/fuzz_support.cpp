#include "fuzz_support.h"

#include "open_files.h"
#include "runtime/log.h"

#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

namespace fuzz {
namespace {

std::string NativePath(std::string path) {
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path;
}

bool IsWritableDirectory(const char* path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode) && access(path, W_OK) == 0;
}

// tmpfs keeps the file system out of the measured cost; /tmp is the fallback.
std::string ScratchBase() {
    const char* chosen = std::getenv("PI_FUZZ_SCRATCH");
    if (chosen != nullptr && *chosen != '\0')
        return chosen;
    return IsWritableDirectory("/dev/shm") ? "/dev/shm" : "/tmp";
}

std::string g_root;

void RemoveRoot() {
    if (!g_root.empty())
        RemoveTree(g_root);
}

} // namespace

const std::string& ScratchRoot() {
    if (g_root.empty()) {
        g_root = ScratchBase() + "/pi-fuzz-" + std::to_string(getpid());
        RemoveTree(g_root);
        std::error_code error;
        std::filesystem::create_directories(g_root, error);
        if (error)
            Violation("cannot create the scratch directory");
        std::atexit(RemoveRoot);
    }
    return g_root;
}

std::string FreshDirectory(const std::string& name) {
    const std::string path = ScratchRoot() + "\\" + name;
    RemoveTree(path);
    std::error_code error;
    std::filesystem::create_directory(NativePath(path), error);
    if (error)
        Violation("cannot create a scratch directory");
    return path;
}

void RemoveTree(const std::string& path) {
    std::error_code ignored;
    std::filesystem::remove_all(NativePath(path), ignored);
}

void WriteWholeFile(const std::string& path, const u8* bytes, size_t size) {
    FileStream stream;
    if (!stream.Open(path.c_str(), OpenCreate) || !stream.Write(bytes, static_cast<u32>(size)))
        Violation("cannot write a scratch file");
}

void SilenceProgramLog() {
    char exe[4096];
    const ssize_t length = readlink("/proc/self/exe", exe, sizeof exe - 1);
    char logPath[4096];
    if (length <= 0)
        return;
    exe[length] = '\0';
    if (!MakeLogPath(exe, logPath, sizeof logPath))
        return;
    unlink(logPath);
    if (symlink("/dev/null", logPath) != 0)
        std::fprintf(stderr, "fuzz: cannot point %s at /dev/null; the log will grow\n", logPath);
    GetLog(); // opened now, through the link
}

void Violation(const char* what) {
    std::fprintf(stderr, "fuzz: invariant violated: %s\n", what);
    std::abort();
}

void ExpectNoOpenArchives(const std::string& dir) {
    if (!pitest::HeldOpenUnder(dir, ".pak").empty())
        Violation("an archive was left open");
}

pitest::MemoryStream ReaderOver(const u8* data, size_t size) {
    return pitest::MemoryStream(std::string(reinterpret_cast<const char*>(data), size),
                                pitest::MemoryStream::ReadOnly);
}

void ByteHash::Mix(u64 word) {
    m_state = (m_state ^ word) * 0x100000001B3ull;
    m_state ^= m_state >> 29;
}

// Bytes first complete a pending word; whole words then go straight in, so
// the result is the same however the bytes are cut (on a little-endian host).
void ByteHash::Update(const u8* bytes, size_t count) {
    for (; count != 0 && m_filled != 0; --count) {
        m_pending |= static_cast<u64>(*bytes++) << (8 * m_filled);
        if (++m_filled == 8) {
            Mix(m_pending);
            m_pending = 0;
            m_filled = 0;
        }
    }
    for (; count >= 8; count -= 8, bytes += 8) {
        u64 word;
        std::memcpy(&word, bytes, sizeof word);
        Mix(word);
    }
    for (; count != 0; --count)
        m_pending |= static_cast<u64>(*bytes++) << (8 * m_filled++);
}

u64 ByteHash::Value() const {
    ByteHash copy = *this;
    copy.Mix(copy.m_pending ^ (static_cast<u64>(copy.m_filled) << 56));
    return copy.m_state;
}

DigestSink::DigestSink(u64 failAfter) : m_failAfter(failAfter) {
    status = StreamOk;
}

bool DigestSink::HasAccess(u32 mask) {
    return (mask & StreamAccessRead) == 0;
}

u32 DigestSink::Tell() {
    return static_cast<u32>(size);
}

bool DigestSink::Seek(i32) {
    return false;
}

u32 DigestSink::GetSize() {
    return static_cast<u32>(size);
}

bool DigestSink::Read(void*, u32) {
    status = StreamBadMode;
    return false;
}

bool DigestSink::Write(const void* buffer, u32 count) {
    if (size + count > m_failAfter) {
        status = StreamNoAccess;
        return false;
    }
    hash.Update(static_cast<const u8*>(buffer), count);
    size += count;
    return true;
}

} // namespace fuzz
