// A second process for the tests of the platform layer.
//   hold <path> <access> <share>  opens the file, says "ready" (or "error N"),
//                                 and keeps it open until its stdin closes
//   create <path>...              creates each file, printing "ok" or the error
#include "platform/win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

int Hold(const char* path, DWORD access, DWORD share) {
    HANDLE file = CreateFileA(path, access, share, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        printf("error %u\n", GetLastError());
    else
        printf("ready\n");
    fflush(stdout);
    char byte;
    while (read(0, &byte, 1) > 0) {
    }
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return 0;
}

int Create(int count, char** paths) {
    for (int i = 0; i < count; ++i) {
        HANDLE file = CreateFileA(paths[i], GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            printf("%serror %u", i ? " " : "", GetLastError());
        else
            printf("%sok", i ? " " : "");
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    printf("\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "hold") == 0)
        return Hold(argv[2], strtoul(argv[3], nullptr, 0), strtoul(argv[4], nullptr, 0));
    if (argc >= 3 && strcmp(argv[1], "create") == 0)
        return Create(argc - 2, argv + 2);
    fprintf(stderr, "usage: helper hold <path> <access> <share> | create <path>...\n");
    return 2;
}
