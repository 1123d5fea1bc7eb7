#include "pak_test_support.h"

#include "crypto/crypto.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <filesystem>

#ifdef _WIN32
#include <process.h>
#define getpid _getpid
#else
#include <unistd.h>
#endif

namespace paktest {
namespace {

std::atomic<unsigned> g_dirCounter{0};

std::string SystemTempDir() {
#ifdef _WIN32
    char buffer[MAX_PATH + 1];
    DWORD length = GetTempPathA(MAX_PATH, buffer);
    std::string dir(buffer, length);
    if (!dir.empty() && dir.back() == '\\')
        dir.pop_back();
    return dir;
#else
    return "/tmp";
#endif
}

} // namespace

TempDir::TempDir() {
    m_path = SystemTempDir() + "\\pi-pak-" + std::to_string(getpid()) + "-" +
             std::to_string(g_dirCounter++);
    char lowered[MAX_PATH];
    std::snprintf(lowered, sizeof lowered, "%s", m_path.c_str());
    LowerCaseBytes(lowered);
    m_path = lowered;
    CreateDirectoryA(m_path.c_str(), nullptr);
}

TempDir::~TempDir() {
    std::string native = m_path;
#ifndef _WIN32
    for (char& c : native)
        if (c == '\\')
            c = '/';
#endif
    std::error_code ignored;
    std::filesystem::remove_all(native, ignored);
}

std::string ReadFileBytes(const std::string& path) {
    FileStream stream;
    if (!stream.Open(path.c_str(), OpenRead))
        return "<missing>";
    std::string data(stream.GetSize(), '\0');
    if (!data.empty() && !stream.Read(&data[0], static_cast<u32>(data.size())))
        return "<unreadable>";
    return data;
}

void WriteFileBytes(const std::string& path, const std::string& data) {
    FileStream stream;
    ASSERT_TRUE(stream.Open(path.c_str(), OpenCreate)) << path;
    ASSERT_TRUE(stream.Write(data.data(), static_cast<u32>(data.size()))) << path;
}

bool Exists(const std::string& path) {
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void RemoveFile(const std::string& path) {
    DeleteFileA(path.c_str());
}

std::string Md5Of(const std::string& data) {
    u8 digest[16];
    crypto::Md5Digest(data.data(), data.size(), digest);
    return std::string(reinterpret_cast<char*>(digest), 16);
}

namespace {

PakUpdateItem BlankItem(const std::string& name) {
    PakUpdateItem item;
    std::memset(&item, 0, sizeof item);
    std::snprintf(item.name, sizeof item.name, "%s", name.c_str());
    return item;
}

void SetDigests(PakUpdateItem* item, const std::string& data, const std::string* digest) {
    const std::string stored = digest ? *digest : Md5Of(data);
    std::memcpy(item->storedMd5, stored.data(), 16);
    std::memcpy(item->originalMd5, stored.data(), 16);
    item->size = static_cast<u32>(data.size());
    item->originalSize = static_cast<u32>(data.size());
}

} // namespace

PakUpdateItem StreamItem(const std::string& name, Stream* source, u32 offset,
                         const std::string& data, const std::string* digest) {
    PakUpdateItem item = BlankItem(name);
    item.source = source;
    item.sourceOffset = offset;
    SetDigests(&item, data, digest);
    return item;
}

PakUpdateItem EmptyItem(const std::string& name) {
    PakUpdateItem item = BlankItem(name);
    item.empty = 1;
    return item;
}

PakUpdateItem PathItem(const std::string& name, const std::string& path, const std::string& data) {
    PakUpdateItem item = BlankItem(name);
    std::snprintf(item.sourcePath, sizeof item.sourcePath, "%s", path.c_str());
    SetDigests(&item, data, nullptr);
    return item;
}

void ItemSet::Add(const std::string& name, const std::string& data, u32 method, u64 stamp) {
    streams.push_back(std::make_unique<MemoryStream>("xx" + data));
    items.push_back(StreamItem(name, streams.back().get(), 2, data));
    items.back().method = method;
    items.back().stampLow = static_cast<u32>(stamp);
    items.back().stampHigh = static_cast<u32>(stamp >> 32);
}

bool UpdateArchive(PakManager& manager, const std::string& path, ItemSet& items, bool commit) {
    i32 error = -1;
    PakArchive* archive = manager.Open(path.c_str(), PakReadWrite, false, &error);
    if (archive == nullptr)
        return false;
    const size_t slash = path.rfind('\\');
    const std::string dir = path.substr(0, slash);
    const std::string name = path.substr(slash + 1) + ".tmp";
    return manager.Update(archive, items.items.data(), static_cast<u32>(items.items.size()),
                          dir.c_str(), name.c_str(), commit);
}

std::map<std::string, std::string> ReadAll(PakManager& manager, const std::string& path,
                                           i32* error) {
    std::map<std::string, std::string> files;
    i32 openError = -1;
    PakArchive* archive = manager.Open(path.c_str(), PakReadOnly, false, &openError);
    if (error)
        *error = openError;
    if (archive == nullptr)
        return files;
    for (auto& file : archive->files) {
        std::string data(file.second.size, '\0');
        const i32 got = manager.ReadSubFile(&file.second, &data[0], file.second.size);
        manager.CloseSubFile(&file.second);
        files[file.first] = got == static_cast<i32>(data.size()) ? data : "<unreadable>";
    }
    manager.Close(archive);
    return files;
}

std::string RawArchive(const PakHeader& header, const std::string& data,
                       const std::string& plainIndex) {
    std::string archive(reinterpret_cast<const char*>(&header), sizeof header);
    return archive + data + Encipher(plainIndex);
}

std::string EntryBytes(u32 nameOffset, u32 dataOffset, const std::string& data) {
    PakIndexEntry entry;
    std::memset(&entry, 0, sizeof entry);
    entry.nameOffset = nameOffset;
    entry.dataOffset = dataOffset;
    entry.size = static_cast<u32>(data.size());
    entry.alignedSize = PakAlignedSize(entry.size);
    const std::string digest = Md5Of(data);
    std::memcpy(entry.storedMd5, digest.data(), 16);
    std::memcpy(entry.originalMd5, digest.data(), 16);
    entry.originalSize = entry.size;
    return std::string(reinterpret_cast<const char*>(&entry), sizeof entry);
}

std::string Encipher(std::string plain) {
    PakIndexKeys keys;
    GetIndexKeys(&keys);
    EncipherIndex(keys, reinterpret_cast<u8*>(&plain[0]), plain.size());
    return plain;
}

std::string Decipher(std::string cipher) {
    PakIndexKeys keys;
    GetIndexKeys(&keys);
    DecipherIndex(keys, reinterpret_cast<u8*>(&cipher[0]), cipher.size());
    return cipher;
}

PakHeader HeaderOf(const std::string& archive) {
    PakHeader header;
    std::memset(&header, 0, sizeof header);
    std::memcpy(&header, archive.data(), std::min(archive.size(), sizeof header));
    return header;
}

} // namespace paktest
