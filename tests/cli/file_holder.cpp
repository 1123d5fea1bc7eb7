// Holds a file open for reading and writing, sharing nothing, as a running
// game holds its archives: a real second process for the installer to meet.
//
//   file_holder FILE FLAG   prints "ready PID" (or "error N") once FILE is
//                           open, and keeps it open until FLAG exists (a
//                           minute at most)
#include "platform/win32.h"

#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: file_holder FILE FLAG\n");
        return 2;
    }
    HANDLE file = CreateFileA(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        printf("error %u\n", static_cast<unsigned>(GetLastError()));
        return 1;
    }
    printf("ready %u\n", static_cast<unsigned>(GetCurrentProcessId()));
    fflush(stdout);
    for (int i = 0; i < 6000 && GetFileAttributesA(argv[2]) == INVALID_FILE_ATTRIBUTES; ++i)
        Sleep(10);
    CloseHandle(file);
    return 0;
}
