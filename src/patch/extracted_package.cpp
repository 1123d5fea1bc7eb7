#include "patch/extracted_package.h"

#include "crypto/crypto.h"
#include "patch/report.h"

#include <zlib.h>

#include <cstring>
#include <vector>

namespace {

constexpr u32 kHashBufferSize = 65536;

bool Refuse(std::string* problem, const std::string& what) {
    *problem = what;
    return false;
}

std::string SystemError() {
    return DescribeSystemError(GetLastError());
}

// The trailer's first word is where the compressed package starts; it must
// lie between the program and the trailer.
bool FindPayload(FileStream& installer, const char* path, u32* start, u32* length,
                 std::string* problem) {
    const u32 size = installer.GetSize();
    if (size < kPatchTrailerSize)
        return Refuse(problem, FormatText("the installer %s is too short to carry a patch (%u "
                                          "bytes)",
                                          path, size));
    const u32 trailerStart = size - kPatchTrailerSize;
    PatchTrailer trailer;
    if (!installer.Seek(static_cast<i32>(trailerStart)) ||
        !installer.Read(&trailer, sizeof trailer))
        return Refuse(problem,
                      FormatText("cannot read the trailer of %s: %s", path, SystemError().c_str()));
    if (trailer.payloadStart == 0)
        return Refuse(problem, FormatText("the installer %s carries no patch", path));
    if (trailer.payloadStart >= trailerStart)
        return Refuse(problem, FormatText("the trailer of %s is damaged: the patch would start at "
                                          "%u, the trailer starts at %u",
                                          path, trailer.payloadStart, trailerStart));
    *start = trailer.payloadStart;
    *length = trailerStart - trailer.payloadStart;
    return true;
}

bool RecordDigestMatches(Stream& payload, u32 position, const PatchFileRecord& record,
                         std::vector<u8>& buffer, bool* readable) {
    *readable = record.dataSize == 0 || payload.Seek(static_cast<i32>(position));
    crypto::Md5 md5;
    for (u32 remaining = record.dataSize; *readable && remaining != 0;) {
        const u32 chunk = remaining < buffer.size() ? remaining : static_cast<u32>(buffer.size());
        *readable = payload.Read(buffer.data(), chunk);
        md5.Update(buffer.data(), chunk);
        remaining -= chunk;
    }
    u8 digest[16];
    md5.Final(digest);
    return *readable && std::memcmp(digest, record.storedMd5, 16) == 0;
}

} // namespace

ExtractedPackage::~ExtractedPackage() {
    m_payload.Close();
    if (m_path[0] != '\0')
        DeleteFileA(m_path);
}

bool ExtractedPackage::Extract(const char* installerPath, std::string* problem) {
    FileStream installer;
    if (!installer.Open(installerPath, OpenRead))
        return Refuse(problem, FormatText("cannot open the installer %s: %s", installerPath,
                                          SystemError().c_str()));
    return Inflate(installer, installerPath, problem) && LoadManifest(problem) &&
           CheckDigests(problem);
}

bool ExtractedPackage::Inflate(FileStream& installer, const char* installerPath,
                               std::string* problem) {
    u32 start = 0, length = 0;
    if (!FindPayload(installer, installerPath, &start, &length, problem))
        return false;
    char dir[MAX_PATH];
    const DWORD dirLength = GetTempPathA(MAX_PATH, dir);
    if (dirLength == 0 || dirLength >= MAX_PATH || GetTempFileNameA(dir, "orv", 0, m_path) == 0)
        return Refuse(problem, "cannot create a temporary file: " + SystemError());
    FileStream temp;
    if (!temp.Open(m_path, OpenCreate))
        return Refuse(problem, FormatText("cannot write the temporary file %s: %s", m_path,
                                          SystemError().c_str()));
    installer.Seek(static_cast<i32>(start));
    const int result = InflateStream(installer, temp, length);
    if (result == Z_ERRNO)
        return Refuse(problem, FormatText("cannot read %s or write the temporary file %s: %s",
                                          installerPath, m_path, SystemError().c_str()));
    if (result != Z_OK)
        return Refuse(problem, FormatText("the patch in %s is damaged or cut short (zlib error %d)",
                                          installerPath, result));
    temp.Close();
    if (!m_payload.Open(m_path, OpenRead))
        return Refuse(problem, FormatText("cannot reopen the temporary file %s: %s", m_path,
                                          SystemError().c_str()));
    return true;
}

// The names are checked against the game directory later, by the plan.
bool ExtractedPackage::LoadManifest(std::string* problem) {
    ManifestProblem refused;
    if (!ReadManifest(m_payload, 0, &m_manifest, &refused) ||
        !ValidateManifest(m_manifest, m_payload.GetSize(), 0, &refused))
        return Refuse(problem, "the patch is damaged: " + refused.what);
    return true;
}

bool ExtractedPackage::CheckDigests(std::string* problem) {
    std::vector<u8> buffer(kHashBufferSize);
    for (size_t i = 0; i < m_manifest.files.size(); ++i) {
        const PatchFileRecord& record = m_manifest.files[i];
        bool readable = true;
        if (RecordDigestMatches(m_payload, m_manifest.dataBase + record.dataOffset, record, buffer,
                                &readable))
            continue;
        if (!readable)
            return Refuse(problem, FormatText("cannot read the temporary file %s: %s", m_path,
                                              SystemError().c_str()));
        return Refuse(problem, FormatText("the patch is damaged: file record %u (%s): its data "
                                          "does not match its digest",
                                          static_cast<u32>(i), record.name));
    }
    return true;
}
