// A whole installer run against a scratch game directory: the input becomes
// the payload appended to a small stub with its trailer, and the patch job
// runs to its end on the calling thread.
//
// Input: one selector byte, then the payload.
//   selector bit 0 clear: the inflated package, compressed here, so that
//                  the fuzzer works on the manifest and the data directly;
//   selector bit 0 set: the compressed stream itself, as the installer
//                  carries it;
//   selector bit 1 set: two more bytes come first, which damage one u32 of
//                  a.pak: the word (of its header, then of its deciphered
//                  index entries) and one of six values a damaged file
//                  holds (0, 1, its size, its size + 1, 0x7FFFFFFF,
//                  0xFFFFFFFF).
// The game directory holds two archives before every run (a.pak with two
// sub-files, data\b.pak empty) so that records can patch existing archives.
//
// Checked: nothing is written outside the game directory; the temporary
// package is gone after every run; a success leaves no side file of an
// archive rewrite (unless the package names a loose file so); a failure says
// why; no archive stays open; nothing of a.pak is lost: unless the
// package replaces it whole, a.pak is either byte for byte as it was, or
// holds (or its ".bak" holds) every sub-file it had, with its bytes, but
// those the package carries a record of; and the dry run, made before the
// run, foresaw it: a failure where it said so, a whole run where it said so,
// with the archives it said it would write holding the sub-files it named
// and those it said were up to date left as they were. (Not compared: an
// installer the dry run refuses as damaged, which the job may still apply in
// part; archives the dry run calls damaged; packages that write side names.)
#include "crypto/crypto.h"
#include "fuzz_support.h"
#include "pak/pak_manager.h"
#include "patch/dry_run.h"
#include "patch/extracted_package.h"
#include "patch/update_thread.h"

#include <zlib.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr char kStub[] = "installer stub: the program image stands here.";
constexpr u32 kStubSize = sizeof kStub - 1;

std::string g_archiveA; // the bytes of a.pak as the library writes it
std::string g_archiveB;
// The sub-files of a.pak, as the harness wrote them.
const std::pair<const char*, std::string> kHeldInA[] = {
    {"x.txt", "hello, world\n"},
    {"dir\\y.bin", std::string(100, '\x5a')},
};

std::string Native(std::string path) {
    for (char& c : path)
        if (c == '\\')
            c = '/';
    return path;
}

PakUpdateItem Item(const char* name, Stream* source, const std::string& bytes) {
    PakUpdateItem item;
    std::memset(&item, 0, sizeof item);
    item.source = source;
    item.size = static_cast<u32>(bytes.size());
    crypto::Md5Digest(bytes.data(), bytes.size(), item.storedMd5);
    std::memcpy(item.originalMd5, item.storedMd5, 16);
    item.originalSize = item.size;
    item.stampLow = 0x12345678;
    item.stampHigh = 0x01D90000;
    std::snprintf(item.name, sizeof item.name, "%s", name);
    return item;
}

std::string ReadNative(const std::string& path) {
    FileStream stream;
    std::string bytes;
    if (!stream.Open(path.c_str(), OpenRead))
        fuzz::Violation("cannot read back a prepared archive");
    bytes.resize(stream.GetSize());
    if (!bytes.empty() && !stream.Read(&bytes[0], static_cast<u32>(bytes.size())))
        fuzz::Violation("cannot read back a prepared archive");
    return bytes;
}

// The archives of the game directory, written once through the library.
void PrepareArchives() {
    const std::string dir = fuzz::FreshDirectory("prepare");
    const std::string& text = kHeldInA[0].second;
    const std::string& binary = kHeldInA[1].second;
    pitest::MemoryStream textSource(text, pitest::MemoryStream::ReadOnly);
    pitest::MemoryStream binarySource(binary, pitest::MemoryStream::ReadOnly);
    const PakUpdateItem items[] = {Item(kHeldInA[0].first, &textSource, text),
                                   Item(kHeldInA[1].first, &binarySource, binary)};
    i32 error = PakOk;
    const std::string a = dir + "\\a.pak";
    PakArchive* archive = g_pakManager.Open(a.c_str(), PakReadWrite, false, &error);
    if (archive == nullptr || !g_pakManager.Update(archive, items, 2, dir.c_str(), "t", true))
        fuzz::Violation("cannot prepare a.pak");
    g_archiveA = ReadNative(a);
    const std::string b = dir + "\\b.pak";
    archive = g_pakManager.Open(b.c_str(), PakReadWrite, false, &error);
    if (archive == nullptr)
        fuzz::Violation("cannot prepare b.pak");
    g_pakManager.Close(archive);
    g_archiveB = ReadNative(b);
    fuzz::RemoveTree(dir);
}

std::string DeflateRaw(const u8* data, size_t size) {
    z_stream z{};
    if (deflateInit2(&z, 1, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        fuzz::Violation("zlib cannot compress");
    std::string out(deflateBound(&z, static_cast<uLong>(size)), '\0');
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END)
        fuzz::Violation("zlib cannot compress");
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

std::string Installer(const std::string& compressed) {
    std::string bytes(kStub, kStubSize);
    bytes += compressed;
    const u32 trailer[2] = {kStubSize, kStubSize};
    bytes.append(reinterpret_cast<const char*>(trailer), sizeof trailer);
    return bytes;
}

void WriteString(const std::string& path, const std::string& bytes) {
    fuzz::WriteWholeFile(path, reinterpret_cast<const u8*>(bytes.data()), bytes.size());
}

bool EndsWith(const std::string& text, const char* tail) {
    const size_t length = std::strlen(tail);
    return text.size() >= length && text.compare(text.size() - length, length, tail) == 0;
}

std::string InflateRaw(const std::string& compressed) {
    std::string out;
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return out;
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
    z.avail_in = static_cast<uInt>(compressed.size());
    char buffer[16384];
    int result = Z_OK;
    while (result == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buffer);
        z.avail_out = sizeof buffer;
        result = inflate(&z, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - z.avail_out);
    }
    inflateEnd(&z);
    return out;
}

bool EndsWithIgnoringCase(const char* name, const char* tail) {
    const size_t length = std::strlen(name);
    const size_t tailLength = std::strlen(tail);
    if (length < tailLength)
        return false;
    for (size_t i = 0; i < tailLength; ++i) {
        char c = name[length - tailLength + i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c + 0x20);
        if (c != tail[i])
            return false;
    }
    return true;
}

bool Terminated(const char (&name)[kPatchNameSize]) {
    return std::memchr(name, 0, kPatchNameSize) != nullptr;
}

// Whether a record's name reaches the game's a.pak: letter case and '/'
// as Windows takes them, and "." components or doubled separators, which
// the file system skips.
bool NamesArchiveA(const char* name) {
    const std::string folded = FoldGameName(name);
    std::string kept;
    size_t start = 0;
    while (start <= folded.size()) {
        size_t end = folded.find('\\', start);
        if (end == std::string::npos)
            end = folded.size();
        const std::string component = folded.substr(start, end - start);
        if (!component.empty() && component != ".")
            kept += (kept.empty() ? "" : "\\") + component;
        start = end + 1;
    }
    return kept == "a.pak";
}

// What the package may do to the names the checks look at.
struct PackageReach {
    // A loose record is called like a temporary or side file: such names
    // prove nothing then.
    bool sideNames = false;
    bool replacesA = false;        // a loose record writes a.pak whole
    std::set<std::string> carried; // sub-files of a.pak it has records of
};

PackageReach Reach(const std::string& package) {
    PackageReach reach;
    pitest::MemoryStream reader(package, pitest::MemoryStream::ReadOnly);
    Manifest manifest;
    if (!ReadManifest(reader, 0, &manifest, nullptr))
        return reach;
    for (const PatchFileRecord& record : manifest.files) {
        if (record.inPak || !Terminated(record.name))
            continue;
        if (EndsWithIgnoringCase(record.name, ".tmp") || EndsWithIgnoringCase(record.name, ".bak"))
            reach.sideNames = true;
        reach.replacesA = reach.replacesA || NamesArchiveA(record.name);
    }
    for (const PatchPakRecord& pak : manifest.paks) {
        if (!Terminated(pak.name) || !NamesArchiveA(pak.name))
            continue;
        for (u64 i = pak.firstRecord;
             i < static_cast<u64>(pak.firstRecord) + pak.recordCount && i < manifest.files.size();
             ++i) {
            const PatchFileRecord& record = manifest.files[i];
            if (!Terminated(record.name))
                continue;
            std::string name = record.name;
            LowerCaseBytes(&name[0]);
            reach.carried.insert(name);
        }
    }
    return reach;
}

// One word of a.pak set to a value a damaged file may hold; the words of
// the index are set in its plain text, which is then enciphered again.
std::string DamagedArchiveA(u8 wordChoice, u8 valueChoice) {
    std::string bytes = g_archiveA;
    PakHeader header;
    std::memcpy(&header, bytes.data(), sizeof header);
    const u32 headerWords = kPakHeaderSize / 4;
    const u32 words = headerWords + header.fileCount * (kPakEntrySize / 4);
    const u32 word = wordChoice % words;
    const u32 size = static_cast<u32>(bytes.size());
    const u32 values[] = {0, 1, size, size + 1, 0x7FFFFFFF, 0xFFFFFFFF};
    const u32 value = values[valueChoice % 6];
    if (word < headerWords) {
        std::memcpy(&bytes[word * 4], &value, 4);
        return bytes;
    }
    u8* index = reinterpret_cast<u8*>(&bytes[header.indexOffset]);
    PakIndexKeys keys;
    GetIndexKeys(&keys);
    DecipherIndex(keys, index, header.indexSize);
    std::memcpy(index + (word - headerWords) * 4, &value, 4);
    EncipherIndex(keys, index, header.indexSize);
    return bytes;
}

// a.pak as it was, or every sub-file it held that the package did not
// carry, with its bytes, from the archive or the backup beside it.
void CheckNothingLostOfA(const std::string& game, const std::string& before,
                         const PackageReach& reach) {
    if (reach.replacesA)
        return;
    const std::string path = game + "\\a.pak";
    FileStream file;
    std::string now;
    if (file.Open(path.c_str(), OpenRead)) {
        now.resize(file.GetSize());
        if (!now.empty() && !file.Read(&now[0], static_cast<u32>(now.size())))
            fuzz::Violation("cannot read a.pak back");
        file.Close();
        if (now == before)
            return;
    }
    // The read-only open moves a lone backup back into place first.
    i32 error = PakOk;
    PakArchive* archive = g_pakManager.Open(path.c_str(), PakReadOnly, false, &error);
    if (archive == nullptr || error != PakOk)
        fuzz::Violation("a.pak was changed and can no longer be read whole");
    for (const auto& [name, bytes] : kHeldInA) {
        if (reach.carried.count(name) != 0)
            continue;
        PakFileEntry* entry = g_pakManager.FindSubFile(archive, name);
        std::string held(bytes.size(), '\0');
        if (entry == nullptr || entry->size != bytes.size() ||
            g_pakManager.ReadSubFile(entry, &held[0], entry->size) !=
                static_cast<i32>(entry->size) ||
            held != bytes)
            fuzz::Violation("a sub-file of a.pak was lost or changed");
    }
    g_pakManager.Close(archive);
}

void CheckLeftovers(const std::string& root, const std::string& game, bool succeeded,
                    bool sideNamesExpected) {
    std::error_code error;
    for (const fs::directory_entry& entry : fs::directory_iterator(Native(root), error)) {
        const std::string name = entry.path().filename().string();
        if (name != "game" && name != "setup.exe")
            fuzz::Violation("the job wrote outside the game directory");
    }
    for (const fs::directory_entry& entry :
         fs::directory_iterator(Native(fuzz::ScratchRoot()), error))
        if (entry.path().filename() != "job")
            fuzz::Violation("the job wrote outside the game directory");
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(Native(game), error)) {
        if (sideNamesExpected)
            break;
        // Side files are files: a loose record may well create a directory
        // called "x.pak.tmp" on its way to a file.
        if (!entry.is_regular_file(error))
            continue;
        const std::string name = entry.path().filename().string();
        const bool top = entry.path().parent_path() == fs::path(Native(game));
        if (top && name.compare(0, 2, "qv") == 0 && EndsWith(name, ".tmp"))
            fuzz::Violation("the temporary package was left behind");
        if (succeeded && (EndsWith(name, ".pak.tmp") || EndsWith(name, ".pak.bak")))
            fuzz::Violation("a successful run left an archive's side file");
    }
}

// What the dry run says of the run to come, made before it.
struct Forecast {
    bool made = false; // the dry run could read the installer
    UpdatePlan plan;
};

Forecast Foresee(const std::string& installer, const std::string& game) {
    Forecast forecast;
    ExtractedPackage package;
    std::string problem;
    if (!package.Extract(installer.c_str(), &problem))
        return forecast;
    PlanUpdate(package.GetManifest(), package.Payload(), game, &forecast.plan);
    forecast.made = true;
    return forecast;
}

std::string ReadWhole(const std::string& path) {
    FileStream stream;
    std::string bytes;
    if (!stream.Open(path.c_str(), OpenRead))
        return "<missing>";
    bytes.resize(stream.GetSize());
    if (!bytes.empty() && !stream.Read(&bytes[0], static_cast<u32>(bytes.size())))
        return "<unreadable>";
    return bytes;
}

void CheckForecast(const Forecast& forecast, bool succeeded, const PackageReach& reach,
                   const std::string& game, const std::map<std::string, std::string>& before) {
    if (!forecast.made || reach.sideNames || !forecast.plan.damage.empty())
        return;
    const UpdatePlan& plan = forecast.plan;
    if (plan.failure.empty() && !succeeded)
        fuzz::Violation("the dry run foresaw a whole run, and the run failed");
    if (!plan.failure.empty() && succeeded)
        fuzz::Violation("the dry run foresaw a failure, and the run succeeded");
    if (!succeeded)
        return;
    for (const PlannedPak& pak : plan.paks) {
        const std::string path = game + "\\" + pak.name;
        if (pak.action == PlannedPak::UpToDate && !pak.fromPackage) {
            const auto held = before.find(FoldGameName(pak.name));
            if (held != before.end() && ReadWhole(path) != held->second)
                fuzz::Violation("an archive the dry run called up to date was changed");
        }
        if (pak.action != PlannedPak::Create && pak.action != PlannedPak::Rewrite)
            continue;
        i32 error = PakOk;
        PakArchive* archive = g_pakManager.Open(path.c_str(), PakReadOnly, false, &error);
        if (archive == nullptr)
            fuzz::Violation("an archive the dry run said would be written cannot be read");
        for (const PlannedSubFile& sub : pak.subFiles) {
            std::string name = sub.name;
            LowerCaseBytes(&name[0]);
            if (g_pakManager.FindSubFile(archive, name.c_str()) == nullptr)
                fuzz::Violation("a sub-file the dry run said would be written is missing");
        }
        g_pakManager.Close(archive);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    fuzz::SilenceProgramLog();
    if (!InitPakUpdateLock())
        fuzz::Violation("no pak update lock");
    PrepareArchives();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    if (size < 1)
        return 0;
    const bool compressed = (data[0] & 1) != 0;
    const bool damaged = (data[0] & 2) != 0;
    const size_t skip = damaged ? 3 : 1;
    if (size < skip)
        return 0;
    const std::string archiveA = damaged ? DamagedArchiveA(data[1], data[2]) : g_archiveA;
    const std::string body(reinterpret_cast<const char*>(data + skip), size - skip);
    const std::string payload = compressed ? body : DeflateRaw(data + skip, size - skip);
    const PackageReach reach = Reach(compressed ? InflateRaw(body) : body);

    const std::string root = fuzz::FreshDirectory("job");
    const std::string game = root + "\\game";
    fuzz::FreshDirectory("job\\game");
    fuzz::FreshDirectory("job\\game\\data");
    WriteString(game + "\\a.pak", archiveA);
    WriteString(game + "\\data\\b.pak", g_archiveB);
    const std::string installer = root + "\\setup.exe";
    WriteString(installer, Installer(payload));

    const Forecast forecast = Foresee(installer, game);
    const std::map<std::string, std::string> before = {{"a.pak", archiveA},
                                                       {"data\\b.pak", g_archiveB}};
    bool succeeded;
    {
        CUpdateThread job;
        job.SetInstallerPath(installer);
        job.SetModuleDir(game);
        job.Run();
        succeeded = job.GetResult();
        if (!succeeded && job.GetFailureReason().empty())
            fuzz::Violation("a failed job gives no reason");
    }
    fuzz::ExpectNoOpenArchives(game);
    CheckLeftovers(root, game, succeeded, reach.sideNames);
    CheckNothingLostOfA(game, archiveA, reach);
    CheckForecast(forecast, succeeded, reach, game, before);
    fuzz::RemoveTree(root);
    return 0;
}
