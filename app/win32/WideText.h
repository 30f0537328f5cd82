// UTF-8, the framework's texts, to and from UTF-16, the system's.
#ifndef TOVREL_APP_WIN32_WIDETEXT_H
#define TOVREL_APP_WIN32_WIDETEXT_H

#include <string>

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);

#endif
