// Memory whose size comes from bytes on disk. A damaged file may ask for any
// amount, and a 32-bit process runs out long before a 64-bit one: the size
// is checked against a fixed limit before anything is allocated, and an
// allocator that refuses makes a false result, not an exception that would
// end the program.
#pragma once

#include "runtime/types.h"

#include <new>
#include <stdexcept>
#include <vector>

// `buffer` resized to `count` elements (with `reserveOnly`, room made for
// them); false, with `buffer` as it was, when they would take more than
// `maxBytes` or cannot be had.
template <typename T>
bool ResizeFromDisk(std::vector<T>* buffer, u64 count, u64 maxBytes, bool reserveOnly = false) {
    if (count > maxBytes / sizeof(T))
        return false;
    try {
        if (reserveOnly)
            buffer->reserve(static_cast<size_t>(count));
        else
            buffer->resize(static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::length_error&) {
        return false;
    }
    return true;
}
