#include "patch/report.h"

#include "platform/file_holders.h"

#include <cstdarg>
#include <cstdio>
#include <vector>

std::string FormatText(const char* format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int length = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (length > 0) {
        std::vector<char> buffer(static_cast<size_t>(length) + 1);
        std::vsnprintf(buffer.data(), buffer.size(), format, again);
        text.assign(buffer.data(), static_cast<size_t>(length));
    }
    va_end(again);
    return text;
}

namespace {

struct ErrorText {
    DWORD code;
    const char* text;
};

const ErrorText kErrorTexts[] = {
    {ERROR_FILE_NOT_FOUND, "file not found"},
    {ERROR_PATH_NOT_FOUND, "path not found"},
    {ERROR_TOO_MANY_OPEN_FILES, "too many open files"},
    {ERROR_ACCESS_DENIED, "access denied"},
    {ERROR_INVALID_HANDLE, "invalid handle"},
    {ERROR_NOT_ENOUGH_MEMORY, "out of memory"},
    {ERROR_OUTOFMEMORY, "out of memory"},
    {ERROR_WRITE_PROTECT, "the disk is write-protected"},
    {ERROR_SHARING_VIOLATION, "the file is in use by another program"},
    {ERROR_LOCK_VIOLATION, "the file is locked by another program"},
    {ERROR_HANDLE_EOF, "unexpected end of file"},
    {ERROR_HANDLE_DISK_FULL, "the disk is full"},
    {ERROR_DISK_FULL, "the disk is full"},
    {ERROR_FILE_EXISTS, "the file already exists"},
    {ERROR_ALREADY_EXISTS, "the file already exists"},
    {ERROR_INVALID_PARAMETER, "invalid parameter"},
    {ERROR_INVALID_NAME, "invalid file name"},
    {ERROR_FILENAME_EXCED_RANGE, "the name is too long"},
    {ERROR_IO_DEVICE, "device I/O error"},
};

} // namespace

std::string DescribeSize(u64 bytes) {
    if (bytes < 1024)
        return FormatText("%u byte%s", static_cast<unsigned>(bytes), bytes == 1 ? "" : "s");
    const char* const units[] = {"KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    while (value >= 1024 && unit + 1 < sizeof units / sizeof units[0]) {
        value /= 1024;
        ++unit;
    }
    return FormatText("%.1f %s", value, units[unit]);
}

std::string DescribeSystemError(DWORD code) {
    for (const ErrorText& entry : kErrorTexts)
        if (entry.code == code)
            return FormatText("%s (error %u)", entry.text, static_cast<unsigned>(code));
    return FormatText("system error %u", static_cast<unsigned>(code));
}

std::string DescribeFileHolders(const std::string& path) {
    const std::string holders = pi::NameFileHolders(path.c_str());
    return holders.empty() ? std::string() : "; held open by " + holders;
}

std::string DescribeFileError(DWORD code, const std::string& path) {
    const bool held = code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION;
    return DescribeSystemError(code) + (held ? DescribeFileHolders(path) : std::string());
}
