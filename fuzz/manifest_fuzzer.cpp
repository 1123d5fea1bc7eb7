// The manifest reader and validator on an arbitrary inflated package. What
// the validator accepts is checked again here, independently, against what
// the job relies on: tables inside the package, record ranges inside the
// file-record table, data inside the data area, and names that stay inside a
// game directory and fit the path buffers once joined to it.
//
// Input: one byte giving the game directory's length, then the package.
#include "fuzz_support.h"
#include "patch/package.h"

#include <cstring>

namespace {

constexpr size_t kPathBuffer = MAX_PATH; // a path and its terminator

size_t TerminatedLength(const char (&name)[kPatchNameSize]) {
    const void* end = std::memchr(name, 0, kPatchNameSize);
    if (end == nullptr)
        fuzz::Violation("an accepted name has no terminator");
    return static_cast<const char*>(end) - name;
}

bool ClimbsOut(const char* name) {
    if (name[0] == '\\' || name[0] == '/' || std::strchr(name, ':') != nullptr)
        return true;
    const size_t length = std::strlen(name);
    size_t start = 0;
    for (size_t i = 0; i <= length; ++i) {
        if (i < length && name[i] != '\\' && name[i] != '/')
            continue;
        // ".." with any trailing dots or spaces, which Windows drops.
        size_t dots = 0;
        bool onlyDots = true;
        for (size_t k = start; k < i; ++k)
            if (name[k] == '.')
                ++dots;
            else if (name[k] != ' ')
                onlyDots = false;
        if (onlyDots && dots >= 2)
            return true;
        start = i + 1;
    }
    return false;
}

void CheckAccepted(const Manifest& manifest, u32 payloadSize, u32 dirLength) {
    const u64 tables = 8 + 276ull * manifest.paks.size() + 320ull * manifest.files.size();
    if (manifest.dataBase != tables || tables > payloadSize)
        fuzz::Violation("the data base does not follow the tables");
    const u64 dataArea = payloadSize - manifest.dataBase;
    for (const PatchFileRecord& record : manifest.files) {
        const size_t length = TerminatedLength(record.name);
        if (record.dataSize != 0 &&
            static_cast<u64>(record.dataOffset) + record.dataSize > dataArea)
            fuzz::Violation("accepted data outside the data area");
        if (record.inPak)
            continue;
        if (length == 0 || ClimbsOut(record.name))
            fuzz::Violation("an accepted loose name leaves the game directory");
        if (dirLength + 1 + length + 1 > kPathBuffer)
            fuzz::Violation("an accepted loose name does not fit beside the directory");
    }
    for (const PatchPakRecord& pak : manifest.paks) {
        // Without records the job neither opens nor creates the archive: it
        // only shows the name, so the name and the range are not checked.
        if (pak.recordCount == 0)
            continue;
        const size_t length = TerminatedLength(pak.name);
        if (static_cast<u64>(pak.firstRecord) + pak.recordCount > manifest.files.size())
            fuzz::Violation("an accepted pak range leaves the file-record table");
        if (length == 0 || ClimbsOut(pak.name))
            fuzz::Violation("an accepted archive name leaves the game directory");
        // "dir\name.tmp" and "dir\name.bak" are made beside the archive.
        if (dirLength + 1 + length + 4 + 1 > kPathBuffer)
            fuzz::Violation("an accepted archive name leaves no room for its side files");
        if (length < 4 || (pak.name[length - 4] != '.'))
            fuzz::Violation("an accepted archive name does not end in .pak");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const u8* data, size_t size) {
    if (size < 1)
        return 0;
    const u32 dirLength = data[0];
    pitest::MemoryStream payload = fuzz::ReaderOver(data + 1, size - 1);
    Manifest manifest;
    ManifestProblem problem;
    if (!ReadManifest(payload, 0, &manifest, &problem)) {
        if (problem.what.empty())
            fuzz::Violation("a refusal without a reason");
        return 0;
    }
    if (!ValidateManifest(manifest, payload.GetSize(), dirLength, &problem)) {
        if (problem.what.empty())
            fuzz::Violation("a refusal without a reason");
        return 0;
    }
    CheckAccepted(manifest, payload.GetSize(), dirLength);
    return 0;
}
