// A build without zopfli: level 11 is not offered.
#include "patch/zopfli_block.h"

bool ZopfliBuiltIn() {
    return false;
}

bool ZopfliCompressBlock(const u8*, u32, u32, bool, int, u8*, u32, u32* produced) {
    *produced = 0;
    return false;
}
