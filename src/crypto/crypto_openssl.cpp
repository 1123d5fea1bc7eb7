// Crypto seam over OpenSSL's libcrypto. The low-level MD5 and DES interfaces
// are deprecated in OpenSSL 3 but remain the fastest way to transform single
// 8-byte blocks with fixed schedules, and DES_set_key_unchecked is the one
// call that takes any key (parity and weak keys included) without complaint.
#include "crypto/crypto.h"

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
#endif

#include <openssl/des.h>
#include <openssl/md5.h>

#include <new>

namespace crypto {
namespace {

struct DesSchedules {
    DES_key_schedule k1, k2, k3;
};

MD5_CTX* Context(unsigned char* state) {
    return reinterpret_cast<MD5_CTX*>(state);
}
const DesSchedules* Schedules(const unsigned char* state) {
    return reinterpret_cast<const DesSchedules*>(state);
}

void SetKey(const uint8_t key[kDesKeySize], DES_key_schedule* schedule) {
    DES_cblock block;
    for (size_t i = 0; i < kDesKeySize; ++i)
        block[i] = key[i];
    DES_set_key_unchecked(&block, schedule);
}

void Transform(const unsigned char* state, uint8_t* block, int direction) {
    const DesSchedules* s = Schedules(state);
    DES_cblock in;
    for (size_t i = 0; i < kDesBlockSize; ++i)
        in[i] = block[i];
    DES_ecb3_encrypt(&in, reinterpret_cast<DES_cblock*>(block),
                     const_cast<DES_key_schedule*>(&s->k1), const_cast<DES_key_schedule*>(&s->k2),
                     const_cast<DES_key_schedule*>(&s->k3), direction);
}

} // namespace

Md5::Md5() {
    static_assert(sizeof(MD5_CTX) <= sizeof(m_state), "MD5 context fits");
    new (m_state) MD5_CTX;
    Reset();
}

Md5::~Md5() {}

void Md5::Reset() {
    MD5_Init(Context(m_state));
}

void Md5::Update(const void* data, size_t size) {
    if (size != 0)
        MD5_Update(Context(m_state), data, size);
}

void Md5::Final(uint8_t digest[kMd5Size]) {
    MD5_Final(digest, Context(m_state));
}

void Md5Digest(const void* data, size_t size, uint8_t digest[kMd5Size]) {
    Md5 md5;
    md5.Update(data, size);
    md5.Final(digest);
}

TripleDes::TripleDes(const uint8_t k1[kDesKeySize], const uint8_t k2[kDesKeySize],
                     const uint8_t k3[kDesKeySize]) {
    static_assert(sizeof(DesSchedules) <= sizeof(m_state), "key schedules fit");
    DesSchedules* s = new (m_state) DesSchedules;
    SetKey(k1, &s->k1);
    SetKey(k2, &s->k2);
    SetKey(k3, &s->k3);
}

TripleDes::~TripleDes() {}

void TripleDes::EncipherBlock(uint8_t block[kDesBlockSize]) const {
    Transform(m_state, block, DES_ENCRYPT);
}

void TripleDes::DecipherBlock(uint8_t block[kDesBlockSize]) const {
    Transform(m_state, block, DES_DECRYPT);
}

void TripleDes::EncipherBlocks(uint8_t* blocks, size_t count) const {
    for (size_t i = 0; i < count; ++i)
        EncipherBlock(blocks + i * kDesBlockSize);
}

void TripleDes::DecipherBlocks(uint8_t* blocks, size_t count) const {
    for (size_t i = 0; i < count; ++i)
        DecipherBlock(blocks + i * kDesBlockSize);
}

const char* BackendName() {
    return "libcrypto";
}

} // namespace crypto

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif
