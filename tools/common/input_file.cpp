#include "input_file.h"

#include "system.h"

#include <algorithm>
#include <cerrno>

namespace pitool {

bool InputFile::Open() {
    m_file.close();
    m_position = 0;
    errno = 0;
    if (m_file.open(PathOf(m_path), std::ios::in | std::ios::binary) == nullptr) {
        m_openError = std::error_code(errno, std::generic_category());
        status = StreamNoAccess;
        return false;
    }
    const std::streampos end = m_file.pubseekoff(0, std::ios::end, std::ios::in);
    if (end == std::streampos(-1) || m_file.pubseekpos(0, std::ios::in) != std::streampos(0)) {
        m_file.close();
        status = StreamFailed;
        return false;
    }
    m_size = static_cast<u64>(static_cast<std::streamoff>(end));
    status = StreamOk;
    return true;
}

bool InputFile::HasAccess(u32 mask) {
    return (mask & ~static_cast<u32>(StreamAccessRead | StreamAccessSeek)) == 0;
}

u32 InputFile::Tell() {
    return static_cast<u32>(std::min<u64>(m_position, 0xFFFFFFFFu));
}

bool InputFile::Seek(i32 position) {
    if (!m_file.is_open() && !Open())
        return false;
    if (position < 0 || static_cast<u64>(position) > m_size ||
        m_file.pubseekpos(position, std::ios::in) == std::streampos(-1)) {
        status = StreamEnd;
        return false;
    }
    m_position = static_cast<u64>(position);
    return true;
}

u32 InputFile::GetSize() {
    return static_cast<u32>(std::min<u64>(m_size, 0xFFFFFFFFu));
}

bool InputFile::Read(void* buffer, u32 count) {
    if (count == 0)
        return true;
    // Closed: not opened yet, or read to its end.
    if (!m_file.is_open() && (m_position != 0 || !Open())) {
        if (m_position != 0)
            status = StreamEnd;
        return false;
    }
    const std::streamsize got = m_file.sgetn(static_cast<char*>(buffer), count);
    m_position += static_cast<u64>(std::max<std::streamsize>(got, 0));
    if (m_position >= m_size)
        m_file.close();
    if (got != static_cast<std::streamsize>(count)) {
        status = StreamEnd;
        return false;
    }
    return true;
}

bool InputFile::Write(const void*, u32) {
    status = StreamBadMode;
    return false;
}

void InputFile::Close() {
    m_file.close();
    status = StreamClosed;
}

} // namespace pitool
