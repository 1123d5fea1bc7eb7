#include "open_files.h"

#include "platform/win32.h"

namespace pitest {
namespace {

bool EndsWithIgnoringCase(const std::string& name, const std::string& suffix) {
    if (name.size() < suffix.size())
        return false;
    for (size_t i = 0; i < suffix.size(); ++i) {
        char a = name[name.size() - suffix.size() + i], b = suffix[i];
        a = (a >= 'A' && a <= 'Z') ? static_cast<char>(a + 32) : a;
        b = (b >= 'A' && b <= 'Z') ? static_cast<char>(b + 32) : b;
        if (a != b)
            return false;
    }
    return true;
}

void Collect(const std::string& dir, const std::string& suffix, std::vector<std::string>* held) {
    WIN32_FIND_DATAA found;
    HANDLE search = FindFirstFileA((dir + "\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::string name = found.cFileName;
        if (name == "." || name == "..")
            continue;
        const std::string path = dir + "\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            Collect(path, suffix, held);
        else if (EndsWithIgnoringCase(name, suffix) && IsHeldOpen(path))
            held->push_back(path);
    } while (FindNextFileA(search, &found));
    FindClose(search);
}

} // namespace

bool IsHeldOpen(const std::string& path) {
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        CloseHandle(file);
        return false;
    }
    return GetLastError() == ERROR_SHARING_VIOLATION;
}

std::vector<std::string> HeldOpenUnder(const std::string& dir, const std::string& suffix) {
    std::vector<std::string> held;
    Collect(dir, suffix, &held);
    return held;
}

} // namespace pitest
