// An installer's package, inflated into a file of the system's temporary
// directory (never the game directory), its manifest read and checked and
// every record's data checked against its digest. For the dry run, which
// must touch nothing where the game lives.
#pragma once

#include "patch/package.h"
#include "platform/win32.h"
#include "runtime/stream.h"

#include <string>

class ExtractedPackage {
  public:
    ExtractedPackage() = default;
    // Closes and deletes the temporary file.
    ~ExtractedPackage();
    ExtractedPackage(const ExtractedPackage&) = delete;
    ExtractedPackage& operator=(const ExtractedPackage&) = delete;

    // False with `problem` set when the installer carries no usable package
    // or the temporary file cannot be written.
    bool Extract(const char* installerPath, std::string* problem);

    // Open for reading once Extract has succeeded.
    Stream& Payload() { return m_payload; }
    const Manifest& GetManifest() const { return m_manifest; }

  private:
    bool Inflate(FileStream& installer, const char* installerPath, std::string* problem);
    bool LoadManifest(std::string* problem);
    bool CheckDigests(std::string* problem);

    char m_path[MAX_PATH] = {};
    FileStream m_payload;
    Manifest m_manifest;
};
