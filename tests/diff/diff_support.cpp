#include "diff_support.h"

#include "pak/pak_format.h"
#include "pak/pak_manager.h"

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

} // namespace e2e
