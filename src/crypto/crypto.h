// The cryptography the pak library needs, behind one seam: incremental MD5
// (RFC 1321) and the three-key Triple DES block cipher on single 8-byte blocks.
// Two backends implement it: OpenSSL's libcrypto (Linux) and libgcrypt
// (Windows, linked statically); both pass the same known-answer tests.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crypto {

constexpr size_t kMd5Size = 16;
constexpr size_t kDesBlockSize = 8;
constexpr size_t kDesKeySize = 8;

class Md5 {
  public:
    Md5();
    ~Md5();
    Md5(const Md5&) = delete;
    Md5& operator=(const Md5&) = delete;

    // Starts a new digest; the constructor has already done so.
    void Reset();
    void Update(const void* data, size_t size);
    // The digest of everything fed since the last Reset. The object must be
    // Reset before it is fed again.
    void Final(uint8_t digest[kMd5Size]);

  private:
    alignas(16) unsigned char m_state[256];
};

// One-shot digest.
void Md5Digest(const void* data, size_t size, uint8_t digest[kMd5Size]);

// Three key schedules, expanded once; blocks are transformed in place.
// Encipher is E_K3(D_K2(E_K1(b))), decipher its inverse; key parity bits are
// ignored and weak keys are accepted.
class TripleDes {
  public:
    TripleDes(const uint8_t k1[kDesKeySize], const uint8_t k2[kDesKeySize],
              const uint8_t k3[kDesKeySize]);
    ~TripleDes();
    TripleDes(const TripleDes&) = delete;
    TripleDes& operator=(const TripleDes&) = delete;

    void EncipherBlock(uint8_t block[kDesBlockSize]) const;
    void DecipherBlock(uint8_t block[kDesBlockSize]) const;
    // `count` consecutive blocks, each on its own (ECB, no chaining).
    void EncipherBlocks(uint8_t* blocks, size_t count) const;
    void DecipherBlocks(uint8_t* blocks, size_t count) const;

  private:
    alignas(16) unsigned char m_state[512];
};

// The name of the backend, for test output.
const char* BackendName();

} // namespace crypto
