// Code page 936 <-> UTF-8. Windows converts through UTF-16 with the system's
// tables; Linux through iconv's "GBK" (which is code page 936, 0x80 included).
#include "platform/codepage.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <iconv.h>
#endif

namespace pi {
namespace {

bool IsAscii(const std::string& text) {
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

#ifdef _WIN32

const UINT kGbk = 936;

bool ToWide(UINT codePage, const std::string& text, std::wstring* out) {
    int size = static_cast<int>(text.size());
    int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, nullptr, 0);
    if (n <= 0)
        return false;
    out->resize(n);
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, text.data(), size, &(*out)[0], n) ==
           n;
}

// For code page 936 a character without a GBK spelling must fail rather than
// become a look-alike or '?': names built from it would point elsewhere.
// UTF-16 that came out of ToWide is always valid, so UTF-8 needs no check
// (and XP knows no flag for one).
bool FromWide(UINT codePage, const std::wstring& text, std::string* out) {
    int size = static_cast<int>(text.size());
    DWORD flags = codePage == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* usedDefaultOut = codePage == CP_UTF8 ? nullptr : &usedDefault;
    int n = WideCharToMultiByte(codePage, flags, text.data(), size, nullptr, 0, nullptr,
                                usedDefaultOut);
    if (n <= 0 || usedDefault)
        return false;
    out->resize(n);
    return WideCharToMultiByte(codePage, flags, text.data(), size, &(*out)[0], n, nullptr,
                               usedDefaultOut) == n &&
           !usedDefault;
}

bool Convert(UINT from, UINT to, const std::string& text, std::string* out) {
    std::wstring wide;
    return ToWide(from, text, &wide) && FromWide(to, wide, out);
}

bool GbkToUtf8(const std::string& text, std::string* out) {
    return Convert(kGbk, CP_UTF8, text, out);
}
bool Utf8ToGbk(const std::string& text, std::string* out) {
    return Convert(CP_UTF8, kGbk, text, out);
}

#else

// iconv descriptors are costly to open and not shareable between threads:
// each thread keeps its own pair.
class Converters {
  public:
    Converters() : m_toUtf8(iconv_open("UTF-8", "GBK")), m_toGbk(iconv_open("GBK", "UTF-8")) {}
    ~Converters() {
        if (m_toUtf8 != kNone)
            iconv_close(m_toUtf8);
        if (m_toGbk != kNone)
            iconv_close(m_toGbk);
    }
    iconv_t ToUtf8() const { return m_toUtf8; }
    iconv_t ToGbk() const { return m_toGbk; }
    static inline const iconv_t kNone = reinterpret_cast<iconv_t>(-1);

  private:
    iconv_t m_toUtf8;
    iconv_t m_toGbk;
};

Converters& ThreadConverters() {
    thread_local Converters converters;
    return converters;
}

bool Convert(iconv_t cd, const std::string& text, std::string* out) {
    if (cd == Converters::kNone)
        return false;
    iconv(cd, nullptr, nullptr, nullptr, nullptr); // reset the shift state
    std::string result(text.size() * 2 + 16, '\0');
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    size_t done = 0;
    while (inLeft > 0) {
        char* dst = &result[done];
        size_t outLeft = result.size() - done;
        size_t rc = iconv(cd, &in, &inLeft, &dst, &outLeft);
        done = result.size() - outLeft;
        if (rc != static_cast<size_t>(-1))
            break;
        if (errno != E2BIG)
            return false; // EILSEQ, or EINVAL for a truncated double-byte character
        result.resize(result.size() * 2);
    }
    result.resize(done);
    *out = std::move(result);
    return true;
}

bool GbkToUtf8(const std::string& text, std::string* out) {
    return Convert(ThreadConverters().ToUtf8(), text, out);
}
bool Utf8ToGbk(const std::string& text, std::string* out) {
    return Convert(ThreadConverters().ToGbk(), text, out);
}

#endif

// Length of the GBK character that starts at text[i]: 2 for a lead byte
// followed by a byte in the trail range, else 1.
size_t GbkCharLength(const std::string& text, size_t i) {
    unsigned char lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x81 || lead == 0xFF || i + 1 >= text.size())
        return 1;
    unsigned char trail = static_cast<unsigned char>(text[i + 1]);
    return trail >= 0x40 && trail <= 0xFE && trail != 0x7F ? 2 : 1;
}

} // namespace

bool AcpToUtf8(const std::string& text, std::string* out) {
    if (IsAscii(text)) {
        *out = text;
        return true;
    }
    return GbkToUtf8(text, out);
}

bool Utf8ToAcp(const std::string& text, std::string* out) {
    if (IsAscii(text)) {
        *out = text;
        return true;
    }
    return Utf8ToGbk(text, out);
}

std::string AcpToUtf8Lossy(const std::string& text) {
    std::string out;
    if (AcpToUtf8(text, &out))
        return out;
    out.clear();
    for (size_t i = 0; i < text.size();) {
        size_t n = GbkCharLength(text, i);
        std::string piece;
        out += AcpToUtf8(text.substr(i, n), &piece) ? piece : std::string("?");
        i += n;
    }
    return out;
}

} // namespace pi
