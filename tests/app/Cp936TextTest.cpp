// Code page 936 for the window: Qt's codec and the fallback agree, refuse
// what the code page cannot hold and decode broken bytes visibly.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QString>

#include "app/Cp936Text.h"
#include "app/DataExchange.h"

namespace {

struct Sample {
    const char* utf8;
    QByteArray cp936;
};

const Sample kSamples[] = {
    {"Norvatil.TXT", "Norvatil.TXT"},
    {"数据", "\xCA\xFD\xBE\xDD"},
    {"温度 21\r\n", "\xCE\xC2\xB6\xC8 21\r\n"},
    {"€", "\x80"},          // the euro sign of the code page
    {"", ""},
};

TEST(Cp936Text, BothPathsRoundTripTheSameBytes) {
    for (const Sample& sample : kSamples) {
        const QString text = QString::fromUtf8(sample.utf8);
        QByteArray viaDefault;
        QByteArray viaFallback;
        ASSERT_TRUE(EncodeCp936(text, &viaDefault)) << sample.utf8;
        ASSERT_TRUE(EncodeCp936WithoutQt(text, &viaFallback)) << sample.utf8;
        EXPECT_EQ(viaFallback, sample.cp936) << sample.utf8;
        if (sample.cp936 != "\x80") {
            EXPECT_EQ(viaDefault, sample.cp936) << sample.utf8;
        }
        EXPECT_EQ(DecodeCp936(viaDefault), text) << sample.utf8;
        EXPECT_EQ(DecodeCp936WithoutQt(sample.cp936), text) << sample.utf8;
        EXPECT_EQ(Cp936Length(text), sample.cp936.size()) << sample.utf8;
    }
}

TEST(Cp936Text, WhatTheCodePageCannotHoldIsRefusedNotSubstituted) {
    for (const char* utf8 : {"한국", "a😀b", "ก"}) {
        const QString text = QString::fromUtf8(utf8);
        QByteArray bytes = "left over";
        EXPECT_FALSE(EncodeCp936(text, &bytes)) << utf8;
        EXPECT_TRUE(bytes.isEmpty());
        EXPECT_FALSE(EncodeCp936WithoutQt(text, &bytes)) << utf8;
    }
    // Counted two bytes a character, so limits stay on the safe side.
    EXPECT_EQ(Cp936Length(QString::fromUtf8("한a")), 3);
}

TEST(Cp936Text, BrokenBytesDecodeAsReplacementsAroundWhatIsWhole) {
    // A lead byte cut off at the end, and one followed by an ASCII byte.
    const QByteArray cut("AB\xCA\xFD\xBE", 5);
    const QByteArray bad("\xCA" " \xBE\xDD", 4);  // a space is no trail byte
    for (const QString& decoded : {DecodeCp936WithoutQt(cut), DecodeCp936(cut)}) {
        EXPECT_TRUE(decoded.startsWith(QString::fromUtf8("AB数"))) << qPrintable(decoded);
        EXPECT_TRUE(decoded.endsWith(QChar(QChar::ReplacementCharacter))) << qPrintable(decoded);
    }
    const QString fallback = DecodeCp936WithoutQt(bad);
    EXPECT_TRUE(fallback.endsWith(QString::fromUtf8(" 据"))) << qPrintable(fallback);
    EXPECT_EQ(fallback.front(), QChar(QChar::ReplacementCharacter));
}

TEST(WholeNumbers, BlanksAroundDigitsOnlyAndTheTypesRange) {
    long long s = 7;
    EXPECT_TRUE(ParseSigned(QStringLiteral("  -12\t"), INT32_MIN, INT32_MAX, &s));
    EXPECT_EQ(s, -12);
    EXPECT_TRUE(ParseSigned(QStringLiteral("+5"), INT32_MIN, INT32_MAX, &s));
    EXPECT_EQ(s, 5);
    for (const char* bad : {"", " ", "-", "1 2", "12a", "0x10", "2147483648", "-2147483649", "99999999999999999999999"}) {
        s = 7;
        EXPECT_FALSE(ParseSigned(QString::fromLatin1(bad), INT32_MIN, INT32_MAX, &s)) << bad;
        EXPECT_EQ(s, 7) << bad;
    }
    unsigned long long u = 3;
    EXPECT_TRUE(ParseUnsigned(QStringLiteral("255"), 255, &u));
    EXPECT_EQ(u, 255u);
    EXPECT_FALSE(ParseUnsigned(QStringLiteral("256"), 255, &u));
    EXPECT_FALSE(ParseUnsigned(QStringLiteral("-0"), 255, &u));
    EXPECT_FALSE(ParseUnsigned(QStringLiteral("４２"), 255, &u));  // full-width digits are not digits here
    EXPECT_EQ(u, 255u);
}

}  // namespace
