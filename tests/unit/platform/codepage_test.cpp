// Code-page conversion with Win32 semantics: counts, terminators, short buffers, bad input.
#include "platform.h"

#include <gtest/gtest.h>

#include <string>

typedef std::basic_string<WCHAR> WString;

static WString ToWide(UINT nCodePage, const std::string& str, DWORD dwFlags = 0)
{
    int nUnits = MultiByteToWideChar(nCodePage, dwFlags, str.data(), static_cast<int>(str.size()),
                                     nullptr, 0);
    WString wstr(nUnits > 0 ? static_cast<size_t>(nUnits) : 0, WCHAR(0));
    if (nUnits > 0)
    {
        EXPECT_EQ(nUnits, MultiByteToWideChar(nCodePage, dwFlags, str.data(),
                                              static_cast<int>(str.size()), &wstr[0], nUnits));
    }
    return wstr;
}

static std::string ToUtf8(const WString& wstr)
{
    int nBytes = WideCharToMultiByte(CP_UTF8, 0, wstr.data(), static_cast<int>(wstr.size()),
                                     nullptr, 0, nullptr, nullptr);
    std::string str(nBytes > 0 ? static_cast<size_t>(nBytes) : 0, '\0');
    if (nBytes > 0)
    {
        EXPECT_EQ(nBytes,
                  WideCharToMultiByte(CP_UTF8, 0, wstr.data(), static_cast<int>(wstr.size()),
                                      &str[0], nBytes, nullptr, nullptr));
    }
    return str;
}

TEST(CodePage, AsciiRoundTripsThroughTheAnsiCodePage)
{
    const char* sz = "Log_ServerNamePipe 0123 ~!";
    WCHAR wsz[64];
    int nUnits = MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, sz, -1, wsz, 64);
    ASSERT_EQ(static_cast<int>(strlen(sz)) + 1, nUnits);
    EXPECT_EQ(0, wsz[nUnits - 1]);
    EXPECT_EQ(WString(VTEXT("Log_ServerNamePipe 0123 ~!")), WString(wsz));
    char szBack[64];
    EXPECT_EQ(nUnits, WideCharToMultiByte(CP_ACP, 0, wsz, -1, szBack, 64, nullptr, nullptr));
    EXPECT_STREQ(sz, szBack);
}

TEST(CodePage, MinusOneCountsTheTerminatorAndZeroAsksForTheSize)
{
    EXPECT_EQ(4, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, nullptr, 0));
    EXPECT_EQ(3, MultiByteToWideChar(CP_UTF8, 0, "abc", 3, nullptr, 0));
    EXPECT_EQ(4, WideCharToMultiByte(CP_UTF8, 0, VTEXT("abc"), -1, nullptr, 0, nullptr, nullptr));
}

TEST(CodePage, ShortBufferFailsWithInsufficientBuffer)
{
    WCHAR wsz[3];
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", -1, wsz, 3));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    char sz[2];
    EXPECT_EQ(0, WideCharToMultiByte(CP_UTF8, 0, VTEXT("abc"), -1, sz, 2, nullptr, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
}

TEST(CodePage, EmptyInputIsAnInvalidParameter)
{
    WCHAR wsz[4];
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "abc", 0, wsz, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(CodePage, FourByteCharactersBecomeSurrogatePairs)
{
    // U+1F600 and U+20AC.
    std::string str = "\xf0\x9f\x98\x80\xe2\x82\xac";
    WString wstr = ToWide(CP_UTF8, str);
    ASSERT_EQ(3u, wstr.size());
    EXPECT_EQ(0xd83d, wstr[0]);
    EXPECT_EQ(0xde00, wstr[1]);
    EXPECT_EQ(0x20ac, wstr[2]);
    EXPECT_EQ(str, ToUtf8(wstr));
}

TEST(CodePage, EveryScalarValueRoundTrips)
{
    for (uint32_t nCode = 1; nCode < 0x110000; nCode += (nCode < 0x10000 ? 1 : 97))
    {
        if (nCode >= 0xd800 && nCode <= 0xdfff)
        {
            continue;
        }
        WString wstr;
        if (nCode < 0x10000)
        {
            wstr.push_back(static_cast<WCHAR>(nCode));
        }
        else
        {
            wstr.push_back(static_cast<WCHAR>(0xd800 + ((nCode - 0x10000) >> 10)));
            wstr.push_back(static_cast<WCHAR>(0xdc00 + ((nCode - 0x10000) & 0x3ff)));
        }
        std::string str = ToUtf8(wstr);
        size_t nExpected = nCode < 0x80 ? 1 : nCode < 0x800 ? 2 : nCode < 0x10000 ? 3 : 4;
        ASSERT_EQ(nExpected, str.size()) << std::hex << nCode;
        ASSERT_EQ(wstr, ToWide(CP_UTF8, str, MB_ERR_INVALID_CHARS)) << std::hex << nCode;
    }
}

TEST(CodePage, InvalidBytesBecomeReplacementCharacters)
{
    WString wstr = ToWide(CP_UTF8, "a\xff");
    ASSERT_EQ(2u, wstr.size());
    EXPECT_EQ(u'a', wstr[0]);
    EXPECT_EQ(0xfffd, wstr[1]);
    // A cut sequence is one replacement, and the text after it survives.
    wstr = ToWide(CP_UTF8, "\xe2\x82"
                           "a");
    ASSERT_EQ(2u, wstr.size());
    EXPECT_EQ(0xfffd, wstr[0]);
    EXPECT_EQ(u'a', wstr[1]);
    // Overlong forms are not decoded.
    wstr = ToWide(CP_UTF8, "\xc0\x80");
    ASSERT_EQ(2u, wstr.size());
    EXPECT_EQ(0xfffd, wstr[0]);
    EXPECT_EQ(0xfffd, wstr[1]);
}

TEST(CodePage, StrictConversionRefusesInvalidBytes)
{
    WCHAR wsz[8];
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, "a\xff", 2, wsz, 8));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION), GetLastError());
}

TEST(CodePage, LoneSurrogateBecomesTheReplacementCharacter)
{
    const WCHAR wsz[] = {0xd800, u'a', 0};
    char sz[8];
    ASSERT_EQ(5, WideCharToMultiByte(CP_UTF8, 0, wsz, -1, sz, 8, nullptr, nullptr));
    EXPECT_STREQ("\xef\xbf\xbd"
                 "a",
                 sz);
    const WCHAR wszLow[] = {u'b', 0xdc00};
    ASSERT_EQ(4,
              WideCharToMultiByte(CP_UTF8, WC_COMPOSITECHECK, wszLow, 2, sz, 8, nullptr, nullptr));
    EXPECT_EQ(std::string("b\xef\xbf\xbd"), std::string(sz, 4));
}
