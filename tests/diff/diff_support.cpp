#include "diff_support.h"

#include "crypto/crypto.h"
#include "pak/pak_format.h"
#include "pak/pak_manager.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <stdexcept>

namespace e2e {
namespace {

void Require(bool condition, const std::string& what) {
    if (!condition)
        throw std::runtime_error(what);
}

} // namespace

void Materialize(const Version& version, const std::string& dir) {
    MakeDirectory(dir);
    for (const auto& [name, file] : version.files) {
        PutFile(dir + "\\" + name, file.bytes);
        SetWriteStamp(dir + "\\" + name, file.stamp);
    }
    for (const auto& [name, archive] : version.archives) {
        const auto byHand = version.byHand.find(name);
        if (byHand == version.byHand.end())
            MakeArchive(dir + "\\" + name, archive.files);
        else
            MakeArchiveByHand(dir + "\\" + name, archive.files, byHand->second);
        SetWriteStamp(dir + "\\" + name, archive.stamp);
    }
}

void MakeArchiveByHand(const std::string& path, const SubFiles& files,
                       const std::vector<std::string>& order) {
    std::string data, entries, names;
    for (const std::string& name : order) {
        const SubFile& file = files.at(name);
        PakIndexEntry entry;
        std::memset(&entry, 0, sizeof entry);
        entry.nameOffset = static_cast<u32>(names.size());
        entry.dataOffset = kPakHeaderSize + static_cast<u32>(data.size());
        entry.size = static_cast<u32>(file.bytes.size());
        entry.alignedSize = PakAlignedSize(entry.size);
        crypto::Md5Digest(file.bytes.data(), file.bytes.size(), entry.storedMd5);
        std::memcpy(entry.originalMd5, entry.storedMd5, 16);
        entry.originalSize = file.originalSize ? file.originalSize : entry.size;
        entry.method = file.method;
        entry.stampLow = static_cast<u32>(file.stamp);
        entry.stampHigh = static_cast<u32>(file.stamp >> 32);
        entries.append(reinterpret_cast<const char*>(&entry), sizeof entry);
        names += name + '\0';
        data += file.bytes + std::string(entry.alignedSize - entry.size, '\0');
    }
    std::string index = entries + names;
    index.resize(PakPaddedIndexSize(static_cast<u32>(index.size())), '\0');
    PakIndexKeys keys;
    GetIndexKeys(&keys);
    EncipherIndex(keys, reinterpret_cast<u8*>(&index[0]), index.size());
    PakHeader header;
    InitPakHeader(&header);
    header.fileCount = static_cast<u32>(order.size());
    header.indexOffset = kPakHeaderSize + static_cast<u32>(data.size());
    header.indexSize = static_cast<u32>(index.size());
    PutFile(path,
            std::string(reinterpret_cast<const char*>(&header), sizeof header) + data + index);
}

void ExpectSubFile(const SubFile& expected, const SubFile& held) {
    EXPECT_EQ(expected.bytes, held.bytes);
    EXPECT_EQ(expected.method, held.method);
    EXPECT_EQ(expected.originalSize ? expected.originalSize : expected.bytes.size(),
              held.originalSize);
    EXPECT_EQ(expected.stamp, held.stamp);
}

void SpoilIndexEntry(const std::string& path, u32 entry) {
    PakHeader header;
    const std::string bytes = FileBytes(path);
    Require(bytes.size() >= sizeof header, "not an archive");
    std::memcpy(&header, bytes.data(), sizeof header);
    Require(entry < header.fileCount, "no such entry");
    SetArchiveWord(path, true, entry * kPakEntrySize, header.indexSize);
}

void SpoilSubFileData(const std::string& path, const std::string& name) {
    i32 error = 0;
    PakArchive* archive = g_pakManager.Open(path.c_str(), PakReadOnly, false, &error);
    Require(archive != nullptr, "cannot open " + NativePath(path));
    PakFileEntry* entry = g_pakManager.FindSubFile(archive, name.c_str());
    Require(entry != nullptr && entry->size != 0, "no data to spoil in " + name);
    const u32 offset = entry->dataOffset;
    g_pakManager.Close(archive);
    std::string bytes = FileBytes(path);
    bytes[offset] ^= 0x20;
    PutFile(path, bytes);
}

std::set<std::string> ChangeLines(const std::string& report) {
    static const char* const kChanges[] = {"create ",  "replace ", "retime ",  "rewrite ",
                                           "restore ", "remove ",  "    add ", "    replace "};
    std::set<std::string> lines;
    std::istringstream in(report);
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        for (const char* prefix : kChanges)
            if (line.rfind(prefix, 0) == 0)
                lines.insert(line);
    }
    return lines;
}

std::set<std::string> ShownLines(std::initializer_list<std::string> lines) {
    std::set<std::string> shown;
    for (const std::string& line : lines)
        shown.insert(Shown(line));
    return shown;
}

} // namespace e2e
