// Bounded formatting: the C runtime's cut, and the conversions Vendrel's formats use.
#include "platform.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

typedef std::basic_string<WCHAR> WString;

TEST(NarrowFormat, FitsWithTerminator)
{
    char buf[8];
    memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(2, _snprintf(buf, 3, "%s", "ab"));
    EXPECT_STREQ("ab", buf);
    EXPECT_EQ('Z', buf[3]);
}

TEST(NarrowFormat, ExactFitHasNoTerminator)
{
    char buf[8];
    memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(3, _snprintf(buf, 3, "%s", "abc"));
    EXPECT_EQ(std::string("abcZ"), std::string(buf, 4));
}

TEST(NarrowFormat, CutWritesCountCharactersAndAnswersMinusOne)
{
    char buf[8];
    memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(-1, _snprintf(buf, 4, "%d-%s", 12, "abcdef"));
    EXPECT_EQ(std::string("12-aZ"), std::string(buf, 5));
    EXPECT_EQ(-1, _snprintf(buf, 0, "%s", "a"));
    EXPECT_EQ('1', buf[0]);
}

TEST(NarrowFormat, LongOutputIsCutExactly)
{
    std::string strLong(5000, 'q');
    char buf[300];
    buf[299] = 'Z';
    EXPECT_EQ(-1, _snprintf(buf, 299, "<%s>", strLong.c_str()));
    EXPECT_EQ('<', buf[0]);
    EXPECT_EQ('q', buf[298]);
    EXPECT_EQ('Z', buf[299]);
}

TEST(NarrowFormat, EveryConversion)
{
    char buf[128];
    EXPECT_EQ(57, _snprintf(buf, sizeof(buf), "%s|%d|%d|%u|%x|%ld|%lu|%lx|%%", "ab", -12, INT_MIN,
                            4000000000u, 255u, -9L, 4000000000UL, 0xdeadbeefUL));
    EXPECT_STREQ("ab|-12|-2147483648|4000000000|ff|-9|4000000000|deadbeef|%", buf);
    // The extremes of long, whatever its width.
    std::string strExpected = std::to_string(LONG_MIN) + "|" + std::to_string(ULONG_MAX);
    _snprintf(buf, sizeof(buf), "%ld|%lu", LONG_MIN, ULONG_MAX);
    EXPECT_EQ(strExpected, std::string(buf));
}

static WString Wide(const WCHAR* wszFormat, ...)
{
    WCHAR buf[256];
    va_list args;
    va_start(args, wszFormat);
    int nLen = _vsnwprintf(buf, 256, wszFormat, args);
    va_end(args);
    EXPECT_GE(nLen, 0);
    return nLen >= 0 ? WString(buf, static_cast<size_t>(nLen)) : WString();
}

TEST(WideFormat, EveryConversion)
{
    EXPECT_EQ(WString(VTEXT("wi|-12|-2147483648|4000000000|ff|-9|4000000000|deadbeef|%")),
              Wide(VTEXT("%s|%d|%d|%u|%x|%ld|%lu|%lx|%%"), VTEXT("wi"), -12, INT_MIN, 4000000000u,
                   255u, -9L, 4000000000UL, 0xdeadbeefUL));
    EXPECT_EQ(WString(VTEXT("(null)|")), Wide(VTEXT("%s|"), static_cast<const WCHAR*>(nullptr)));
}

TEST(WideFormat, CutFollowsTheNarrowRules)
{
    WCHAR buf[8];
    for (WCHAR& wc : buf)
    {
        wc = u'Z';
    }
    EXPECT_EQ(3, _snwprintf(buf, 3, VTEXT("%s"), VTEXT("abc")));
    EXPECT_EQ(u'c', buf[2]);
    EXPECT_EQ(u'Z', buf[3]);
    EXPECT_EQ(-1, _snwprintf(buf, 3, VTEXT("%d"), 12345));
    EXPECT_EQ(u'3', buf[2]);
    EXPECT_EQ(u'Z', buf[3]);
    EXPECT_EQ(2, _snwprintf(buf, 3, VTEXT("ab")));
    EXPECT_EQ(0, buf[2]);
}

TEST(WideFormat, LengthOfWideText)
{
    EXPECT_EQ(0u, wcslen(VTEXT("")));
    EXPECT_EQ(19u, wcslen(VTEXT("\\\\.\\pipe\\Log_Server")));
}
