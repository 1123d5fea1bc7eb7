#include "patch/installer_reader.h"

#include "crypto/chunk_digest.h"
#include "patch/report.h"

#include <zlib.h>

#include <cstring>

namespace {

bool Damaged(PackageProblem* problem, const std::string& what) {
    problem->damaged = true;
    problem->what = what;
    return false;
}

bool Unreadable(PackageProblem* problem, const std::string& what) {
    problem->damaged = false;
    problem->what = what;
    return false;
}

// Why a stream operation failed: the file ended early, or the system said no.
std::string DescribeStreamFailure(const Stream& stream, DWORD error) {
    return stream.status == StreamEnd ? "the file ends early" : DescribeSystemError(error);
}

} // namespace

bool FindPackage(FileStream& installer, const std::string& name, PackageLocation* where,
                 PackageProblem* problem) {
    *where = PackageLocation();
    where->fileSize = installer.GetSize();
    if (where->fileSize < kPatchTrailerSize) {
        return Damaged(problem, FormatText("the installer %s is %u bytes long, shorter than the "
                                           "8-byte trailer",
                                           name.c_str(), where->fileSize));
    }
    where->trailerStart = where->fileSize - kPatchTrailerSize;
    if (!installer.Seek(static_cast<i32>(where->trailerStart)) ||
        !installer.Read(&where->trailer, sizeof where->trailer)) {
        const DWORD error = GetLastError();
        return Unreadable(problem, FormatText("cannot read the trailer of the installer %s: %s",
                                              name.c_str(),
                                              DescribeStreamFailure(installer, error).c_str()));
    }
    const u32 start = where->trailer.payloadStart;
    if (start == 0) {
        return Damaged(problem, FormatText("the installer %s carries no patch", name.c_str()));
    }
    if (start >= where->trailerStart) {
        return Damaged(problem, FormatText("the trailer of the installer %s is damaged: the patch "
                                           "would start at %u, the trailer starts at %u",
                                           name.c_str(), start, where->trailerStart));
    }
    where->compressedSize = where->trailerStart - start;
    return true;
}

bool UnpackPackage(FileStream& installer, const std::string& name, const PackageLocation& where,
                   Stream& temp, const std::string& tempName, PackageProblem* problem) {
    if (!installer.Seek(static_cast<i32>(where.trailer.payloadStart))) {
        const DWORD error = GetLastError();
        return Unreadable(problem, FormatText("cannot read the installer %s: %s", name.c_str(),
                                              DescribeStreamFailure(installer, error).c_str()));
    }
    const int result = InflateStream(installer, temp, where.compressedSize);
    const DWORD error = GetLastError();
    if (result == Z_OK) {
        return true;
    }
    if (result == Z_ERRNO && temp.status != StreamOk && temp.status != StreamEnd) {
        return Unreadable(problem,
                          FormatText("cannot write the temporary file %s: %s", tempName.c_str(),
                                     DescribeSystemError(error).c_str()));
    }
    if (result == Z_ERRNO) {
        return Unreadable(problem, FormatText("cannot read the installer %s: %s", name.c_str(),
                                              DescribeStreamFailure(installer, error).c_str()));
    }
    if (result == Z_MEM_ERROR) {
        return Unreadable(problem, "out of memory while unpacking the patch");
    }
    return Damaged(problem, FormatText("the patch in the installer %s is damaged or cut short "
                                       "(zlib error %d)",
                                       name.c_str(), result));
}

bool LoadManifest(Stream& payload, u32 gameDirLength, Manifest* manifest, PackageProblem* problem) {
    ManifestProblem refused;
    if (!ReadManifest(payload, 0, manifest, &refused) ||
        !ValidateManifest(*manifest, payload.GetSize(), gameDirLength, &refused)) {
        return Damaged(problem, "the patch is damaged: " + refused.what);
    }
    return true;
}

bool CheckRecordDigests(Stream& payload, const Manifest& manifest, std::vector<bool>* matches) {
    matches->clear();
    auto read = [&payload](u8* buffer, u32 count) { return payload.Read(buffer, count); };
    for (const PatchFileRecord& record : manifest.files) {
        // An empty record may stand at the very end, where a seek reports the end.
        if (record.dataSize != 0 &&
            !payload.Seek(static_cast<i32>(manifest.dataBase + record.dataOffset))) {
            return false;
        }
        u8 digest[16];
        if (!crypto::Md5OfChunks(record.dataSize, read, digest)) {
            return false;
        }
        matches->push_back(std::memcmp(digest, record.storedMd5, 16) == 0);
    }
    return true;
}
