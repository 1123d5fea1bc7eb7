// Crypto seam over libgcrypt, the backend of the Windows build (linked
// statically). The object storage holds the library's handles.
#include "crypto/crypto.h"

#include <gcrypt.h>

#include <cstdlib>
#include <new>

namespace crypto {
namespace {

// The library must be told once which version it is before any other call;
// no secure memory is needed for a digest and a cipher of public data.
void EnsureLibraryReady() {
    static const bool ready = [] {
        if (!gcry_check_version(GCRYPT_VERSION))
            std::abort();
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    (void)ready;
}

gcry_md_hd_t& Digest(unsigned char* state) {
    return *reinterpret_cast<gcry_md_hd_t*>(state);
}
gcry_cipher_hd_t Cipher(const unsigned char* state) {
    return *reinterpret_cast<const gcry_cipher_hd_t*>(state);
}

// Failures here mean the library cannot provide MD5 or DES at all (for
// example a FIPS-only build); no result would be correct, so stop.
void Check(gcry_error_t error) {
    if (error)
        std::abort();
}

} // namespace

Md5::Md5() {
    static_assert(sizeof(gcry_md_hd_t) <= sizeof(m_state), "digest handle fits");
    EnsureLibraryReady();
    new (m_state) gcry_md_hd_t(nullptr);
    Check(gcry_md_open(&Digest(m_state), GCRY_MD_MD5, 0));
}

Md5::~Md5() {
    gcry_md_close(Digest(m_state));
}

void Md5::Reset() {
    gcry_md_reset(Digest(m_state));
}

void Md5::Update(const void* data, size_t size) {
    if (size != 0)
        gcry_md_write(Digest(m_state), data, size);
}

void Md5::Final(uint8_t digest[kMd5Size]) {
    gcry_md_final(Digest(m_state));
    const unsigned char* result = gcry_md_read(Digest(m_state), GCRY_MD_MD5);
    for (size_t i = 0; i < kMd5Size; ++i)
        digest[i] = result[i];
}

void Md5Digest(const void* data, size_t size, uint8_t digest[kMd5Size]) {
    EnsureLibraryReady();
    gcry_md_hash_buffer(GCRY_MD_MD5, digest, data, size);
}

TripleDes::TripleDes(const uint8_t k1[kDesKeySize], const uint8_t k2[kDesKeySize],
                     const uint8_t k3[kDesKeySize]) {
    static_assert(sizeof(gcry_cipher_hd_t) <= sizeof(m_state), "cipher handle fits");
    EnsureLibraryReady();
    gcry_cipher_hd_t* handle = new (m_state) gcry_cipher_hd_t(nullptr);
    Check(gcry_cipher_open(handle, GCRY_CIPHER_3DES, GCRY_CIPHER_MODE_ECB, 0));
    // The index keys are whatever a digest yields: parity is ignored and a
    // weak or semi-weak key must be used as it is, not refused.
    Check(gcry_cipher_ctl(*handle, GCRYCTL_SET_ALLOW_WEAK_KEY, nullptr, 1));
    uint8_t key[3 * kDesKeySize];
    for (size_t i = 0; i < kDesKeySize; ++i) {
        key[i] = k1[i];
        key[kDesKeySize + i] = k2[i];
        key[2 * kDesKeySize + i] = k3[i];
    }
    gcry_error_t error = gcry_cipher_setkey(*handle, key, sizeof key);
    // With weak keys allowed the schedule is set and the code only reports it.
    if (gcry_err_code(error) != GPG_ERR_WEAK_KEY)
        Check(error);
}

TripleDes::~TripleDes() {
    gcry_cipher_close(Cipher(m_state));
}

void TripleDes::EncipherBlock(uint8_t block[kDesBlockSize]) const {
    EncipherBlocks(block, 1);
}

void TripleDes::DecipherBlock(uint8_t block[kDesBlockSize]) const {
    DecipherBlocks(block, 1);
}

void TripleDes::EncipherBlocks(uint8_t* blocks, size_t count) const {
    if (count != 0)
        Check(gcry_cipher_encrypt(Cipher(m_state), blocks, count * kDesBlockSize, nullptr, 0));
}

void TripleDes::DecipherBlocks(uint8_t* blocks, size_t count) const {
    if (count != 0)
        Check(gcry_cipher_decrypt(Cipher(m_state), blocks, count * kDesBlockSize, nullptr, 0));
}

const char* BackendName() {
    return "libgcrypt";
}

} // namespace crypto
