#include "memory_stream.h"

#include <cstring>

namespace pitest {

MemoryStream::MemoryStream(std::string bytes, Mode mode) : data(std::move(bytes)), m_mode(mode) {
    status = StreamOk;
}

bool MemoryStream::HasAccess(u32 mask) {
    const u32 granted =
        StreamAccessRead | StreamAccessSeek | (m_mode == ReadWrite ? StreamAccessWrite : 0u);
    return (mask & granted) != 0;
}

u32 MemoryStream::Tell() {
    return position;
}

bool MemoryStream::Seek(i32 to) {
    if (to < 0) {
        status = StreamEnd;
        return false;
    }
    position = static_cast<u32>(to);
    status = position < data.size() ? StreamOk : StreamEnd;
    return status == StreamOk;
}

u32 MemoryStream::GetSize() {
    return static_cast<u32>(data.size());
}

bool MemoryStream::Read(void* buffer, u32 count) {
    if (position > data.size() || data.size() - position < count) {
        status = StreamEnd;
        return false;
    }
    if (count != 0)
        std::memcpy(buffer, data.data() + position, count);
    position += count;
    status = StreamOk;
    return true;
}

bool MemoryStream::Write(const void* buffer, u32 count) {
    if (m_mode != ReadWrite) {
        status = StreamBadMode;
        return false;
    }
    if (data.size() < static_cast<u64>(position) + count)
        data.resize(static_cast<size_t>(position) + count);
    if (count != 0)
        std::memcpy(&data[position], buffer, count);
    position += count;
    status = StreamOk;
    return true;
}

} // namespace pitest
