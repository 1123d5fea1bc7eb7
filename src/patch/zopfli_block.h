// One block of the block deflater's level 11: zopfli's encoder, with the
// bytes before the block as its history. zopfli_block.cpp is built where
// zopfli is (cmake/Zopfli.cmake); elsewhere zopfli_block_none.cpp says that
// it is not.
#pragma once

#include "runtime/types.h"

bool ZopfliBuiltIn();

// Compresses input[history, history + size) into raw deflate at `out`, with
// input[0, history) as the stream's bytes before it. `last`: the stream's
// final block. Otherwise the piece is closed as zlib's sync flush closes
// one, so that the next piece starts on a byte boundary. False when the
// result does not fit `capacity` or zopfli is not built in.
bool ZopfliCompressBlock(const u8* input, u32 history, u32 size, bool last, int iterations, u8* out,
                         u32 capacity, u32* produced);
