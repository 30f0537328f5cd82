// Code page 936, the encoding of every name and text the module keeps,
// converted from and to UTF-8 without Qt: iconv on Linux, the Windows code
// page functions on Windows.
//
// Nothing is substituted. A character that code page 936 cannot hold, or
// bytes that are not valid in the source encoding, make the conversion
// fail: a '?' put in its place would be a wildcard on the module's disk.
#ifndef TOVREL_TEXT_CP936_H
#define TOVREL_TEXT_CP936_H

#include <string>
#include <string_view>

// True with *out holding the code-page-936 bytes of utf8.
bool Utf8ToCp936(std::string_view utf8, std::string* out);

// True with *out holding the UTF-8 text of the code-page-936 bytes.
bool Cp936ToUtf8(std::string_view cp936, std::string* out);

// The bytes a UTF-8 text takes in code page 936 (a Chinese character two);
// a character without a code there counts two as well.
size_t Cp936ByteLength(std::string_view utf8);

// The UTF-8 text of code-page-936 bytes, for display: bytes that form no
// character become U+FFFD each; nothing is dropped silently.
std::string Cp936ToUtf8Lossy(std::string_view cp936);

#endif
