#include "Cp936Text.h"

#include <QStringDecoder>
#include <QStringEncoder>

#include <string>

#include "text/Cp936.h"

namespace {

// Qt 6.4 without ICU knows no "GBK"; with ICU it may still substitute on
// error, so its result is checked by decoding it back.
bool QtEncode(const QString& text, QByteArray* bytes) {
    QStringEncoder encoder("GBK", QStringConverter::Flag::Stateless);
    *bytes = encoder.encode(text);
    if (encoder.hasError()) return false;
    QStringDecoder decoder("GBK", QStringConverter::Flag::Stateless);
    const QString back = decoder.decode(*bytes);
    return !decoder.hasError() && back == text;
}

}  // namespace

bool EncodeCp936WithoutQt(const QString& text, QByteArray* bytes) {
    std::string out;
    if (!Utf8ToCp936(text.toStdString(), &out)) {
        bytes->clear();
        return false;
    }
    *bytes = QByteArray(out.data(), static_cast<qsizetype>(out.size()));
    return true;
}

QString DecodeCp936WithoutQt(const QByteArray& bytes) {
    std::string utf8;
    if (Cp936ToUtf8(std::string_view(bytes.constData(), static_cast<size_t>(bytes.size())), &utf8))
        return QString::fromStdString(utf8);
    // Some bytes form no character: decode the rest piece by piece.
    QString text;
    for (qsizetype i = 0; i < bytes.size();) {
        const auto lead = static_cast<unsigned char>(bytes[i]);
        if (lead < 0x80) {
            text += QChar(lead);
            ++i;
            continue;
        }
        bool done = false;
        for (qsizetype width = 1; width <= 2 && i + width <= bytes.size() && !done; ++width) {
            if (Cp936ToUtf8(std::string_view(bytes.constData() + i, static_cast<size_t>(width)), &utf8) && !utf8.empty()) {
                text += QString::fromStdString(utf8);
                i += width;
                done = true;
            }
        }
        if (!done) {
            text += QChar(QChar::ReplacementCharacter);
            ++i;
        }
    }
    return text;
}

bool QtConvertsCp936() {
    static const bool available = QStringEncoder("GBK").isValid() && QStringDecoder("GBK").isValid();
    return available;
}

bool EncodeCp936(const QString& text, QByteArray* bytes) {
    const bool ok = QtConvertsCp936() ? QtEncode(text, bytes) : EncodeCp936WithoutQt(text, bytes);
    if (!ok) bytes->clear();
    return ok;
}

QString DecodeCp936(const QByteArray& bytes) {
    if (QtConvertsCp936()) {
        // Qt's codec drops a lead byte cut off at the end; only a decoding
        // that gives back every byte is taken as it is.
        QString text = QStringDecoder("GBK", QStringConverter::Flag::Stateless).decode(bytes);
        QByteArray back;
        if (QtEncode(text, &back) && back == bytes) return text;
    }
    return DecodeCp936WithoutQt(bytes);
}

int Cp936Length(const QString& text) {
    QByteArray bytes;
    if (EncodeCp936(text, &bytes)) return static_cast<int>(bytes.size());
    int length = 0;
    for (const QChar c : text) length += c.unicode() < 0x80 ? 1 : 2;
    return length;
}
