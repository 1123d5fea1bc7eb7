#include "patch/extracted_package.h"

#include "patch/installer_reader.h"
#include "patch/report.h"

namespace {

bool Refuse(std::string* problem, const std::string& what) {
    *problem = what;
    return false;
}

std::string SystemError() {
    return DescribeSystemError(GetLastError());
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
    PackageLocation where;
    PackageProblem refused;
    if (!FindPackage(installer, installerPath, &where, &refused))
        return Refuse(problem, refused.what);
    char dir[MAX_PATH];
    const DWORD dirLength = GetTempPathA(MAX_PATH, dir);
    if (dirLength == 0 || dirLength >= MAX_PATH || GetTempFileNameA(dir, "orv", 0, m_path) == 0)
        return Refuse(problem, "cannot create a temporary file: " + SystemError());
    FileStream temp;
    if (!temp.Open(m_path, OpenCreate))
        return Refuse(problem, FormatText("cannot write the temporary file %s: %s", m_path,
                                          SystemError().c_str()));
    if (!UnpackPackage(installer, installerPath, where, temp, m_path, &refused))
        return Refuse(problem, refused.what);
    temp.Close();
    if (!m_payload.Open(m_path, OpenRead))
        return Refuse(problem, FormatText("cannot reopen the temporary file %s: %s", m_path,
                                          SystemError().c_str()));
    return true;
}

// The names are checked against the game directory later, by the plan.
bool ExtractedPackage::LoadManifest(std::string* problem) {
    PackageProblem refused;
    if (!::LoadManifest(m_payload, 0, &m_manifest, &refused))
        return Refuse(problem, refused.what);
    return true;
}

bool ExtractedPackage::CheckDigests(std::string* problem) {
    std::vector<bool> matches;
    if (!CheckRecordDigests(m_payload, m_manifest, &matches))
        return Refuse(problem, FormatText("cannot read the temporary file %s: %s", m_path,
                                          SystemError().c_str()));
    for (size_t i = 0; i < matches.size(); ++i)
        if (!matches[i])
            return Refuse(problem, FormatText("the patch is damaged: file record %u (%s): its "
                                              "data does not match its digest",
                                              static_cast<u32>(i), m_manifest.files[i].name));
    return true;
}
