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

u32 LoadU32(const u8* bytes) {
    u32 value;
    std::memcpy(&value, bytes, sizeof value);
    return value;
}

bool ReadAt(FileStream& file, u32 offset, void* buffer, u32 size) {
    return offset <= 0x7FFFFFFFu && file.Seek(static_cast<i32>(offset)) && file.Read(buffer, size);
}

// The certificate table that a signature appends to a PE file and names in
// the security directory of its optional header (entry 4 of the data
// directories), when that table ends the file. False for anything else: no
// PE, no signature, or a table that does not end the file.
bool FindCertificateTable(FileStream& file, u32 fileSize, u32* offset, u32* size) {
    constexpr u32 kPeOffsetField = 0x3C;
    constexpr u16 kPe32 = 0x10B, kPe32Plus = 0x20B;
    constexpr u32 kSecurityDirectory = 4;
    u8 dos[0x40];
    if (fileSize < sizeof dos || !ReadAt(file, 0, dos, sizeof dos) || dos[0] != 'M' ||
        dos[1] != 'Z')
        return false;
    const u32 pe = LoadU32(dos + kPeOffsetField);
    // Signature, file header (20 bytes), then the optional header.
    u8 header[24 + 112 + 16 * 8];
    if (static_cast<u64>(pe) + sizeof header > fileSize ||
        !ReadAt(file, pe, header, sizeof header) || std::memcmp(header, "PE\0\0", 4) != 0)
        return false;
    u16 optionalSize, magic;
    std::memcpy(&optionalSize, header + 20, 2);
    std::memcpy(&magic, header + 24, 2);
    if (magic != kPe32 && magic != kPe32Plus)
        return false;
    const u32 directories = magic == kPe32 ? 96 : 112; // in the optional header
    const u32 count = LoadU32(header + 24 + directories - 4);
    if (count <= kSecurityDirectory || directories + (kSecurityDirectory + 1) * 8 > optionalSize)
        return false;
    const u8* entry = header + 24 + directories + kSecurityDirectory * 8;
    *offset = LoadU32(entry); // a file offset, not an address
    *size = LoadU32(entry + 4);
    return *size != 0 && *offset >= kPatchTrailerSize &&
           static_cast<u64>(*offset) + *size == fileSize;
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
    u32 trailerEnd = where->fileSize;
    if (FindCertificateTable(installer, where->fileSize, &where->certificateTable,
                             &where->certificateSize))
        trailerEnd = where->certificateTable;
    else
        where->certificateTable = where->certificateSize = 0;
    where->trailerStart = trailerEnd - kPatchTrailerSize;
    if (!installer.Seek(static_cast<i32>(where->trailerStart)) ||
        !installer.Read(&where->trailer, sizeof where->trailer)) {
        const DWORD error = GetLastError();
        return Unreadable(problem, FormatText("cannot read the trailer of the installer %s: %s",
                                              name.c_str(),
                                              DescribeStreamFailure(installer, error).c_str()));
    }
    const u32 start = where->trailer.payloadStart;
    if (start == 0)
        return Damaged(problem, FormatText("the installer %s carries no patch", name.c_str()));
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
    if (result == Z_OK)
        return true;
    if (result == Z_ERRNO && temp.status != StreamOk && temp.status != StreamEnd) {
        return Unreadable(problem,
                          FormatText("cannot write the temporary file %s: %s", tempName.c_str(),
                                     DescribeSystemError(error).c_str()));
    }
    if (result == Z_ERRNO) {
        return Unreadable(problem, FormatText("cannot read the installer %s: %s", name.c_str(),
                                              DescribeStreamFailure(installer, error).c_str()));
    }
    if (result == Z_MEM_ERROR)
        return Unreadable(problem, "out of memory while unpacking the patch");
    return Damaged(problem, FormatText("the patch in the installer %s is damaged or cut short "
                                       "(zlib error %d)",
                                       name.c_str(), result));
}

bool LoadManifest(Stream& payload, u32 gameDirLength, Manifest* manifest, PackageProblem* problem) {
    ManifestProblem refused;
    if (!ReadManifest(payload, 0, manifest, &refused) ||
        !ValidateManifest(*manifest, payload.GetSize(), gameDirLength, &refused))
        return Damaged(problem, "the patch is damaged: " + refused.what);
    return true;
}

bool CheckRecordDigests(Stream& payload, const Manifest& manifest, std::vector<bool>* matches) {
    matches->clear();
    auto read = [&payload](u8* buffer, u32 count) { return payload.Read(buffer, count); };
    for (const PatchFileRecord& record : manifest.files) {
        // An empty record may stand at the very end, where a seek reports the end.
        if (record.dataSize != 0 &&
            !payload.Seek(static_cast<i32>(manifest.dataBase + record.dataOffset)))
            return false;
        u8 digest[16];
        if (!crypto::Md5OfChunks(record.dataSize, read, digest))
            return false;
        matches->push_back(std::memcmp(digest, record.storedMd5, 16) == 0);
    }
    return true;
}
