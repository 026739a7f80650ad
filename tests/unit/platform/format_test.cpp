// Bounded formatting: the C runtime's cut, and the conversions of the wide forms.
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

TEST(WideFormat, StringAndCharacterConversions)
{
    EXPECT_EQ(WString(VTEXT("wi|na|wl|nS|W|n")),
              Wide(VTEXT("%s|%hs|%ls|%S|%c|%hc"), VTEXT("wi"), "na", VTEXT("wl"), "nS", u'W', 'n'));
    EXPECT_EQ(WString(VTEXT("   ab|ab   |x")),
              Wide(VTEXT("%5.2s|%-5s|%.1s"), VTEXT("abc"), VTEXT("ab"), VTEXT("xyz")));
    EXPECT_EQ(WString(VTEXT("(null)|(null)")),
              Wide(VTEXT("%s|%hs"), static_cast<const WCHAR*>(nullptr),
                   static_cast<const char*>(nullptr)));
    EXPECT_EQ(WString(VTEXT("    a|b  |%")), Wide(VTEXT("%5c|%-3c|%%"), u'a', u'b'));
}

TEST(WideFormat, IntegerConversions)
{
    EXPECT_EQ(WString(VTEXT("7   |00ff|FF|-5|-9|4294967295")),
              Wide(VTEXT("%-4d|%04x|%X|%I64d|%ld|%lu"), 7, 255, 255, static_cast<LONGLONG>(-5),
                   static_cast<LONG>(-9), static_cast<DWORD>(0xffffffffu)));
    EXPECT_EQ(WString(VTEXT("-2147483648|+3|-0042|18446744073709551615")),
              Wide(VTEXT("%d|%+d|%05d|%llu"), INT_MIN, 3, -42, ULLONG_MAX));
    EXPECT_EQ(WString(VTEXT("   12|12   ")), Wide(VTEXT("%*d|%-*d"), 5, 12, 5, 12));
    EXPECT_EQ(WString(VTEXT("-1|65535")),
              Wide(VTEXT("%hd|%hu"), static_cast<short>(-1), static_cast<unsigned short>(65535)));
}

TEST(WideFormat, PointersShowAllDigits)
{
    EXPECT_EQ(WString(VTEXT("0000000000001234")),
              Wide(VTEXT("%p"), reinterpret_cast<void*>(static_cast<uintptr_t>(0x1234))));
}

TEST(WideFormat, PrecisionReadsNoFurtherThanItSays)
{
    const WCHAR wszUnterminated[3] = {u'a', u'b', u'c'};
    const char szUnterminated[3] = {'x', 'y', 'z'};
    EXPECT_EQ(WString(VTEXT("ab|xy")), Wide(VTEXT("%.2s|%.2hs"), wszUnterminated, szUnterminated));
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
