#include "patch/dry_run.h"

#include "pak/pak_reader.h"
#include "patch/pak_patch.h"
#include "patch/report.h"
#include "platform/codepage.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>

namespace {

constexpr u32 kCompareBufferSize = 65536;

// An archive as the job would find it, built in memory: the library's own
// lookup and merge then decide on it as they decide on an opened archive.
typedef std::unique_ptr<PakArchive> HeldArchive;

enum class Presence { Absent, File, Directory, Unknown };

Presence Probe(const std::string& path, DWORD* error) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? Presence::Directory : Presence::File;
    *error = GetLastError();
    return *error == ERROR_FILE_NOT_FOUND || *error == ERROR_PATH_NOT_FOUND ? Presence::Absent
                                                                            : Presence::Unknown;
}

bool SameStamp(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

// What a rewrite leaves, merged as the library merges it, with the entries
// it writes.
// `size` receives the length of the new archive.
bool Rewritten(PakArchive* archive, const std::vector<PakUpdateItem>& items, HeldArchive* out,
               u64* size) {
    PakMergeMap records;
    if (!MergePakIndex(archive, items.data(), static_cast<u32>(items.size()), &records))
        return false;
    HeldArchive next = std::make_unique<PakArchive>();
    for (auto& pair : records) {
        if (pair.second.item != nullptr)
            SetEntryFromItem(*pair.second.item, pair.second.item->size, &pair.second.entry);
        next->files[pair.first] = MakeFileEntry(next.get(), pair.second.entry);
    }
    *size = MergedArchiveSize(records);
    *out = std::move(next);
    return true;
}

class Planner {
  public:
    Planner(const Manifest& manifest, Stream& payload, const std::string& gameDir, UpdatePlan* plan,
            bool compareBytes)
        : m_manifest(manifest), m_payload(payload), m_gameDir(gameDir), m_plan(plan),
          m_compareBytes(compareBytes), m_buffers(2, std::vector<u8>(kCompareBufferSize)) {}

    void Run();

  private:
    bool Stop(const std::string& why) {
        m_plan->failure = why;
        return false;
    }
    std::string GamePath(const char* name) const { return m_gameDir + "\\" + name; }
    bool PlanFiles();
    Presence Look(const std::string& folded, DWORD* error);
    bool MakeWay(const char* name, bool makesFile);
    bool PlanFile(const PatchFileRecord& record);
    bool SameBytes(FileStream& file, const PatchFileRecord& record, bool* same);
    bool PlanPak(const PatchPakRecord& pak);
    bool FindArchive(const PatchPakRecord& pak, PlannedPak* planned, HeldArchive* archive);
    bool FindArchiveOnDisk(const std::string& path, PlannedPak* planned, HeldArchive* archive);
    bool ReadArchive(Stream& file, u32 base, u32 length, const std::string& label,
                     HeldArchive* archive);

    const Manifest& m_manifest;
    Stream& m_payload;
    const std::string m_gameDir;
    UpdatePlan* m_plan;
    const bool m_compareBytes;
    std::vector<std::vector<u8>> m_buffers;
    // The last loose record written to each path, by folded name.
    std::map<std::string, const PatchFileRecord*> m_written;
    // Archives as earlier pak records of this package leave them.
    std::map<std::string, HeldArchive> m_archives;
    // What the loose files leave at the names they touch (the directories
    // made on their way, and the files), by folded name.
    std::map<std::string, Presence> m_made;
};

void Planner::Run() {
    DWORD error = 0;
    if (Probe(m_gameDir, &error) != Presence::Directory) {
        Stop("the game directory " + m_gameDir + " does not exist or is not a directory");
        return;
    }
    ManifestProblem problem;
    if (!ValidateManifest(m_manifest, m_payload.GetSize(), static_cast<u32>(m_gameDir.size()),
                          &problem)) {
        Stop("a real run would refuse the patch for this directory: " + problem.what);
        return;
    }
    if (!PlanFiles())
        return;
    for (const PatchPakRecord& pak : m_manifest.paks)
        if (!PlanPak(pak))
            return;
}

// What the job finds at a name (folded) at this point of the run.
Presence Planner::Look(const std::string& folded, DWORD* error) {
    const auto made = m_made.find(folded);
    return made != m_made.end() ? made->second : Probe(GamePath(folded.c_str()), error);
}

// The job makes every missing directory on the way to a file (a file in the
// way makes that fail, and the open after it), then opens the file (a
// directory at its name makes that fail). False, with the plan stopped,
// where a real run fails.
bool Planner::MakeWay(const char* name, bool makesFile) {
    const std::string folded = FoldGameName(name);
    DWORD error = 0;
    for (size_t i = 0; i < folded.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(folded[i]);
        if (pi::IsLeadByte(c)) {
            ++i; // a double-byte character: its second byte is no separator
            continue;
        }
        if (c != '\\')
            continue;
        const std::string prefix = folded.substr(0, i);
        switch (Look(prefix, &error)) {
        case Presence::Directory:
            break;
        case Presence::Absent:
            m_made[prefix] = Presence::Directory;
            break;
        case Presence::File:
            return Stop(FormatText("a real run would fail: %s is a file, so %s cannot be written",
                                   prefix.c_str(), name));
        case Presence::Unknown:
            return Stop(FormatText("cannot look at %s: %s", prefix.c_str(),
                                   DescribeSystemError(error).c_str()));
        }
    }
    if (Look(folded, &error) == Presence::Directory)
        return Stop(
            FormatText("a real run would fail: %s is a directory and cannot be written", name));
    if (makesFile)
        m_made[folded] = Presence::File;
    return true;
}

// A path written twice ends with the bytes of its last record.
bool Planner::PlanFiles() {
    std::vector<std::string> order;
    for (const PatchFileRecord& record : m_manifest.files) {
        if (record.inPak)
            continue;
        if (!MakeWay(record.name, true))
            return false;
        const std::string folded = FoldGameName(record.name);
        if (m_written.count(folded) == 0)
            order.push_back(folded);
        m_written[folded] = &record;
    }
    for (const std::string& folded : order)
        if (!PlanFile(*m_written[folded]))
            return false;
    return true;
}

bool Planner::PlanFile(const PatchFileRecord& record) {
    PlannedFile planned;
    planned.name = record.name;
    planned.newSize = record.dataSize;
    const std::string path = GamePath(record.name);
    DWORD error = 0;
    const Presence presence = Probe(path, &error);
    if (presence == Presence::Directory)
        return Stop(FormatText("a real run would fail: %s is a directory and cannot be written",
                               record.name));
    if (presence == Presence::Unknown)
        return Stop(
            FormatText("cannot look at %s: %s", record.name, DescribeSystemError(error).c_str()));
    if (presence == Presence::File) {
        FileStream file;
        DWORD high = 0;
        FILETIME stamp = {0, 0};
        if (!file.Open(path.c_str(), OpenRead) ||
            !GetFileTime(file.file.handle, nullptr, nullptr, &stamp))
            return Stop(FormatText("cannot read %s: %s", record.name,
                                   DescribeSystemError(GetLastError()).c_str()));
        const DWORD low = GetFileSize(file.file.handle, &high);
        planned.oldSize = (static_cast<u64>(high) << 32) | low;
        bool same = m_compareBytes && planned.oldSize == record.dataSize;
        if (same && !SameBytes(file, record, &same))
            return false;
        planned.action = same ? PlannedFile::SameBytes : PlannedFile::Replace;
        planned.timeChanges = same && !SameStamp(stamp, record.stamp);
    }
    m_plan->files.push_back(planned);
    return true;
}

bool Planner::SameBytes(FileStream& file, const PatchFileRecord& record, bool* same) {
    u8* const held = m_buffers[0].data();
    u8* const carried = m_buffers[1].data();
    if (record.dataSize != 0 &&
        !m_payload.Seek(static_cast<i32>(m_manifest.dataBase + record.dataOffset)))
        return Stop("cannot read the extracted patch");
    *same = true;
    for (u32 remaining = record.dataSize; *same && remaining != 0;) {
        const u32 chunk = remaining < kCompareBufferSize ? remaining : kCompareBufferSize;
        if (!m_payload.Read(carried, chunk))
            return Stop("cannot read the extracted patch");
        if (!file.Read(held, chunk))
            return Stop(FormatText("cannot read %s: %s", record.name,
                                   DescribeSystemError(GetLastError()).c_str()));
        *same = std::memcmp(held, carried, chunk) == 0;
        remaining -= chunk;
    }
    return true;
}

bool Planner::PlanPak(const PatchPakRecord& pak) {
    PlannedPak planned;
    planned.name = pak.name;
    planned.records = pak.recordCount;
    if (pak.recordCount == 0) {
        m_plan->paks.push_back(planned);
        return true;
    }
    HeldArchive archive;
    if (!FindArchive(pak, &planned, &archive))
        return false;
    // The job's own comparison and merge, on the archive as it would find it.
    std::vector<PakUpdateItem> items;
    FindChangedRecords(archive.get(), pak, m_manifest.files, &m_payload, m_manifest.dataBase,
                       nullptr, &items);
    for (const PakUpdateItem& item : items)
        planned.subFiles.push_back(
            {item.name, g_pakManager.FindSubFile(archive.get(), item.name) != nullptr});
    if (items.empty()) {
        planned.action = PlannedPak::UpToDate;
    } else {
        if (planned.action != PlannedPak::Create)
            planned.action = PlannedPak::Rewrite;
        if (!Rewritten(archive.get(), items, &archive, &planned.newSize))
            return Stop("not enough memory to follow the rewrite of " + planned.name);
    }
    m_archives[FoldGameName(pak.name)] = std::move(archive);
    m_plan->paks.push_back(planned);
    return true;
}

// The archive as the job would open it at this point of the run: as an
// earlier record of this patch left it, as a loose record of it writes it,
// or from the disk. Sets `planned->action` to Create when there is none yet.
bool Planner::FindArchive(const PatchPakRecord& pak, PlannedPak* planned, HeldArchive* archive) {
    const std::string folded = FoldGameName(pak.name);
    const auto earlier = m_archives.find(folded);
    if (earlier != m_archives.end()) {
        *archive = std::move(earlier->second); // this record leaves it anew
        return true;
    }
    *archive = std::make_unique<PakArchive>();
    const auto written = m_written.find(folded);
    if (written != m_written.end()) {
        const PatchFileRecord& record = *written->second;
        planned->fromPackage = true;
        return ReadArchive(m_payload, m_manifest.dataBase + record.dataOffset, record.dataSize,
                           std::string(pak.name), archive);
    }
    return FindArchiveOnDisk(GamePath(pak.name), planned, archive);
}

// Where the library's read-write open takes the archive from, by its own
// decision: its file, the backup it moves back first, or nothing (it is
// created). A leftover backup beside an archive that opens whole is deleted.
bool Planner::FindArchiveOnDisk(const std::string& path, PlannedPak* planned,
                                HeldArchive* archive) {
    const std::string& name = planned->name;
    if (!MakeWay(name.c_str(), false))
        return false;
    switch (ChoosePakWriteSource(path)) {
    case PakWriteSource::Directory:
        return Stop("a real run would fail: the archive " + name + " is a directory");
    case PakWriteSource::Unknown:
        return Stop("cannot look at the archive " + name + " or " + name +
                    ".bak: " + DescribeSystemError(GetLastError()));
    case PakWriteSource::Create:
        planned->action = PlannedPak::Create;
        return true;
    case PakWriteSource::Backup:
        planned->restoresBackup = true;
        break;
    case PakWriteSource::Archive:
        break;
    }
    const std::string source = planned->restoresBackup ? path + ".bak" : path;
    const std::string label = planned->restoresBackup ? name + ".bak" : name;
    FileStream file;
    DWORD high = 0;
    if (!file.Open(source.c_str(), OpenRead))
        return Stop("cannot read the archive " + label + ": " +
                    DescribeSystemError(GetLastError()));
    const DWORD size = GetFileSize(file.file.handle, &high);
    if (high != 0 || size > 0x7FFFFFFF)
        return Stop("the archive " + label + " is larger than the installer can handle");
    planned->oldSize = size;
    // The job's read-write open gives an empty file the header of an empty
    // archive.
    if (size != 0 && !ReadArchive(file, 0, size, label, archive))
        return false;
    planned->removesBackup = !planned->restoresBackup && HasLeftoverPakBackup(path);
    return true;
}

bool Planner::ReadArchive(Stream& file, u32 base, u32 length, const std::string& label,
                          HeldArchive* archive) {
    std::vector<ArchiveEntry> entries;
    ArchiveProblem problem;
    if (!ReadArchiveIndex(file, base, length, &entries, &problem))
        return Stop("cannot read the archive " + label + ": " + problem.what);
    if (ArchiveIsRefused(problem.damage))
        return Stop("a real run would fail: the archive " + label + " is damaged: " + problem.what);
    if (problem.damage != ArchiveIntact)
        m_plan->damage.push_back("the archive " + label + " is damaged: " + problem.what);
    for (const ArchiveEntry& entry : entries)
        (*archive)->files[entry.name] = MakeFileEntry(archive->get(), entry.index);
    return true;
}

struct PlanCounts {
    u32 created = 0, replaced = 0, same = 0, retimed = 0;
    u32 paksCreated = 0, paksRewritten = 0, paksKept = 0, added = 0, replacedSubFiles = 0;
};

void DescribeFiles(const UpdatePlan& plan, std::string* text, PlanCounts* counts) {
    for (const PlannedFile& file : plan.files) {
        switch (file.action) {
        case PlannedFile::Create:
            ++counts->created;
            *text += "create file     " + file.name + "\n";
            break;
        case PlannedFile::Replace:
            ++counts->replaced;
            *text += "replace file    " + file.name + "\n";
            break;
        case PlannedFile::SameBytes:
            ++counts->same;
            if (file.timeChanges) {
                ++counts->retimed;
                *text +=
                    "retime file     " + file.name + " (same bytes; a real run sets its time)\n";
            }
            break;
        }
    }
}

// "1 record", "2 records".
std::string Counted(u32 count, const char* noun) {
    return FormatText("%u %s%s", count, noun, count == 1 ? "" : "s");
}

std::string PakLine(const PlannedPak& pak) {
    const char* origin = pak.fromPackage ? ", as a loose record of this patch writes it" : "";
    switch (pak.action) {
    case PlannedPak::NoRecords:
        return "keep archive    " + pak.name + " (no records)\n";
    case PlannedPak::UpToDate:
        return FormatText("keep archive    %s (%s up to date%s)\n", pak.name.c_str(),
                          Counted(pak.records, "record").c_str(), origin);
    case PlannedPak::Create:
        return FormatText("create archive  %s (%s)\n", pak.name.c_str(),
                          Counted(pak.records, "sub-file").c_str());
    case PlannedPak::Rewrite:
        break;
    }
    return FormatText("rewrite archive %s (%u of %s%s)\n", pak.name.c_str(),
                      static_cast<u32>(pak.subFiles.size()), Counted(pak.records, "record").c_str(),
                      origin);
}

void DescribePaks(const UpdatePlan& plan, std::string* text, PlanCounts* counts) {
    for (const PlannedPak& pak : plan.paks) {
        if (pak.restoresBackup)
            *text += "restore archive " + pak.name + " from " + pak.name + ".bak\n";
        if (pak.removesBackup)
            *text += "remove leftover " + pak.name + ".bak\n";
        *text += PakLine(pak);
        counts->paksCreated += pak.action == PlannedPak::Create;
        counts->paksRewritten += pak.action == PlannedPak::Rewrite;
        counts->paksKept +=
            pak.action == PlannedPak::NoRecords || pak.action == PlannedPak::UpToDate;
        for (const PlannedSubFile& sub : pak.subFiles) {
            *text += (sub.replaces ? "    replace " : "    add     ") + sub.name + "\n";
            ++(sub.replaces ? counts->replacedSubFiles : counts->added);
        }
    }
}

} // namespace

UpdatePlan::Outcome UpdatePlan::GetOutcome() const {
    if (!failure.empty() || !damage.empty())
        return Unusable;
    for (const PlannedFile& file : files)
        if (file.action != PlannedFile::SameBytes)
            return Changes;
    for (const PlannedPak& pak : paks)
        if (pak.restoresBackup || pak.removesBackup || pak.action == PlannedPak::Create ||
            pak.action == PlannedPak::Rewrite)
            return Changes;
    return NoChange;
}

void PlanUpdate(const Manifest& manifest, Stream& payload, const std::string& gameDir,
                UpdatePlan* plan, bool compareBytes) {
    *plan = UpdatePlan();
    Planner(manifest, payload, gameDir, plan, compareBytes).Run();
}

u64 UpdatePlan::RoomNeeded() const {
    i64 taken = 0; // what the run has added to the volume so far
    for (const PlannedFile& file : files)
        taken += static_cast<i64>(file.newSize) - static_cast<i64>(file.oldSize);
    i64 peak = taken;
    for (const PlannedPak& pak : paks) {
        if (pak.action != PlannedPak::Create && pak.action != PlannedPak::Rewrite)
            continue;
        peak = std::max(peak, taken + static_cast<i64>(pak.newSize));
        taken += static_cast<i64>(pak.newSize) - static_cast<i64>(pak.oldSize);
    }
    return peak > 0 ? static_cast<u64>(peak) : 0;
}

std::string DescribePlan(const UpdatePlan& plan) {
    std::string text;
    PlanCounts counts;
    DescribeFiles(plan, &text, &counts);
    DescribePaks(plan, &text, &counts);
    for (const std::string& damage : plan.damage)
        text += "DAMAGED: " + damage + "\n";
    if (!plan.failure.empty())
        text += "FAILED: " + plan.failure + "\n";
    text +=
        FormatText("files: %u to create, %u to replace, %u already equal (%u with another "
                   "time)\narchives: %u to create, %u to rewrite, %u to keep; sub-files: %u to "
                   "add, %u to replace\n",
                   counts.created, counts.replaced, counts.same, counts.retimed, counts.paksCreated,
                   counts.paksRewritten, counts.paksKept, counts.added, counts.replacedSubFiles);
    switch (plan.GetOutcome()) {
    case UpdatePlan::NoChange:
        text += "a real run would change no byte\n";
        break;
    case UpdatePlan::Changes:
        text += "a real run would change the game directory\n";
        break;
    case UpdatePlan::Unusable:
        text += plan.failure.empty() ? "the game directory holds damaged archives\n"
                                     : "the dry run could not follow the run to its end\n";
        break;
    }
    return text;
}
