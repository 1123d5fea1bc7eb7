// `mkpatch inspect`: reads an installer the way the installer itself does
// (trailer, inflation into a temporary file, manifest, the checks made before
// the game directory is touched), hashes every record, and prints it all.
#include "mkpatch.h"

#include "json_output.h"
#include "patch/dry_run.h"
#include "patch/installer_reader.h"
#include "patch/package.h"
#include "patch/report.h"
#include "runtime/stream.h"
#include "size_report.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

namespace mkpatch {
namespace {

// The inflated package lives in the system's temporary directory only while
// it is inspected.
class TempFile {
  public:
    TempFile() {
        char dir[MAX_PATH];
        DWORD length = GetTempPathA(MAX_PATH, dir);
        if (length == 0 || length >= MAX_PATH || GetTempFileNameA(dir, "mkp", 0, m_path) == 0)
            ThrowToolError(kExitUsageOrIo, "cannot create a temporary file: " +
                                               DescribeSystemError(GetLastError()));
        m_nativePath = ToUtf8(m_path);
        std::replace(m_nativePath.begin(), m_nativePath.end(), '\\', '/');
        RemoveOnInterrupt(&m_nativePath);
    }
    ~TempFile() {
        RemoveOnInterrupt(nullptr);
        DeleteFileA(m_path);
    }
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    const char* Path() const { return m_path; }

  private:
    char m_path[MAX_PATH] = {};
    std::string m_nativePath;
};

struct Inspection {
    std::string installer; // UTF-8
    u32 fileSize = 0;
    bool hasTrailer = false;
    PatchTrailer trailer = {0, 0};
    u32 compressedSize = 0;
    InstallerSignature signature;
    bool inflated = false;
    u32 packageSize = 0;
    bool hasManifest = false;
    Manifest manifest;
    std::vector<bool> digestOk; // per file record, once hashed
    std::vector<std::string> damage;
};

// Reads what the installer itself reads, in its order; damage is noted, a
// file that cannot be read or written ends the tool.
void ReadInstaller(FileStream& file, const char* tempPath, Inspection* report) {
    PackageLocation where;
    PackageProblem problem;
    const bool found = FindPackage(file, report->installer, &where, &problem);
    report->fileSize = where.fileSize;
    if (!found && !problem.damaged)
        ThrowToolError(kExitUsageOrIo, problem.what);
    report->hasTrailer = found || where.fileSize >= kPatchTrailerSize;
    report->trailer = where.trailer;
    report->compressedSize = where.compressedSize;
    if (!found) {
        report->damage.push_back(problem.what);
        return;
    }
    report->signature = ReadSignature(file, where);
    FileStream temp;
    if (!temp.Open(tempPath, OpenCreate))
        ThrowToolError(kExitUsageOrIo, "cannot write the temporary file " + ToUtf8(tempPath));
    if (!UnpackPackage(file, report->installer, where, temp, ToUtf8(tempPath), &problem)) {
        if (!problem.damaged)
            ThrowToolError(kExitUsageOrIo, problem.what);
        report->damage.push_back(problem.what);
        return;
    }
    temp.Close();
    report->inflated = true;
    FileStream payload;
    if (!payload.Open(tempPath, OpenRead))
        ThrowToolError(kExitUsageOrIo, "cannot reopen the temporary file " + ToUtf8(tempPath));
    report->packageSize = payload.GetSize();
    if (!LoadManifest(payload, 0, &report->manifest, &problem)) {
        report->damage.push_back(ToUtf8(problem.what));
        return;
    }
    report->hasManifest = true;
    if (!CheckRecordDigests(payload, report->manifest, &report->digestOk))
        ThrowToolError(kExitUsageOrIo, "cannot read the temporary file " + ToUtf8(tempPath));
    for (size_t i = 0; i < report->digestOk.size(); ++i)
        if (!report->digestOk[i])
            report->damage.push_back(FormatText("file record %u (%s): its data does not match "
                                                "its digest",
                                                static_cast<u32>(i),
                                                ToUtf8(report->manifest.files[i].name).c_str()));
}

// The longest game directory (in bytes) to which every name still fits.
long MaxGameDirLength(const Manifest& manifest) {
    long longest = MAX_PATH - 3;
    for (const PatchFileRecord& record : manifest.files)
        if (!record.inPak)
            longest = std::min<long>(longest, MAX_PATH - 2 - (long)strlen(record.name));
    for (const PatchPakRecord& pak : manifest.paks)
        longest = std::min<long>(longest, MAX_PATH - 7 - (long)strlen(pak.name));
    return std::max<long>(longest, 0);
}

std::vector<size_t> UnlistedInPakRecords(const Manifest& manifest) {
    std::vector<bool> listed(manifest.files.size(), false);
    for (const PatchPakRecord& pak : manifest.paks)
        for (u32 i = 0; i < pak.recordCount; ++i)
            listed[pak.firstRecord + i] = true;
    std::vector<size_t> unlisted;
    for (size_t i = 0; i < manifest.files.size(); ++i)
        if (manifest.files[i].inPak && !listed[i])
            unlisted.push_back(i);
    return unlisted;
}

// Why the dry run finds a sub-file carried: added, replaced, or already
// there.
Carried SubFileReason(const PlannedPak& planned, const char* name) {
    for (const PlannedSubFile& sub : planned.subFiles)
        if (sub.name == name)
            return sub.replaces ? Carried::Changed : Carried::New;
    return Carried::Equal;
}

// The same for loose files: only the last record written to a path counts
// (the plan follows only that one).
std::vector<Carried> LooseReasons(const Manifest& manifest, const UpdatePlan& plan) {
    std::map<std::string, size_t> last;
    for (size_t i = 0; i < manifest.files.size(); ++i)
        if (!manifest.files[i].inPak)
            last[FoldGameName(manifest.files[i].name)] = i;
    std::vector<Carried> reasons(manifest.files.size(), Carried::Unknown);
    for (const PlannedFile& file : plan.files) {
        const size_t i = last.at(FoldGameName(file.name));
        reasons[i] = file.action == PlannedFile::Create    ? Carried::New
                     : file.action == PlannedFile::Replace ? Carried::Changed
                                                           : Carried::Equal;
    }
    return reasons;
}

// What the package carries, for the size report. Only a dry run (`plan`)
// tells why: without one, every record is just carried.
std::vector<CarriedRecord> CarriedRecords(const Manifest& manifest, const UpdatePlan* plan) {
    std::vector<CarriedRecord> records;
    std::vector<bool> listed(manifest.files.size(), false);
    for (size_t p = 0; p < manifest.paks.size(); ++p) {
        const PatchPakRecord& pak = manifest.paks[p];
        const PlannedPak* planned = plan && p < plan->paks.size() ? &plan->paks[p] : nullptr;
        for (u32 i = pak.firstRecord; i < pak.firstRecord + pak.recordCount; ++i) {
            const PatchFileRecord& record = manifest.files[i];
            listed[i] = true;
            records.push_back({pak.name, record.name, record.dataSize,
                               planned ? SubFileReason(*planned, record.name) : Carried::Unknown});
        }
    }
    const std::vector<Carried> loose =
        plan ? LooseReasons(manifest, *plan)
             : std::vector<Carried>(manifest.files.size(), Carried::Unknown);
    for (size_t i = 0; i < manifest.files.size(); ++i) {
        const PatchFileRecord& record = manifest.files[i];
        if (!record.inPak)
            records.push_back({"", record.name, record.dataSize, loose[i]});
        else if (!listed[i])
            records.push_back({"", record.name, record.dataSize, Carried::Unknown, true});
    }
    return records;
}

void PrintRecordText(const Inspection& report, size_t i, const char* indent) {
    const PatchFileRecord& record = report.manifest.files[i];
    printf("%s%s  %u bytes", indent, ToUtf8(record.name).c_str(), record.dataSize);
    if (record.inPak)
        printf("  original %u bytes  method %u", record.originalSize, record.method);
    printf("  stamp %s  md5 %s %s\n", FormatStamp(record.stamp).c_str(),
           HexDigest(record.storedMd5).c_str(), report.digestOk[i] ? "ok" : "MISMATCH");
}

void PrintSignatureText(const InstallerSignature& signature) {
    if (!signature.present) {
        printf("signature  none\n");
        return;
    }
    if (signature.problem.empty())
        printf("signature  signed by %s", signature.signer.c_str());
    else
        printf("signature  present, but %s", signature.problem.c_str());
    printf(" (certificate table at %u, %u bytes; `osslsigncode verify` checks it)\n",
           signature.table, signature.size);
}

void PrintText(const Inspection& report, const UpdatePlan* plan) {
    printf("installer  %s (%u bytes)\n", report.installer.c_str(), report.fileSize);
    if (report.hasTrailer)
        printf("trailer    payload start %u, second word %u, compressed package %u bytes\n",
               report.trailer.payloadStart, report.trailer.payloadStartCopy, report.compressedSize);
    if (report.hasTrailer)
        PrintSignatureText(report.signature);
    if (report.inflated)
        printf("package    %u bytes inflated\n", report.packageSize);
    if (report.hasManifest) {
        const Manifest& manifest = report.manifest;
        printf("manifest   %zu pak record(s), %zu file record(s), data area at %u (%u bytes)\n",
               manifest.paks.size(), manifest.files.size(), manifest.dataBase,
               report.packageSize - manifest.dataBase);
        for (const PatchPakRecord& pak : manifest.paks) {
            printf("pak %s  stamp %s  ", ToUtf8(pak.name).c_str(), FormatStamp(pak.stamp).c_str());
            if (pak.recordCount == 0)
                printf("no records\n");
            else
                printf("records %u to %u\n", pak.firstRecord,
                       pak.firstRecord + pak.recordCount - 1);
            for (u32 i = 0; i < pak.recordCount; ++i)
                PrintRecordText(report, pak.firstRecord + i, "    ");
        }
        printf("loose files\n");
        for (size_t i = 0; i < manifest.files.size(); ++i)
            if (!manifest.files[i].inPak)
                PrintRecordText(report, i, "    ");
        std::vector<size_t> unlisted = UnlistedInPakRecords(manifest);
        if (!unlisted.empty()) {
            printf("in-pak records outside every pak range (the installer skips them)\n");
            for (size_t i : unlisted)
                PrintRecordText(report, i, "    ");
        }
        printf("game directory: at most %ld bytes for these names\n", MaxGameDirLength(manifest));
        PrintSizeReport(SizeRows(CarriedRecords(manifest, plan)));
    }
    for (const std::string& problem : report.damage)
        printf("DAMAGED: %s\n", problem.c_str());
    if (report.damage.empty())
        printf("ok: all %zu record digests match\n", report.manifest.files.size());
}

pitool::Json RecordJson(const Inspection& report, size_t i) {
    const PatchFileRecord& record = report.manifest.files[i];
    return {{"index", static_cast<u32>(i)},
            {"name", ToUtf8(record.name)},
            {"dataOffset", record.dataOffset},
            {"size", record.dataSize},
            {"storedMd5", HexDigest(record.storedMd5)},
            {"originalSize", record.originalSize},
            {"originalMd5", HexDigest(record.originalMd5)},
            {"method", record.method},
            {"stamp", StampValue(record.stamp)},
            {"stampDate", FormatStamp(record.stamp)},
            {"inPak", record.inPak},
            {"digestOk", static_cast<bool>(report.digestOk[i])}};
}

void PrintJson(const Inspection& report) {
    const Manifest& manifest = report.manifest;
    pitool::Json paks = pitool::Json::array(), loose = pitool::Json::array(),
                 unlisted = pitool::Json::array();
    if (report.hasManifest) {
        for (const PatchPakRecord& pak : manifest.paks) {
            pitool::Json files = pitool::Json::array();
            for (u32 i = 0; i < pak.recordCount; ++i)
                files.push_back(RecordJson(report, pak.firstRecord + i));
            paks.push_back({{"name", ToUtf8(pak.name)},
                            {"stamp", StampValue(pak.stamp)},
                            {"stampDate", FormatStamp(pak.stamp)},
                            {"firstRecord", pak.firstRecord},
                            {"recordCount", pak.recordCount},
                            {"files", files}});
        }
        for (size_t i = 0; i < manifest.files.size(); ++i)
            if (!manifest.files[i].inPak)
                loose.push_back(RecordJson(report, i));
        for (size_t i : UnlistedInPakRecords(manifest))
            unlisted.push_back(RecordJson(report, i));
    }
    pitool::Json document = {{"installer", report.installer}, {"size", report.fileSize}};
    // The trailer's words are packed: taken by value, since nlohmann binds
    // references to what it is given.
    if (report.hasTrailer)
        document["trailer"] = {{"payloadStart", u32{report.trailer.payloadStart}},
                               {"secondWord", u32{report.trailer.payloadStartCopy}},
                               {"compressedSize", report.compressedSize}};
    if (report.hasTrailer) {
        const InstallerSignature& signature = report.signature;
        document["signature"] = {{"signed", signature.present}};
        if (signature.present)
            document["signature"].update({{"signer", signature.signer},
                                          {"problem", signature.problem},
                                          {"certificateTable", signature.table},
                                          {"certificateSize", signature.size}});
    }
    if (report.inflated)
        document["packageSize"] = report.packageSize;
    if (report.hasManifest) {
        document["dataBase"] = manifest.dataBase;
        document["maxGameDirLength"] = MaxGameDirLength(manifest);
    }
    document["paks"] = paks;
    document["looseFiles"] = loose;
    document["unlistedRecords"] = unlisted;
    document["sizeReport"] = report.hasManifest
                                 ? SizeReportJson(SizeRows(CarriedRecords(manifest, nullptr)))
                                 : pitool::Json::array();
    document["damage"] = report.damage;
    document["ok"] = report.damage.empty();
    printf("%s\n", pitool::JsonText(document).c_str());
}

// The game directory as the installer takes it: code page 936, no trailing
// separator (the root stays "/").
std::string GameDirArgument(std::string dir) {
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    return PathToAcp(dir);
}

// The installer's dry run, on the package inspected above.
void PlanAgainst(const char* payloadPath, const Manifest& manifest, const std::string& against,
                 UpdatePlan* plan) {
    FileStream payload;
    if (!payload.Open(payloadPath, OpenRead))
        ThrowToolError(kExitUsageOrIo, "cannot reopen the temporary file " + ToUtf8(payloadPath));
    PlanUpdate(manifest, payload, GameDirArgument(against), plan);
}

int PrintPlan(const UpdatePlan& plan, const std::string& against) {
    printf("dry run against %s (nothing there is changed):\n%s", against.c_str(),
           ToUtf8(DescribePlan(plan)).c_str());
    switch (plan.GetOutcome()) {
    case UpdatePlan::NoChange:
        return kExitOk;
    case UpdatePlan::Changes:
        return kExitWouldChange;
    case UpdatePlan::Unusable:
        break;
    }
    ThrowToolError(kExitBadInput,
                   ToUtf8(plan.failure.empty() ? plan.damage.front() : plan.failure));
}

} // namespace

int RunInspect(const std::string& installer, bool json, const std::string& against) {
    Inspection report;
    report.installer = installer;
    FileStream file;
    if (!file.Open(PathToAcp(installer).c_str(), OpenRead))
        ThrowToolError(kExitUsageOrIo,
                       "cannot open " + installer + ": " + DescribeSystemError(GetLastError()));
    TempFile temp; // the inflated package, until the dry run is done
    ReadInstaller(file, temp.Path(), &report);
    // The dry run comes first: the size report tells what it found.
    UpdatePlan plan;
    const bool planned = report.damage.empty() && !against.empty();
    if (planned)
        PlanAgainst(temp.Path(), report.manifest, against, &plan);
    if (json)
        PrintJson(report);
    else
        PrintText(report, planned ? &plan : nullptr);
    if (report.damage.empty())
        return planned ? PrintPlan(plan, against) : kExitOk;
    fprintf(stderr, "mkpatch: %s is damaged: %s\n", installer.c_str(),
            report.damage.front().c_str());
    return kExitBadInput;
}

} // namespace mkpatch
