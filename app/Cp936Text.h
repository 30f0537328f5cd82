// The window's side of code page 936: every name and text goes to the module
// as code-page-936 bytes, and text read back is decoded from them.
//
// Qt converts through its "GBK" codec where it was built with one (ICU);
// where it was not, the conversion falls back to the platform's (iconv, or
// the Windows code page functions). Either way a character that code page
// 936 cannot hold makes the encoding fail instead of becoming '?', which
// the module's disk would take for a wildcard.
#ifndef TOVREL_APP_CP936TEXT_H
#define TOVREL_APP_CP936TEXT_H

#include <QByteArray>
#include <QString>

// True when Qt itself converts code page 936 (else the fallback is used).
bool QtConvertsCp936();

// True with *bytes holding text in code page 936; false (and *bytes empty)
// when some character has no code there.
bool EncodeCp936(const QString& text, QByteArray* bytes);

// Decodes code-page-936 bytes for display. Bytes that form no character
// become U+FFFD; nothing is dropped silently.
QString DecodeCp936(const QByteArray& bytes);

// Length of text in code-page-936 bytes (a Chinese character counts two);
// a character without a code counts two as well.
int Cp936Length(const QString& text);

// The fallback on its own, whatever Qt offers (so both paths are tested).
bool EncodeCp936WithoutQt(const QString& text, QByteArray* bytes);
QString DecodeCp936WithoutQt(const QByteArray& bytes);

#endif
