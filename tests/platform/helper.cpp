// A second process for the tests of the platform layer.
//   hold <path> <access> <share>  opens the file, says "ready" (or "error N"),
//                                 and keeps it open until its stdin closes
//   create <path>...              creates each file, printing "ok" or the error
//   steps <step>...               carries out file operations in order, for
//                                 the tests of the stops (crash, pause, power
//                                 cut); each step is an operation and its
//                                 arguments joined by '=':
//     write=P=T    CreateFile (always), WriteFile T, CloseHandle   (3 calls)
//     flush=P=T    the same with FlushFileBuffers before closing    (4 calls)
//     through=P=T  the same through a write-through handle          (3 calls)
//     time=P=N     open P, SetFileTime (last write N), CloseHandle  (3 calls)
//     move=A=B     MoveFileExA, replacing                           (1 call)
//     movewt=A=B   MoveFileExA, replacing, written through          (1 call)
//     delete=P, mkdir=P, readonly=P                                 (1 call)
#include "platform/win32.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
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

bool WriteStep(const std::string& path, const std::string& text, DWORD flags, bool flush) {
    HANDLE file =
        CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, flags, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    DWORD done = 0;
    bool ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &done, nullptr) &&
              (!flush || FlushFileBuffers(file));
    return CloseHandle(file) && ok;
}

bool TimeStep(const std::string& path, unsigned long long stamp) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    FILETIME time = {static_cast<DWORD>(stamp), static_cast<DWORD>(stamp >> 32)};
    bool ok = SetFileTime(file, nullptr, nullptr, &time);
    return CloseHandle(file) && ok;
}

bool Step(const std::string& step) {
    std::string parts[3];
    size_t start = 0;
    for (int i = 0; i < 3 && start <= step.size(); ++i) {
        size_t end = i < 2 ? step.find('=', start) : std::string::npos;
        parts[i] = step.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? step.size() + 1 : end + 1;
    }
    const std::string &op = parts[0], &a = parts[1], &b = parts[2];
    if (op == "write" || op == "flush")
        return WriteStep(a, b, 0, op == "flush");
    if (op == "through")
        return WriteStep(a, b, FILE_FLAG_WRITE_THROUGH, false);
    if (op == "time")
        return TimeStep(a, strtoull(b.c_str(), nullptr, 10));
    if (op == "move" || op == "movewt")
        return MoveFileExA(a.c_str(), b.c_str(),
                           MOVEFILE_REPLACE_EXISTING |
                               (op == "movewt" ? MOVEFILE_WRITE_THROUGH : 0));
    if (op == "delete")
        return DeleteFileA(a.c_str());
    if (op == "mkdir")
        return CreateDirectoryA(a.c_str(), nullptr);
    if (op == "readonly")
        return SetFileAttributesA(a.c_str(), FILE_ATTRIBUTE_READONLY);
    return false;
}

int Steps(int count, char** steps) {
    for (int i = 0; i < count; ++i)
        if (!Step(steps[i])) {
            printf("step %d failed: error %u\n", i + 1, GetLastError());
            return 1;
        }
    printf("done\n");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    if (argc == 5 && strcmp(argv[1], "hold") == 0)
        return Hold(argv[2], strtoul(argv[3], nullptr, 0), strtoul(argv[4], nullptr, 0));
    if (argc >= 3 && strcmp(argv[1], "create") == 0)
        return Create(argc - 2, argv + 2);
    if (argc >= 2 && strcmp(argv[1], "steps") == 0)
        return Steps(argc - 2, argv + 2);
    fprintf(stderr, "usage: helper hold <path> <access> <share> | create <path>...\n");
    return 2;
}
