// UTF-8, the program's texts, to and from UTF-16, Windows' own (the wide
// calls). Windows only.
#ifndef TOVREL_TEXT_WIDETEXT_H
#define TOVREL_TEXT_WIDETEXT_H

#include <string>

std::wstring Widen(const std::string& utf8);
std::string Narrow(const std::wstring& utf16);

#endif
