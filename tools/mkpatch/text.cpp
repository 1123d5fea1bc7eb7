// Conversions, time stamps and small formatting helpers of mkpatch.
#include "mkpatch.h"

#include "platform/codepage.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace mkpatch {
namespace {

constexpr u64 kTicksPerSecond = 10000000;
// Seconds from 1601-01-01 (FILETIME's origin) to 1970-01-01.
constexpr i64 kFileTimeToUnixSeconds = 11644473600LL;

// Civil date from days since 1970-01-01 (proleptic Gregorian calendar).
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

// Read by the signal handler: a fixed buffer, never reallocated.
char g_interruptPath[4096];

void OnInterrupt(int) {
    if (g_interruptPath[0] != '\0')
        unlink(g_interruptPath);
    _exit(130);
}

} // namespace

void Fail(int exitCode, const std::string& message) {
    throw ToolError{exitCode, message};
}

void RemoveOnInterrupt(const std::string* utf8Path) {
    static bool installed = false;
    if (!installed) {
        installed = true;
        signal(SIGINT, OnInterrupt);
        signal(SIGTERM, OnInterrupt);
    }
    sigset_t signals, previous;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &signals, &previous);
    g_interruptPath[0] = '\0';
    if (utf8Path != nullptr && utf8Path->size() < sizeof g_interruptPath)
        memcpy(g_interruptPath, utf8Path->c_str(), utf8Path->size() + 1);
    sigprocmask(SIG_SETMASK, &previous, nullptr);
}

std::string ToAcp(const std::string& utf8, const char* what) {
    std::string acp;
    if (!pi::Utf8ToAcp(utf8, &acp))
        Fail(kExitBadInput,
             std::string(what) + " \"" + utf8 + "\" cannot be written in code page 936 (GBK)");
    return acp;
}

std::string ToUtf8(const std::string& acp) {
    return pi::AcpToUtf8Lossy(acp);
}

std::string PathToAcp(const std::string& utf8Path) {
    std::string acp;
    if (!pi::Utf8ToAcp(utf8Path, &acp))
        Fail(kExitUsageOrIo, "the path \"" + utf8Path +
                                 "\" cannot be written in code page 936 (GBK), which the "
                                 "installer's file functions use");
    return acp;
}

FILETIME ModificationTime(const std::string& utf8Path) {
    struct stat st;
    if (stat(utf8Path.c_str(), &st) != 0)
        Fail(kExitUsageOrIo, "cannot read the time of " + utf8Path + ": " + strerror(errno));
    const i64 seconds = static_cast<i64>(st.st_mtim.tv_sec) + kFileTimeToUnixSeconds;
    u64 ticks = 0;
    if (seconds > 0)
        ticks = static_cast<u64>(seconds) * kTicksPerSecond + st.st_mtim.tv_nsec / 100;
    FILETIME stamp;
    stamp.dwLowDateTime = static_cast<DWORD>(ticks);
    stamp.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return stamp;
}

u64 StampValue(const FILETIME& stamp) {
    return (static_cast<u64>(stamp.dwHighDateTime) << 32) | stamp.dwLowDateTime;
}

std::string FormatStamp(const FILETIME& stamp) {
    const u64 ticks = StampValue(stamp);
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
    snprintf(text, sizeof text, "%04lld-%02u-%02u %02u:%02u:%02u UTC", static_cast<long long>(year),
             month, day, static_cast<unsigned>(secondOfDay / 3600),
             static_cast<unsigned>(secondOfDay / 60 % 60), static_cast<unsigned>(secondOfDay % 60));
    return text;
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

std::string JsonString(const std::string& utf8) {
    std::string text = "\"";
    for (unsigned char c : utf8) {
        if (c == '"' || c == '\\') {
            text.push_back('\\');
            text.push_back(static_cast<char>(c));
        } else if (c < 0x20) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\u%04x", c);
            text += escaped;
        } else {
            text.push_back(static_cast<char>(c));
        }
    }
    return text + "\"";
}

} // namespace mkpatch
