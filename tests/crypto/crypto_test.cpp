#include "crypto/crypto.h"
#include "pak/pak_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Hex(const uint8_t* bytes, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < size; ++i) {
        text.push_back(kDigits[bytes[i] >> 4]);
        text.push_back(kDigits[bytes[i] & 15]);
    }
    return text;
}

std::vector<uint8_t> Bytes(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

std::string Md5Hex(const std::string& text) {
    uint8_t digest[crypto::kMd5Size];
    crypto::Md5Digest(text.data(), text.size(), digest);
    return Hex(digest, sizeof digest);
}

// RFC 1321, appendix A.5, the test suite.
TEST(Md5, Rfc1321TestSuite) {
    SCOPED_TRACE(crypto::BackendName());
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Hex("1234567890123456789012345678901234567890123456789012345678901234567890"
                     "1234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

// Every way of cutting the input into pieces, across the 64-byte block
// boundaries, gives the one-shot digest; Reset starts afresh.
TEST(Md5, IncrementalEqualsOneShot) {
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 131 + 7);
    uint8_t expected[crypto::kMd5Size];
    crypto::Md5Digest(data.data(), data.size(), expected);

    crypto::Md5 md5;
    for (size_t piece : {1u, 3u, 55u, 56u, 63u, 64u, 65u, 127u, 999u}) {
        md5.Reset();
        for (size_t at = 0; at < data.size(); at += piece)
            md5.Update(data.data() + at, std::min(piece, data.size() - at));
        uint8_t digest[crypto::kMd5Size];
        md5.Final(digest);
        EXPECT_EQ(Hex(digest, 16), Hex(expected, 16)) << "pieces of " << piece;
    }
    md5.Reset();
    md5.Update("abc", 0);
    uint8_t empty[crypto::kMd5Size];
    md5.Final(empty);
    EXPECT_EQ(Hex(empty, 16), "d41d8cd98f00b204e9800998ecf8427e");
}

// NIST SP 800-67 Rev. 1, Appendix B: the TDEA example with three distinct
// keys (the plaintext's "qufck" is the publication's own).
TEST(TripleDes, Sp800_67ThreeKeyExample) {
    SCOPED_TRACE(crypto::BackendName());
    const auto k1 = Bytes("0123456789abcdef");
    const auto k2 = Bytes("23456789abcdef01");
    const auto k3 = Bytes("456789abcdef0123");
    const std::string plain = "The qufck brown fox jump";
    const std::string cipherHex = "a826fd8ce53b855fcce21c8112256fe668d5c05dd9b6b900";

    crypto::TripleDes des(k1.data(), k2.data(), k3.data());
    std::vector<uint8_t> blocks(plain.begin(), plain.end());
    des.EncipherBlocks(blocks.data(), 3);
    EXPECT_EQ(Hex(blocks.data(), blocks.size()), cipherHex);
    des.DecipherBlocks(blocks.data(), 3);
    EXPECT_EQ(std::string(blocks.begin(), blocks.end()), plain);

    // Single blocks give the same as the run of blocks: no chaining.
    std::vector<uint8_t> second(plain.begin() + 8, plain.begin() + 16);
    des.EncipherBlock(second.data());
    EXPECT_EQ(Hex(second.data(), 8), cipherHex.substr(16, 16));
    des.DecipherBlock(second.data());
    EXPECT_EQ(std::string(second.begin(), second.end()), plain.substr(8, 8));
}

// NIST SP 800-20, Table A.1 (variable plaintext known answer test), where
// K1 = K2 = K3 = 01 01 01 01 01 01 01 01. That key is one of DES's weak keys,
// so this also shows that weak keys are used, not refused.
TEST(TripleDes, Sp800_20VariablePlaintextWithWeakKey) {
    SCOPED_TRACE(crypto::BackendName());
    const auto key = Bytes("0101010101010101");
    crypto::TripleDes des(key.data(), key.data(), key.data());
    const struct {
        const char* plain;
        const char* cipher;
    } kCases[] = {
        {"8000000000000000", "95f8a5e5dd31d900"},
        {"4000000000000000", "dd7f121ca5015619"},
        {"2000000000000000", "2e8653104f3834ea"},
    };
    for (const auto& c : kCases) {
        auto block = Bytes(c.plain);
        des.EncipherBlock(block.data());
        EXPECT_EQ(Hex(block.data(), 8), c.cipher);
        des.DecipherBlock(block.data());
        EXPECT_EQ(Hex(block.data(), 8), c.plain);
    }
}

// Parity bits carry no key material: flipping them changes nothing.
TEST(TripleDes, ParityBitsIgnored) {
    auto k1 = Bytes("0123456789abcdef");
    auto k2 = Bytes("23456789abcdef01");
    auto k3 = Bytes("456789abcdef0123");
    crypto::TripleDes reference(k1.data(), k2.data(), k3.data());
    for (auto* key : {&k1, &k2, &k3})
        for (auto& byte : *key)
            byte ^= 1;
    crypto::TripleDes flipped(k1.data(), k2.data(), k3.data());
    uint8_t a[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    uint8_t b[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    reference.EncipherBlock(a);
    flipped.EncipherBlock(b);
    EXPECT_EQ(Hex(a, 8), Hex(b, 8));
}

// The keys come from the passphrase; the expected blocks were computed with
// an independent Triple DES implementation from the passphrase's digest.
TEST(IndexKeys, DerivedFromPassphrase) {
    SCOPED_TRACE(crypto::BackendName());
    PakIndexKeys keys;
    DeriveIndexKeys(&keys);
    // The third key overlaps the other two: bytes 4 to 11 of the digest.
    EXPECT_EQ(0, std::memcmp(keys.k3, keys.k1 + 4, 4));
    EXPECT_EQ(0, std::memcmp(keys.k3 + 4, keys.k2, 4));

    uint8_t index[16] = {0, 0, 0, 0, 0, 0, 0, 0, 'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h'};
    EncipherIndex(keys, index, sizeof index);
    EXPECT_EQ(Hex(index, 16), "3c010393ce735a489a5192d066ee832d");
    DecipherIndex(keys, index, sizeof index);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(index + 8), 8), "abcdefgh");
}

// Each thread derives its own copy; all agree with a fresh derivation.
TEST(IndexKeys, CachedPerThread) {
    PakIndexKeys expected;
    DeriveIndexKeys(&expected);
    PakIndexKeys first, again, other;
    GetIndexKeys(&first);
    GetIndexKeys(&again);
    std::thread([&] { GetIndexKeys(&other); }).join();
    for (const PakIndexKeys* keys : {&first, &again, &other})
        EXPECT_EQ(0, std::memcmp(keys, &expected, sizeof expected));
}

// A large index is shared out between threads: every block must still come
// out as the block cipher makes it, the uneven last part included, and the
// partial block at the end is left alone.
TEST(IndexKeys, LargeIndexEqualsBlockByBlock) {
    SCOPED_TRACE(crypto::BackendName());
    PakIndexKeys keys;
    GetIndexKeys(&keys);
    std::vector<uint8_t> index(8 * (3 * 8192 + 5) + 3);
    for (size_t i = 0; i < index.size(); ++i)
        index[i] = static_cast<uint8_t>(i * 29 + (i >> 11));
    std::vector<uint8_t> expected = index;
    crypto::TripleDes cipher(keys.k1, keys.k2, keys.k3);
    for (size_t at = 0; at + 8 <= expected.size(); at += 8)
        cipher.EncipherBlock(&expected[at]);
    std::vector<uint8_t> transformed = index;
    EncipherIndex(keys, transformed.data(), transformed.size());
    EXPECT_TRUE(transformed == expected);
    DecipherIndex(keys, transformed.data(), transformed.size());
    EXPECT_TRUE(transformed == index);
}

} // namespace
