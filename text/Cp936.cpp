#include "Cp936.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <vector>

namespace {

constexpr UINT kCodePage936 = 936;

bool Widen(UINT codePage, std::string_view in, std::wstring* out) {
    out->clear();
    if (in.empty()) return true;
    const int n = MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), nullptr, 0);
    if (n <= 0) return false;
    out->resize(static_cast<size_t>(n));
    return MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, in.data(), static_cast<int>(in.size()), out->data(), n) == n;
}

bool Narrow(UINT codePage, const std::wstring& in, std::string* out) {
    out->clear();
    if (in.empty()) return true;
    // UTF-8 takes neither flag nor default-character report.
    const bool strict = codePage != CP_UTF8;
    BOOL usedDefault = FALSE;
    const DWORD flags = strict ? WC_NO_BEST_FIT_CHARS : 0;
    const int n = WideCharToMultiByte(codePage, flags, in.data(), static_cast<int>(in.size()), nullptr, 0, nullptr,
                                      strict ? &usedDefault : nullptr);
    if (n <= 0 || usedDefault) return false;
    out->resize(static_cast<size_t>(n));
    return WideCharToMultiByte(codePage, flags, in.data(), static_cast<int>(in.size()), out->data(), n, nullptr,
                               strict ? &usedDefault : nullptr) == n &&
           !usedDefault;
}

}  // namespace

bool Utf8ToCp936(std::string_view utf8, std::string* out) {
    std::wstring wide;
    return Widen(CP_UTF8, utf8, &wide) && Narrow(kCodePage936, wide, out);
}

bool Cp936ToUtf8(std::string_view cp936, std::string* out) {
    std::wstring wide;
    return Widen(kCodePage936, cp936, &wide) && Narrow(CP_UTF8, wide, out);
}

#else
#include <iconv.h>

#include <cerrno>

namespace {

// glibc knows the code page as CP936 (GBK plus the euro sign at 0x80).
bool Convert(const char* to, const char* from, std::string_view in, std::string* out) {
    out->clear();
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    char* inPtr = const_cast<char*>(in.data());
    size_t inLeft = in.size();
    bool ok = true;
    char chunk[256];
    while (inLeft > 0) {
        char* outPtr = chunk;
        size_t outLeft = sizeof chunk;
        const size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        out->append(chunk, sizeof chunk - outLeft);
        if (rc == static_cast<size_t>(-1) && errno != E2BIG) {
            ok = false;  // EILSEQ: not representable or invalid; EINVAL: cut short
            break;
        }
        // iconv counts characters it converted "irreversibly" (substituted).
        if (rc != static_cast<size_t>(-1) && rc > 0) {
            ok = false;
            break;
        }
    }
    iconv_close(cd);
    if (!ok) out->clear();
    return ok;
}

}  // namespace

bool Utf8ToCp936(std::string_view utf8, std::string* out) { return Convert("CP936", "UTF-8", utf8, out); }

bool Cp936ToUtf8(std::string_view cp936, std::string* out) { return Convert("UTF-8", "CP936", cp936, out); }

#endif
