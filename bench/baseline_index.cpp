// The least an installer with nothing to do must read: each archive's header
// and index bytes, and nothing else.
//
//   bench_index ARCHIVE...
#include "pak/pak_format.h"

#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

int main(int argc, char** argv) {
    std::vector<unsigned char> index;
    for (int i = 1; i < argc; ++i) {
        const int fd = open(argv[i], O_RDONLY);
        PakHeader header;
        if (fd < 0 || pread(fd, &header, sizeof header, 0) != sizeof header) {
            std::fprintf(stderr, "bench_index: cannot read %s\n", argv[i]);
            return 2;
        }
        index.resize(header.indexSize);
        if (pread(fd, index.data(), index.size(), header.indexOffset) !=
            static_cast<ssize_t>(index.size())) {
            std::fprintf(stderr, "bench_index: cannot read the index of %s\n", argv[i]);
            return 2;
        }
        close(fd);
    }
    return 0;
}
