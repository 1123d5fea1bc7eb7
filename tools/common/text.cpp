// Conversions and formatting shared by the tools.
#include "text.h"

#include "platform/codepage.h"
#include "tool_error.h"

#include <cstdio>

namespace pitool {
namespace {

constexpr u64 kTicksPerSecond = 10000000;
// Seconds from 1601-01-01 (FILETIME's origin) to 1970-01-01.
constexpr i64 kFileTimeToUnixSeconds = 11644473600LL;

// Civil date from days since 1970-01-01 (proleptic Gregorian calendar),
// without the C library: its gmtime differs between systems before 1970 and
// after 3000.
void CivilFromDays(i64 days, i64* year, unsigned* month, unsigned* day) {
    days += 719468;
    const i64 era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned dayOfEra = static_cast<unsigned>(days - era * 146097);
    const unsigned yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const unsigned dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const unsigned monthIndex = (5 * dayOfYear + 2) / 153;
    *day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    *month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    *year = static_cast<i64>(yearOfEra) + era * 400 + (*month <= 2 ? 1 : 0);
}

} // namespace

std::string ToAcp(const std::string& utf8, const std::string& what, int exitCode) {
    std::string acp;
    if (!pi::Utf8ToAcp(utf8, &acp))
        ThrowToolError(exitCode,
                       what + " \"" + utf8 + "\" cannot be written in code page 936 (GBK)");
    return acp;
}

std::string ToUtf8(const std::string& acp) {
    return pi::AcpToUtf8Lossy(acp);
}

std::string HexDigest(const u8 digest[16]) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 16; ++i) {
        text.push_back(kDigits[digest[i] >> 4]);
        text.push_back(kDigits[digest[i] & 15]);
    }
    return text;
}

std::string FormatFileTime(u64 ticks) {
    const i64 unixSeconds = static_cast<i64>(ticks / kTicksPerSecond) - kFileTimeToUnixSeconds;
    i64 days = unixSeconds / 86400;
    i64 secondOfDay = unixSeconds % 86400;
    if (secondOfDay < 0) {
        secondOfDay += 86400;
        --days;
    }
    i64 year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days, &year, &month, &day);
    char text[64];
    std::snprintf(
        text, sizeof text, "%04lld-%02u-%02u %02u:%02u:%02u", static_cast<long long>(year), month,
        day, static_cast<unsigned>(secondOfDay / 3600),
        static_cast<unsigned>(secondOfDay / 60 % 60), static_cast<unsigned>(secondOfDay % 60));
    return text;
}

} // namespace pitool
