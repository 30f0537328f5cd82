#include "text/Cp936.h"

#include <gtest/gtest.h>

TEST(Cp936, AsciiAndChineseRoundTrip) {
    std::string bytes, back;
    ASSERT_TRUE(Utf8ToCp936("Norvatil.TXT", &bytes));
    EXPECT_EQ(bytes, "Norvatil.TXT");
    ASSERT_TRUE(Utf8ToCp936("说明.TXT", &bytes));
    EXPECT_EQ(bytes, "\xcb\xb5\xc3\xf7.TXT");
    ASSERT_TRUE(Cp936ToUtf8(bytes, &back));
    EXPECT_EQ(back, "说明.TXT");
    ASSERT_TRUE(Utf8ToCp936("你好，U盘！\r\n", &bytes));
    EXPECT_EQ(bytes, "\xc4\xe3\xba\xc3\xa3\xac" "U\xc5\xcc\xa3\xa1\r\n");
    ASSERT_TRUE(Utf8ToCp936("", &bytes));
    EXPECT_TRUE(bytes.empty());
}

TEST(Cp936, CharacterOutsideTheCodePageIsRefusedNotSubstituted) {
    std::string bytes = "stale";
    EXPECT_FALSE(Utf8ToCp936("file\xf0\x9f\x98\x80.txt", &bytes));  // an emoji
    EXPECT_TRUE(bytes.empty());
    EXPECT_FALSE(Utf8ToCp936("\xd7\x90", &bytes));  // Hebrew alef
}

TEST(Cp936, InvalidBytesAreRefused) {
    std::string out;
    EXPECT_FALSE(Cp936ToUtf8("ab\xff", &out));
    EXPECT_FALSE(Cp936ToUtf8("ab\xc4", &out));  // a lead byte cut short
    EXPECT_FALSE(Utf8ToCp936("\xc3", &out));     // broken UTF-8
}

TEST(Cp936, LongTextCrossesConversionChunks) {
    std::string utf8;
    for (int i = 0; i < 1000; ++i) utf8 += "文件";
    std::string bytes, back;
    ASSERT_TRUE(Utf8ToCp936(utf8, &bytes));
    EXPECT_EQ(bytes.size(), 4000u);
    ASSERT_TRUE(Cp936ToUtf8(bytes, &back));
    EXPECT_EQ(back, utf8);
}

TEST(Cp936, LengthCountsCodePageBytesAndTwoForWhatItCannotHold) {
    EXPECT_EQ(Cp936ByteLength(""), 0u);
    EXPECT_EQ(Cp936ByteLength("Norvatil.TXT"), 12u);
    EXPECT_EQ(Cp936ByteLength("温度 21\r\n"), 9u);
    EXPECT_EQ(Cp936ByteLength("€"), 1u);  // the code page's euro sign
    // Counted two bytes a character, so limits stay on the safe side.
    EXPECT_EQ(Cp936ByteLength("한a"), 3u);
    EXPECT_EQ(Cp936ByteLength("a\xf0\x9f\x98\x80" "b"), 4u);
}

TEST(Cp936, BrokenBytesDecodeForDisplayAsReplacementsAroundWhatIsWhole) {
    EXPECT_EQ(Cp936ToUtf8Lossy("\xcb\xb5\xc3\xf7.TXT"), "说明.TXT");
    // A lead byte cut off at the end, and one followed by an ASCII byte (a
    // space is no trail byte).
    EXPECT_EQ(Cp936ToUtf8Lossy(std::string("AB\xCA\xFD\xBE", 5)), "AB数\xEF\xBF\xBD");
    EXPECT_EQ(Cp936ToUtf8Lossy(std::string("\xCA \xBE\xDD", 4)), "\xEF\xBF\xBD 据");
    EXPECT_EQ(Cp936ToUtf8Lossy("\xff\xff"), "\xEF\xBF\xBD\xEF\xBF\xBD");
}
