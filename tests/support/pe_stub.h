// A PE program of 32-bit Windows laid out by hand, as installers' stubs
// are: enough for a signer and for the installer's reader, not to run.
#pragma once

#include <cstddef>
#include <string>

namespace pitest {

// The DOS header, "PE", the file header and a PE32 optional header whose
// 16 data directories are empty; 0x200 bytes.
std::string HandMadePeStub();

// Where the security directory (offset, size) lies in that stub.
constexpr size_t kHandMadePeSecurityDirectory = 0x40 + 24 + 96 + 4 * 8;

} // namespace pitest
