// Runs one measured program and reports its wall time, CPU time, peak
// resident memory and exit status on one line. A process inherits the peak of
// the process it was forked from, so the measured program is forked from this
// small one rather than from pibench. (For that reason, and because the
// benchmark measures the released programs without linking any test code,
// it is not the child-process runner of tests/support.)
//
//   bench_spawn STDOUT STDERR PROGRAM [ARGUMENT...]
// prints: <wall s> <cpu s> <peak KiB> <wait status>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace {

double Now() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec + now.tv_nsec * 1e-9;
}

double Seconds(const timeval& t) {
    return t.tv_sec + t.tv_usec * 1e-6;
}

bool Redirect(const char* path, int target) {
    const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    return fd >= 0 && dup2(fd, target) >= 0 && close(fd) == 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: bench_spawn STDOUT STDERR PROGRAM [ARGUMENT...]\n");
        return 2;
    }
    std::fflush(stdout);
    const double start = Now();
    const pid_t child = fork();
    if (child == 0) {
        if (!Redirect(argv[1], STDOUT_FILENO) || !Redirect(argv[2], STDERR_FILENO))
            _exit(126);
        execvp(argv[3], argv + 3);
        _exit(127);
    }
    int status = 0;
    rusage usage;
    if (child < 0 || wait4(child, &status, 0, &usage) < 0)
        return 2;
    const double wall = Now() - start;
    std::printf("%.6f %.6f %ld %d\n", wall, Seconds(usage.ru_utime) + Seconds(usage.ru_stime),
                usage.ru_maxrss, status);
    return 0;
}
