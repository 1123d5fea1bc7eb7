// The end-to-end support that is the same on every platform. What differs
// (where the programs under test are, how names are spelt, where scratch
// directories go) is in e2e_support_posix.cpp and e2e_support_windows.cpp.
#include "e2e_support.h"
#include "e2e_platform.h"

#include "crypto/crypto.h"
#include "memory_stream.h"
#include "pak/pak_manager.h"
#include "platform/codepage.h"

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

namespace fs = std::filesystem;

namespace e2e {
namespace {

void Require(bool condition, const std::string& what) {
    if (!condition)
        throw std::runtime_error(what);
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

// At the last separator, stepping over double-byte characters: their second
// byte may be the one of '\'.
void SplitPath(const std::string& path, std::string* dir, std::string* name) {
    size_t slash = std::string::npos;
    for (size_t i = 0; i < path.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(path[i]);
        if (c >= 0x81 && c <= 0xFE)
            ++i;
        else if (c == '\\' || c == '/')
            slash = i;
    }
    *dir = path.substr(0, slash);
    *name = path.substr(slash + 1);
}

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

std::string ToolText(const std::string& acp) {
    return pi::AcpToUtf8Lossy(acp);
}

std::string TreeName(const std::string& acp) {
    std::string name = ToolText(acp);
    std::replace(name.begin(), name.end(), '\\', '/');
    return name;
}

const char kUpdated[] = "更新成功!";
const char kFailed[] = "更新失败！可能源文件错误或IO失败！。";
const char kCancelled[] = "cancelled";

Scratch::Scratch() {
    static std::atomic<int> counter{0};
    m_path = ScratchPrefix() + std::to_string(counter++);
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
    pitest::MemoryStream source(all, pitest::MemoryStream::ReadOnly);
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

std::string RecordName(const char* text) {
    return std::string(text, strnlen(text, 260));
}

RunResult RunInstaller(const std::string& installer, const std::string& gameDir,
                       const std::vector<std::string>& env) {
    return RunProgram(NativePath(installer), {NativePath(gameDir)}, env);
}

} // namespace e2e
