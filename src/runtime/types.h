// Fixed-width integer names used throughout the installer: the file formats
// and the Win32 interfaces are defined in 32-bit unsigned quantities.
#pragma once

#include <cstdint>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int32_t i32;
typedef int64_t i64;
