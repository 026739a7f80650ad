#include "kelsio.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace
{

// A stream buffer that counts the flushes it receives.
class CCountingBuf : public std::stringbuf
{
public:
    int m_nSyncs = 0;

protected:
    int sync() override
    {
        ++m_nSyncs;
        return std::stringbuf::sync();
    }
};

std::string ExpectedCharset()
{
    if (GetACP() == CP_UTF8)
        return "UTF-8";
    return "windows-" + std::to_string(GetACP());
}

} // namespace

TEST(Resources, CharsetIsThatOfTheAnsiCodePage)
{
    ASSERT_TRUE(loadResource());
    const char* szCharset = getResourceString(KELSIO_RES_CHARSET);
    ASSERT_NE(szCharset, nullptr);
    EXPECT_EQ(std::string(szCharset), ExpectedCharset());
    EXPECT_EQ(getResourceString(KELSIO_RES_CHARSET), szCharset) << "one text until freeResource";
    EXPECT_STREQ(getResourceString(7), "") << "other resources are empty, never null";
    freeResource();
    EXPECT_NE(getResourceString(KELSIO_RES_CHARSET), nullptr);
}

TEST(Converter, TextInTheAnsiCharsetIsCopiedUnchanged)
{
    ASSERT_TRUE(loadResource());
    std::ostringstream stream;
    OutputStreamConverter out(getResourceString(KELSIO_RES_CHARSET), &stream);
    const char* szBytes = "Pragma: no-cache\n\xC3\xA9\xE9\x80\x01";
    out << szBytes << ""
        << "end";
    EXPECT_EQ(stream.str(), std::string(szBytes) + "end");
    EXPECT_EQ(out.getCharEncoding(), GetACP() == CP_UTF8 ? CHARENC_UTF8 : CHARENC_ANSI);
    freeResource();
}

TEST(Converter, AnsiTextIsConvertedToUtf8)
{
    std::ostringstream stream;
    OutputStreamConverter out("utf-8", &stream);
    EXPECT_EQ(out.getCharEncoding(), CHARENC_UTF8);
    out << "caf\xE9";
    if (GetACP() == 1252)
    {
        EXPECT_EQ(stream.str(), "caf\xC3\xA9");
    }
    else if (GetACP() == CP_UTF8)
    {
        EXPECT_EQ(stream.str(), "caf\xE9") << "UTF-8 to UTF-8 is a copy, even of a bad byte";
    }
}

TEST(Converter, UnknownCharsetWritesTheTextAsItIs)
{
    std::ostringstream stream;
    OutputStreamConverter out("x-no-such-charset", &stream);
    EXPECT_EQ(out.getCharEncoding(), CHARENC_UNKNOWN);
    out << "abc\xE9";
    EXPECT_EQ(stream.str(), "abc\xE9");
}

TEST(Converter, FlushAndEndlReachTheStream)
{
    CCountingBuf buffer;
    std::ostream stream(&buffer);
    OutputStreamConverter out(getResourceString(KELSIO_RES_CHARSET), &stream);
    out.flush();
    EXPECT_EQ(buffer.m_nSyncs, 1);
    out << "line" << endl << "x" << flush;
    EXPECT_EQ(buffer.m_nSyncs, 3);
    EXPECT_EQ(buffer.str(), "line\nx");
}

TEST(Converter, CopyAssignmentTakesTheOtherStreamAndEncoding)
{
    std::ostringstream first;
    std::ostringstream second;
    OutputStreamConverter out("x-unknown", &first);
    OutputStreamConverter other("UTF-8", &second);
    out = other;
    EXPECT_EQ(out.getCharEncoding(), CHARENC_UTF8);
    out << "to second";
    EXPECT_EQ(first.str(), "");
    EXPECT_EQ(second.str(), "to second");
}
