// Ages, sizes, filing times and the numbers the command prints.
#include "qtool_units.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace
{

struct SAgeCase
{
    const char* szText;
    bool bValid;
    int64_t nSeconds;
};

const SAgeCase kAgeCases[] = {
    {"90d", true, 90 * 86400},
    {"90", true, 90 * 86400},
    {"12h", true, 12 * 3600},
    {"30m", true, 30 * 60},
    {"0", true, 0},
    {"0m", true, 0},
    // The largest day count whose seconds still fit, and the first that does not.
    {"106751991167300d", true, 106751991167300LL * 86400},
    {"106751991167301d", false, 0},
    {"99999999999999999999", false, 0},
    {"", false, 0},
    {"d", false, 0},
    {"-1d", false, 0},
    {"+1d", false, 0},
    {"1.5d", false, 0},
    {"12x", false, 0},
    {"12M", false, 0},
    {"12D", false, 0},
    {"12dd", false, 0},
    {" 12d", false, 0},
    {"12d ", false, 0},
    {"1w", false, 0},
};

class AgeTest : public ::testing::TestWithParam<SAgeCase>
{
};

TEST_P(AgeTest, ReadsDaysHoursMinutesAndRefusesTheRest)
{
    const SAgeCase& c = GetParam();
    int64_t nSeconds = -7;
    EXPECT_EQ(c.bValid, ParseAge(c.szText, &nSeconds)) << c.szText;
    if (c.bValid)
    {
        EXPECT_EQ(c.nSeconds, nSeconds) << c.szText;
    }
    else
    {
        EXPECT_EQ(-7, nSeconds) << "a refused value leaves the output alone";
    }
}

INSTANTIATE_TEST_SUITE_P(Ages, AgeTest, ::testing::ValuesIn(kAgeCases));

struct SSizeCase
{
    const char* szText;
    bool bValid;
    uint64_t nBytes;
};

const SSizeCase kSizeCases[] = {
    {"0", true, 0},
    {"4096", true, 4096},
    {"1K", true, 1024},
    {"1k", true, 1024},
    {"10M", true, 10ull << 20},
    {"3G", true, 3ull << 30},
    {"2t", true, 2ull << 40},
    {"18446744073709551615", true, UINT64_MAX},
    {"18446744073709551616", false, 0},
    {"16777216T", false, 0},
    {"16777215T", true, 16777215ull << 40},
    {"", false, 0},
    {"K", false, 0},
    {"1KB", false, 0},
    {"1KiB", false, 0},
    {"1P", false, 0},
    {"1.5G", false, 0},
    {"-1", false, 0},
    {"1 K", false, 0},
};

class SizeTest : public ::testing::TestWithParam<SSizeCase>
{
};

TEST_P(SizeTest, ReadsBytesAndPowersOf1024AndRefusesTheRest)
{
    const SSizeCase& c = GetParam();
    uint64_t nBytes = 7;
    EXPECT_EQ(c.bValid, ParseSize(c.szText, &nBytes)) << c.szText;
    EXPECT_EQ(c.bValid ? c.nBytes : 7u, nBytes) << c.szText;
}

INSTANTIATE_TEST_SUITE_P(Sizes, SizeTest, ::testing::ValuesIn(kSizeCases));

TEST(IsoTimeTest, FormatsUtcDatesAcrossLeapYearsAndTheLastFilingTime)
{
    const struct
    {
        int64_t nSeconds;
        const char* szExpected;
    } kCases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {951782400, "2000-02-29T00:00:00Z"},
        {1700000000, "2023-11-14T22:13:20Z"},
        {1709251199, "2024-02-29T23:59:59Z"},
        {1796737500, "2026-12-08T13:45:00Z"},
        {4107542400, "2100-03-01T00:00:00Z"},
        {253402300799, "9999-12-31T23:59:59Z"},
    };
    for (const auto& c : kCases)
    {
        EXPECT_EQ(c.szExpected, FormatIsoTime(c.nSeconds)) << c.nSeconds;
    }
}

TEST(NumberFormatTest, WritesWholeSixtyFourBitValuesAndReadableSizes)
{
    EXPECT_EQ("18446744073709551615", FormatUnsigned(UINT64_MAX));
    EXPECT_EQ("-9223372036854775808", FormatSigned(INT64_MIN));
    EXPECT_EQ("0", FormatDelta(0));
    EXPECT_EQ("+8", FormatDelta(8));
    EXPECT_EQ("-4096", FormatDelta(-4096));
    EXPECT_EQ("1023 B", FormatBytesHuman(1023));
    EXPECT_EQ("1.0 KiB", FormatBytesHuman(1024));
    EXPECT_EQ("1.4 KiB", FormatBytesHuman(1500));
    EXPECT_EQ("10.0 GiB", FormatBytesHuman(10737418240ull));
    EXPECT_EQ("15.9 EiB", FormatBytesHuman(UINT64_MAX));
    EXPECT_EQ("12.35%", FormatPercent(1235, 10000));
    EXPECT_EQ("100.00%", FormatPercent(INT64_MAX, INT64_MAX));
    EXPECT_EQ("", FormatPercent(5, 0));
    EXPECT_EQ("", FormatPercent(5, -1048576));
    EXPECT_EQ("45 s", FormatDuration(45));
    EXPECT_EQ("3 h 5 min", FormatDuration(3 * 3600 + 5 * 60 + 9));
    EXPECT_EQ("2 d 4 h", FormatDuration(2 * 86400 + 4 * 3600));
    EXPECT_EQ("-12 min", FormatDuration(-720));
    EXPECT_FALSE(FormatDuration(INT64_MIN).empty());
}

} // namespace
