// A pak archive made of arbitrary bytes, through every path that reads one:
// the read-only open (with a backup restore or a recreation where the flags
// ask for it), every sub-file read and hashed, paktool's inspection and
// digest check, and the read-write open followed by a rewrite that adds
// nothing, so that the writer sees damaged archives too.
//
// Input: one flags byte, then the archive.
//   bit 0: the archive is left as the backup of an interrupted update, and
//          the read-only open may recreate what it cannot use;
//   bit 1: the index that the header points at is plain text and enciphered
//          here, so that the fuzzer can shape entries and names.
//
// Checked: no archive stays open; paktool and the library agree on which
// archives are intact and what they hold; a rewrite that reports success
// leaves an archive that opens without damage and whose every sub-file
// matches its digest.
#include "crypto/crypto.h"
#include "fuzz_support.h"
#include "pak/pak_manager.h"
#include "paktool.h"

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr u32 kChunk = 4096;

// Reads the sub-file in pieces; true when every byte came and the digest
// matches the index.
bool ReadAndHash(PakFileEntry* entry) {
    static u8 buffer[kChunk];
    crypto::Md5 md5;
    u32 total = 0;
    for (;;) {
        const i32 got = g_pakManager.ReadSubFile(entry, buffer, kChunk);
        if (got < 0)
            return false;
        if (got == 0)
            break;
        md5.Update(buffer, static_cast<size_t>(got));
        total += static_cast<u32>(got);
    }
    if (total != entry->size)
        return false;
    u8 digest[16];
    md5.Final(digest);
    return std::memcmp(digest, entry->storedMd5, 16) == 0;
}

// The positioning rules of every origin, and a read at the end.
void ExerciseSeeks(PakFileEntry* entry) {
    for (u32 origin = 0; origin < 4; ++origin) {
        g_pakManager.SeekSubFile(entry, entry->size / 2 + origin, origin);
        if (entry->position > entry->size)
            fuzz::Violation("a seek moved past the end of a sub-file");
    }
    g_pakManager.SeekSubFile(entry, 0, 2);
    u8 byte;
    if (g_pakManager.ReadSubFile(entry, &byte, 1) != 0)
        fuzz::Violation("a read at the end of a sub-file returned bytes");
    g_pakManager.CloseSubFile(entry);
    if (entry->position != 0)
        fuzz::Violation("closing a sub-file did not rewind it");
}

struct Reading {
    bool opened = false;
    i32 error = PakOk;
    std::set<std::string> names;
    bool allVerified = true;
};

Reading ReadArchive(const std::string& path, bool recreate) {
    Reading reading;
    PakArchive* archive = g_pakManager.Open(path.c_str(), PakReadOnly, recreate, &reading.error);
    if (archive == nullptr)
        return reading;
    reading.opened = true;
    for (auto& file : archive->files) {
        PakFileEntry* entry = g_pakManager.FindSubFile(archive, file.first.c_str());
        if (entry != &file.second)
            fuzz::Violation("a listed sub-file is not found by its name");
        reading.names.insert(file.first);
        if (!ReadAndHash(entry))
            reading.allVerified = false;
        ExerciseSeeks(entry);
    }
    g_pakManager.Close(archive);
    return reading;
}

// paktool reads the same bytes with its own code around the format's checks.
void CompareWithPaktool(const std::string& path, const Reading& library) {
    paktool::ArchiveName name{path, path};
    paktool::Inspection inspection;
    try {
        inspection = paktool::Inspect(name);
        // Its verifier starts a hashing thread and buffers for every call:
        // only run where its verdict is compared, on an index both accept.
        if (library.opened && library.error == PakOk && inspection.problems.empty() &&
            !inspection.entries.empty())
            paktool::VerifyData(name, inspection.entries, inspection.fileSize,
                                &inspection.problems);
    } catch (const pitool::ToolError&) {
        return;
    }
    for (const paktool::ListedEntry& entry : inspection.entries)
        (void)paktool::ToUtf8(entry.name); // names are shown to the user
    if (!library.opened)
        return;
    if (library.error == PakIndexDamaged && inspection.problems.empty())
        fuzz::Violation("paktool passes an index the library finds damaged");
    if (library.error == PakOk && inspection.problems.empty()) {
        std::set<std::string> listed;
        for (const paktool::ListedEntry& entry : inspection.entries)
            listed.insert(entry.name);
        if (listed != library.names)
            fuzz::Violation("paktool and the library list different sub-files");
        if (!library.allVerified)
            fuzz::Violation("paktool verifies sub-files that the library cannot read back");
    }
}

std::set<std::string> LowerCased(const std::set<std::string>& names) {
    std::set<std::string> out;
    for (std::string name : names) {
        for (char& c : name)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c + 0x20);
        out.insert(name);
    }
    return out;
}

void RewriteInPlace(const std::string& dir, const std::string& path, const Reading& before) {
    i32 error = PakOk;
    PakArchive* archive = g_pakManager.Open(path.c_str(), PakReadWrite, false, &error);
    if (archive == nullptr)
        return;
    std::set<std::string> kept;
    for (const auto& file : archive->files)
        kept.insert(file.first);
    if (!g_pakManager.Update(archive, nullptr, 0, dir.c_str(), "a.pak.tmp", true))
        return;
    const Reading after = ReadArchive(path, false);
    if (!after.opened || after.error != PakOk)
        fuzz::Violation("a rewritten archive does not open cleanly");
    if (!after.allVerified)
        fuzz::Violation("a rewritten archive holds a sub-file that fails its digest");
    if (after.names != LowerCased(kept))
        fuzz::Violation("a rewrite lost or invented sub-files");
    if (before.opened && before.error == PakOk && after.names != LowerCased(before.names))
        fuzz::Violation("the two opens of one archive saw different sub-files");
}

// The whole cipher blocks of the index range that lie inside the bytes.
void EncipherIndexInPlace(std::vector<u8>* archive) {
    if (archive->size() < sizeof(PakHeader))
        return;
    PakHeader header;
    std::memcpy(&header, archive->data(), sizeof header);
    if (header.indexOffset >= archive->size())
        return;
    const size_t room = archive->size() - header.indexOffset;
    const size_t length = std::min<size_t>(header.indexSize, room);
    PakIndexKeys keys;
    GetIndexKeys(&keys);
    EncipherIndex(keys, archive->data() + header.indexOffset, length);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::SilenceProgramLog();
    if (!InitPakUpdateLock())
        fuzz::Violation("no pak update lock");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    if (size < 1)
        return 0;
    const u8 flags = data[0];
    std::vector<u8> archive(data + 1, data + size);
    if (flags & 2)
        EncipherIndexInPlace(&archive);

    // Only the archive and its two side files can appear: removing them is
    // cheaper than a fresh directory per run.
    static const std::string dir = fuzz::FreshDirectory("pak");
    const std::string path = dir + "\\a.pak";
    for (const char* name : {"", ".bak", ".tmp"})
        fuzz::RemoveTree(path + name);
    const bool asBackup = (flags & 1) != 0;
    fuzz::WriteWholeFile(asBackup ? path + ".bak" : path, archive.data(), archive.size());

    const Reading reading = ReadArchive(path, asBackup);
    CompareWithPaktool(path, reading);
    RewriteInPlace(dir, path, reading);
    fuzz::ExpectNoOpenArchives(dir);
    return 0;
}
