// The machine's own inflation of an installer's payload: zlib's raw inflate
// with the installer's buffer sizes, reading and writing plain files, and
// nothing else.
//
//   bench_inflate INSTALLER OUTPUT
#include "patch/package.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace {

bool WriteAll(int fd, const unsigned char* data, size_t size) {
    while (size != 0) {
        const ssize_t done = write(fd, data, size);
        if (done <= 0)
            return false;
        data += done;
        size -= static_cast<size_t>(done);
    }
    return true;
}

int Inflate(int in, int out, off_t length) {
    static unsigned char input[kInflateInputSize];
    static unsigned char output[kInflateOutputSize];
    z_stream z;
    std::memset(&z, 0, sizeof z);
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK)
        return 1;
    int result = Z_OK;
    bool more = true; // input left, or output the last call had no room for
    while (result != Z_STREAM_END && more) {
        if (z.avail_in == 0 && length > 0) {
            const size_t want = length < static_cast<off_t>(sizeof input) ? length : sizeof input;
            const ssize_t got = read(in, input, want);
            if (got <= 0)
                break;
            length -= got;
            z.next_in = input;
            z.avail_in = static_cast<uInt>(got);
        }
        z.next_out = output;
        z.avail_out = sizeof output;
        result = inflate(&z, Z_SYNC_FLUSH);
        if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR)
            break;
        if (!WriteAll(out, output, sizeof output - z.avail_out))
            break;
        more = length > 0 || z.avail_in != 0 || z.avail_out == 0;
    }
    inflateEnd(&z);
    return result == Z_STREAM_END ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_inflate INSTALLER OUTPUT\n");
        return 2;
    }
    const int in = open(argv[1], O_RDONLY);
    const int out = open(argv[2], O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const off_t size = in < 0 ? 0 : lseek(in, 0, SEEK_END);
    PatchTrailer trailer;
    if (in < 0 || out < 0 || size < 8 || pread(in, &trailer, sizeof trailer, size - 8) != 8 ||
        lseek(in, trailer.payloadStart, SEEK_SET) < 0) {
        std::fprintf(stderr, "bench_inflate: cannot read %s or write %s\n", argv[1], argv[2]);
        return 2;
    }
    const int result = Inflate(in, out, size - 8 - trailer.payloadStart);
    close(in);
    return close(out) == 0 ? result : 1;
}
