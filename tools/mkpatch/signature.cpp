// Signing an installer with osslsigncode, and reading back who signed one.
//
// The signer is read from the certificate table the way Windows shows it:
// the WIN_CERTIFICATE that starts the table holds a PKCS #7 SignedData; its
// first SignerInfo names, by issuer and serial number, the certificate
// among the SignedData's whose subject is the signer. Nothing here checks
// the signature itself: `osslsigncode verify` does.
#include "mkpatch.h"

#include "patch/installer_reader.h"
#include "patch/report.h"
#include "system.h"

#include <cstring>
#include <filesystem>

namespace fs = std::filesystem;

namespace mkpatch {
namespace {

// A certificate table is a few KiB; one far larger is not read whole.
constexpr u32 kMaxCertificateTable = 1u << 20;
constexpr u16 kWinCertRevision2 = 0x0200;
constexpr u16 kWinCertTypePkcsSignedData = 0x0002;

// DER tags used below.
constexpr u8 kInteger = 0x02;
constexpr u8 kObjectId = 0x06;
constexpr u8 kSequence = 0x30;
constexpr u8 kSet = 0x31;
constexpr u8 kContext0 = 0xA0; // [0], constructed
constexpr u8 kContext1 = 0xA1;
constexpr u8 kBmpString = 0x1E;

// 1.2.840.113549.1.7.2, PKCS #7 signedData.
const u8 kSignedDataOid[] = {0x2A, 0x86, 0x48, 0x86, 0xF7, 0x0D, 0x01, 0x07, 0x02};

// DER read front to back, every length checked against what is left.
class Der {
  public:
    Der() = default;
    Der(const u8* data, size_t size) : m_data(data), m_size(size) {}

    bool Empty() const { return m_size == 0; }
    // The next element: its tag, its contents, and the whole of it (tag and
    // length included, for comparing names byte for byte).
    bool Next(u8* tag, Der* contents, Der* whole = nullptr) {
        if (m_size < 2)
            return false;
        const u8* start = m_data;
        *tag = m_data[0];
        size_t length = m_data[1];
        size_t header = 2;
        if (length & 0x80) {
            const size_t bytes = length & 0x7F;
            if (bytes == 0 || bytes > 4 || m_size < 2 + bytes) // no indefinite lengths
                return false;
            length = 0;
            for (size_t i = 0; i < bytes; ++i)
                length = length << 8 | m_data[2 + i];
            header += bytes;
        }
        if (length > m_size - header)
            return false;
        *contents = Der(m_data + header, length);
        m_data += header + length;
        m_size -= header + length;
        if (whole != nullptr)
            *whole = Der(start, header + length);
        return true;
    }
    // The next element, which must have `tag`.
    bool Expect(u8 tag, Der* contents, Der* whole = nullptr) {
        u8 found;
        return Next(&found, contents, whole) && found == tag;
    }
    // Skips an element with `tag` if it comes next.
    void SkipIf(u8 tag) {
        Der copy = *this, ignored;
        u8 found;
        if (copy.Next(&found, &ignored) && found == tag)
            *this = copy;
    }
    bool Equals(const Der& other) const {
        return m_size == other.m_size && std::memcmp(m_data, other.m_data, m_size) == 0;
    }
    bool Equals(const u8* bytes, size_t size) const { return Equals(Der(bytes, size)); }
    std::string Bytes() const { return std::string(reinterpret_cast<const char*>(m_data), m_size); }

  private:
    const u8* m_data = nullptr;
    size_t m_size = 0;
};

std::string Utf8OfBmp(const std::string& utf16be) {
    std::string out;
    for (size_t i = 0; i + 1 < utf16be.size(); i += 2) {
        const unsigned c = static_cast<u8>(utf16be[i]) << 8 | static_cast<u8>(utf16be[i + 1]);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | c >> 6);
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xE0 | c >> 12);
            out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

// "C=CN, O=..., CN=..." from a Name, in the order it is encoded; attributes
// other than these are left out.
std::string DescribeName(Der name) {
    static const struct {
        u8 lastByte; // of 2.5.4.x
        const char* label;
    } kLabels[] = {{6, "C"}, {8, "ST"}, {7, "L"}, {10, "O"}, {11, "OU"}, {3, "CN"}};
    std::string text;
    Der set, attribute, oid, value;
    u8 tag;
    while (name.Expect(kSet, &set)) {
        while (set.Expect(kSequence, &attribute)) {
            if (!attribute.Expect(kObjectId, &oid) || !attribute.Next(&tag, &value))
                continue;
            for (const auto& label : kLabels) {
                const u8 id[] = {0x55, 0x04, label.lastByte};
                if (!oid.Equals(id, sizeof id))
                    continue;
                text += (text.empty() ? "" : ", ") + std::string(label.label) + "=" +
                        (tag == kBmpString ? Utf8OfBmp(value.Bytes()) : value.Bytes());
            }
        }
    }
    return text;
}

// The subject of the certificate with this issuer and serial number; empty
// when there is none among `certificates`.
std::string FindSubject(Der certificates, const Der& issuer, const Der& serial) {
    Der certificate, tbs, element, certIssuer, certSerial, subject;
    while (certificates.Expect(kSequence, &certificate)) {
        if (!certificate.Expect(kSequence, &tbs))
            continue;
        tbs.SkipIf(kContext0); // version
        if (tbs.Expect(kInteger, &certSerial) && tbs.Expect(kSequence, &element) &&
            tbs.Expect(kSequence, &element, &certIssuer) && tbs.Expect(kSequence, &element) &&
            tbs.Expect(kSequence, &subject) && certIssuer.Equals(issuer) &&
            certSerial.Equals(serial))
            return DescribeName(subject);
    }
    return "";
}

// The signer named by a PKCS #7 ContentInfo holding SignedData.
bool DescribeSigner(Der contentInfo, std::string* signer) {
    Der info, oid, explicitContent, signedData, element, certificates, signerInfos, signerInfo,
        version, issuerAndSerial, issuerContents, issuer, serial;
    if (!contentInfo.Expect(kSequence, &info) || !info.Expect(kObjectId, &oid) ||
        !oid.Equals(kSignedDataOid, sizeof kSignedDataOid) ||
        !info.Expect(kContext0, &explicitContent) ||
        !explicitContent.Expect(kSequence, &signedData) || !signedData.Expect(kInteger, &version) ||
        !signedData.Expect(kSet, &element) || !signedData.Expect(kSequence, &element))
        return false;
    u8 tag;
    Der next = signedData;
    if (!next.Next(&tag, &element))
        return false;
    if (tag == kContext0) { // the certificates
        certificates = element;
        signedData = next;
    }
    signedData.SkipIf(kContext1); // the CRLs
    if (!signedData.Expect(kSet, &signerInfos) || !signerInfos.Expect(kSequence, &signerInfo) ||
        !signerInfo.Expect(kInteger, &version) || !signerInfo.Expect(kSequence, &issuerAndSerial) ||
        !issuerAndSerial.Expect(kSequence, &issuerContents, &issuer) ||
        !issuerAndSerial.Expect(kInteger, &serial))
        return false;
    *signer = FindSubject(certificates, issuer, serial);
    if (signer->empty())
        *signer = "(the signer's certificate is not in the signature; issued by " +
                  DescribeName(issuerContents) + ")";
    return true;
}

u32 LittleEndian(const u8* bytes, size_t size) {
    u32 value = 0;
    for (size_t i = size; i-- > 0;)
        value = value << 8 | bytes[i];
    return value;
}

} // namespace

InstallerSignature ReadSignature(FileStream& installer, const PackageLocation& where) {
    InstallerSignature signature;
    signature.table = where.certificateTable;
    signature.size = where.certificateSize;
    if (where.certificateSize == 0)
        return signature;
    signature.present = true;
    if (where.certificateSize > kMaxCertificateTable) {
        signature.problem = FormatText("its certificate table of %u bytes is too large to read",
                                       where.certificateSize);
        return signature;
    }
    std::vector<u8> table(where.certificateSize);
    if (!installer.Seek(static_cast<i32>(where.certificateTable)) ||
        !installer.Read(table.data(), where.certificateSize))
        ThrowToolError(kExitUsageOrIo, "cannot read the certificate table of the installer");
    const u32 length = table.size() >= 8 ? LittleEndian(&table[0], 4) : 0;
    if (length < 8 || length > table.size()) {
        signature.problem = "its certificate table is damaged (the first certificate's length "
                            "runs past it)";
        return signature;
    }
    if (LittleEndian(&table[4], 2) != kWinCertRevision2 ||
        LittleEndian(&table[6], 2) != kWinCertTypePkcsSignedData) {
        signature.problem = FormatText("its certificate is of revision 0x%04X, type %u: not an "
                                       "Authenticode signature",
                                       LittleEndian(&table[4], 2), LittleEndian(&table[6], 2));
        return signature;
    }
    if (!DescribeSigner(Der(&table[8], length - 8), &signature.signer))
        signature.problem = "its signature cannot be read (not PKCS #7 signed data in DER)";
    return signature;
}

void SignInstaller(const Signing& signing, const std::string& unsignedPath,
                   const std::string& output) {
    const std::string partial = output + ".tmp";
    std::error_code ignored;
    fs::remove(fs::u8path(partial), ignored); // osslsigncode does not write over a file
    RemoveOnInterrupt(&partial, &unsignedPath);
    std::vector<std::string> args = {"sign", "-h",       "sha256", "-certs", signing.certificate,
                                     "-key", signing.key};
    if (!signing.timestampUrl.empty()) {
        args.push_back("-ts");
        args.push_back(signing.timestampUrl);
    }
    args.insert(args.end(), {"-in", unsignedPath, "-out", partial});
    std::string error;
    const int status = pitool::RunProgram("osslsigncode", args, &error);
    auto cleanUp = [&] {
        fs::remove(fs::u8path(partial), ignored);
        fs::remove(fs::u8path(unsignedPath), ignored);
        RemoveOnInterrupt(nullptr);
    };
    if (status != 0) {
        cleanUp();
        ThrowToolError(kExitUsageOrIo,
                       status < 0 ? error + " (osslsigncode signs installers; install it)"
                                  : FormatText("osslsigncode could not sign the installer (exit "
                                               "status %d); nothing was written to ",
                                               status) +
                                        output);
    }
    // Whatever the signer did to the file, the installer must still find its
    // package in it.
    PackageLocation where;
    std::string problem;
    if (!LocatePackage(partial, &where, &problem) || where.certificateSize == 0) {
        cleanUp();
        ThrowToolError(kExitUsageOrIo,
                       "the signed installer does not carry its package where installers look "
                       "for it (" +
                           (problem.empty() ? "no certificate table at its end" : problem) +
                           "); nothing was written to " + output);
    }
    fs::permissions(fs::u8path(partial), fs::status(fs::u8path(unsignedPath)).permissions(),
                    ignored);
    std::error_code renameError;
    fs::rename(fs::u8path(partial), fs::u8path(output), renameError);
    cleanUp();
    if (renameError)
        ThrowToolError(kExitUsageOrIo, "cannot write " + output + ": " + renameError.message());
}

} // namespace mkpatch
