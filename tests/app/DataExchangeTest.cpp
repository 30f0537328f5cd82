// The data exchange's whole-number parsing, as the fields take numbers.
#include <gtest/gtest.h>

#include <cstdint>

#include "app/DataExchange.h"

namespace {

TEST(WholeNumbers, BlanksAroundDigitsOnlyAndTheTypesRange) {
    long long s = 7;
    EXPECT_TRUE(ParseSigned("  -12\t", INT32_MIN, INT32_MAX, &s));
    EXPECT_EQ(s, -12);
    EXPECT_TRUE(ParseSigned("+5", INT32_MIN, INT32_MAX, &s));
    EXPECT_EQ(s, 5);
    for (const char* bad : {"", " ", "-", "1 2", "12a", "0x10", "2147483648", "-2147483649", "99999999999999999999999"}) {
        s = 7;
        EXPECT_FALSE(ParseSigned(bad, INT32_MIN, INT32_MAX, &s)) << bad;
        EXPECT_EQ(s, 7) << bad;
    }
    unsigned long long u = 3;
    EXPECT_TRUE(ParseUnsigned("255", 255, &u));
    EXPECT_EQ(u, 255u);
    EXPECT_FALSE(ParseUnsigned("256", 255, &u));
    EXPECT_FALSE(ParseUnsigned("-0", 255, &u));
    EXPECT_FALSE(ParseUnsigned("４２", 255, &u));  // full-width digits are not digits here
    EXPECT_EQ(u, 255u);
}

}  // namespace
