#include "pe_stub.h"

#include <cstdint>

namespace pitest {
namespace {

std::string LittleEndian32(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>(value >> (8 * i));
    return bytes;
}

} // namespace

std::string HandMadePeStub() {
    constexpr size_t kPeHeader = 0x40;
    std::string stub(0x200, '\0');
    stub[0] = 'M';
    stub[1] = 'Z';
    stub.replace(0x3C, 4, LittleEndian32(kPeHeader));
    stub.replace(kPeHeader, 4, std::string("PE\0\0", 4));
    stub.replace(kPeHeader + 4 + 16, 2, std::string("\xE0\x00", 2)); // optional header size
    stub.replace(kPeHeader + 24, 2, std::string("\x0B\x01", 2));     // PE32
    stub.replace(kPeHeader + 24 + 92, 4, LittleEndian32(16));        // data directories
    return stub;
}

} // namespace pitest
