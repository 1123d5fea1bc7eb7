// A text-mode FILE* with a code page 936 name. Windows' runtime does it
// all. On Linux the name is converted to UTF-8 and the stream goes through a
// cookie that stores each "\n" as CR LF and reads CR LF back as "\n", so the
// file is byte for byte what Windows would write.
#include "platform/text_file.h"

#ifdef _WIN32

namespace pi {

FILE* OpenTextFile(const char* path, const char* mode) {
    return fopen(path, mode);
}

} // namespace pi

#else // Linux

#include "platform/codepage.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace pi {
namespace {

struct TextCookie {
    int fd;
    int pending; // a byte read ahead after a CR, or -1
};

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

ssize_t WriteText(void* raw, const char* buffer, size_t size) {
    auto* cookie = static_cast<TextCookie*>(raw);
    std::string translated;
    translated.reserve(size + size / 8);
    for (size_t i = 0; i < size; ++i) {
        if (buffer[i] == '\n')
            translated += '\r';
        translated += buffer[i];
    }
    return WriteAll(cookie->fd, translated.data(), translated.size()) ? static_cast<ssize_t>(size)
                                                                      : -1;
}

int ReadByte(TextCookie* cookie) {
    if (cookie->pending >= 0) {
        int byte = cookie->pending;
        cookie->pending = -1;
        return byte;
    }
    unsigned char byte;
    ssize_t n;
    do
        n = read(cookie->fd, &byte, 1);
    while (n < 0 && errno == EINTR);
    return n == 1 ? byte : (n == 0 ? EOF : -2);
}

// Byte by byte is enough for the few text files the installer reads back.
ssize_t ReadText(void* raw, char* buffer, size_t size) {
    auto* cookie = static_cast<TextCookie*>(raw);
    size_t done = 0;
    while (done < size) {
        int byte = ReadByte(cookie);
        if (byte == -2)
            return done > 0 ? static_cast<ssize_t>(done) : -1;
        if (byte == EOF)
            break;
        if (byte == '\r') {
            int next = ReadByte(cookie);
            if (next == '\n')
                byte = '\n';
            else if (next >= 0)
                cookie->pending = next;
        }
        buffer[done++] = static_cast<char>(byte);
    }
    return static_cast<ssize_t>(done);
}

int SeekText(void* raw, off64_t* position, int whence) {
    auto* cookie = static_cast<TextCookie*>(raw);
    if (whence == SEEK_CUR && cookie->pending >= 0)
        *position -= 1;
    off64_t result = lseek64(cookie->fd, *position, whence);
    if (result < 0)
        return -1;
    cookie->pending = -1;
    *position = result;
    return 0;
}

int CloseText(void* raw) {
    auto* cookie = static_cast<TextCookie*>(raw);
    int rc = close(cookie->fd);
    delete cookie;
    return rc;
}

// fopen's flags for `mode`, or -1 for a mode fopen refuses.
int OpenFlags(const char* mode) {
    int flags;
    switch (mode[0]) {
    case 'r':
        flags = 0;
        break;
    case 'w':
        flags = O_CREAT | O_TRUNC;
        break;
    case 'a':
        flags = O_CREAT | O_APPEND;
        break;
    default:
        return -1;
    }
    bool update = strchr(mode, '+') != nullptr;
    if (update)
        return flags | O_RDWR;
    return flags | (mode[0] == 'r' ? O_RDONLY : O_WRONLY);
}

// The process may run as root: a read-only file must still refuse writing.
bool RefusesWriting(const std::string& name, int flags) {
    struct stat st;
    return (flags & (O_WRONLY | O_RDWR)) && stat(name.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
           (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

} // namespace

FILE* OpenTextFile(const char* path, const char* mode) {
    std::string name;
    int flags = mode != nullptr ? OpenFlags(mode) : -1;
    if (path == nullptr || flags < 0 || !AcpToUtf8(path, &name)) {
        errno = EINVAL;
        return nullptr;
    }
    for (char& c : name)
        if (c == '\\')
            c = '/';
    if (strchr(mode, 'b') != nullptr)
        return fopen(name.c_str(), mode);
    if (RefusesWriting(name, flags)) {
        errno = EACCES;
        return nullptr;
    }
    int fd = open(name.c_str(), flags | O_CLOEXEC, 0666);
    if (fd < 0)
        return nullptr;
    auto* cookie = new TextCookie{fd, -1};
    FILE* file = fopencookie(cookie, mode, {ReadText, WriteText, SeekText, CloseText});
    if (file == nullptr)
        CloseText(cookie);
    return file;
}

} // namespace pi

#endif // _WIN32
