// Conversions and time stamps of mkpatch.
#include "mkpatch.h"

namespace mkpatch {

std::string ToAcp(const std::string& utf8, const char* what) {
    return pitool::ToAcp(utf8, what, kExitBadInput);
}

std::string PathToAcp(const std::string& utf8Path) {
    return pitool::LibraryPath(utf8Path, "the path", kExitUsageOrIo);
}

u64 StampValue(const FILETIME& stamp) {
    return (static_cast<u64>(stamp.dwHighDateTime) << 32) | stamp.dwLowDateTime;
}

std::string FormatStamp(const FILETIME& stamp) {
    return pitool::FormatFileTime(StampValue(stamp)) + " UTC";
}

} // namespace mkpatch
