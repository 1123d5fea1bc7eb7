// Opening one archive through the pak library, timed inside one process so
// that program start-up does not count, next to reading the same header and
// index bytes with plain reads and to deciphering them alone. The page cache
// is warm: one untimed open comes first.
//
//   bench_open ARCHIVE RUNS
// prints: <open ms> <read ms> <decipher ms> <sub-files>   (medians)
#include "pak/pak_manager.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>
#include <vector>

namespace {

double NowMs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1e3 + now.tv_nsec * 1e-6;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

bool ReadIndex(const char* path, std::vector<u8>* index) {
    const int fd = open(path, O_RDONLY);
    PakHeader header;
    bool ok = fd >= 0 && pread(fd, &header, sizeof header, 0) == sizeof header;
    if (ok) {
        index->resize(header.indexSize);
        ok = pread(fd, index->data(), index->size(), header.indexOffset) ==
             static_cast<ssize_t>(index->size());
    }
    if (fd >= 0)
        close(fd);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bench_open ARCHIVE RUNS\n");
        return 2;
    }
    const char* path = argv[1];
    const int runs = std::max(1, std::atoi(argv[2]));
    PakManager manager;
    std::vector<double> opens, reads, deciphers;
    size_t count = 0;
    for (int run = 0; run <= runs; ++run) {
        i32 error = 0;
        double start = NowMs();
        PakArchive* archive = manager.Open(path, PakReadOnly, false, &error);
        const double opened = NowMs() - start;
        if (archive == nullptr || error != PakOk) {
            std::fprintf(stderr, "bench_open: cannot open %s (error %d)\n", path, error);
            return 1;
        }
        count = archive->files.size();
        manager.Close(archive);

        std::vector<u8> index;
        start = NowMs();
        if (!ReadIndex(path, &index))
            return 1;
        const double read = NowMs() - start;

        PakIndexKeys keys;
        GetIndexKeys(&keys);
        start = NowMs();
        DecipherIndex(keys, index.data(), index.size());
        const double deciphered = NowMs() - start;
        if (run != 0) {
            opens.push_back(opened);
            reads.push_back(read);
            deciphers.push_back(deciphered);
        }
    }
    std::printf("%.3f %.3f %.3f %zu\n", Median(opens), Median(reads), Median(deciphers), count);
    return 0;
}
