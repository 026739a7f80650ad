#include "kelsio_test_support.h"

#include <gtest/gtest.h>

namespace
{

const char* const s_szForm = "application/x-www-form-urlencoded";

CVarPairs Get(const std::string& strQuery, bool& bParsed)
{
    CFakeRequest request;
    request.env["REQUEST_METHOD"] = "GET";
    request.env["QUERY_STRING"] = strQuery;
    return request.Parse(bParsed);
}

CVarPairs GetOk(const std::string& strQuery)
{
    bool bParsed = false;
    CVarPairs vars = Get(strQuery, bParsed);
    EXPECT_TRUE(bParsed) << strQuery;
    return vars;
}

bool Refused(const std::string& strQuery)
{
    bool bParsed = true;
    Get(strQuery, bParsed);
    return !bParsed;
}

} // namespace

TEST(UrlEncoded, EscapesAndPlusAreDecoded)
{
    CVarPairs vars = GetOk("Temp%46ileName=C%3A%5cHome%5CTEMP%5Cup.dat&Computer+Name=PC+7%2B1");
    ASSERT_EQ(vars.size(), 2u);
    EXPECT_EQ(vars[0],
              std::make_pair(std::string("TempFileName"), std::string("C:\\Home\\TEMP\\up.dat")));
    EXPECT_EQ(vars[1], std::make_pair(std::string("Computer Name"), std::string("PC 7+1")));
    EXPECT_EQ(GetOk("a=%e9%C3%A9")[0].second, "\xE9\xC3\xA9") << "bytes, not characters";
    EXPECT_EQ(GetOk("a=x%3Dy=z")[0].second, "x=y=z");
}

TEST(UrlEncoded, RepeatedNamesAreAllKeptInOrder)
{
    CVarPairs vars = GetOk("Verify=1&Verify=2&verify=3");
    ASSERT_EQ(vars.size(), 3u);
    EXPECT_EQ(vars[0].second, "1");
    EXPECT_EQ(vars[1].second, "2");
    EXPECT_EQ(vars[2].first, "verify") << "names keep their case";
}

TEST(UrlEncoded, EmptyValuesAndEmptyPairs)
{
    CVarPairs vars = GetOk("a=&b&&c=3&");
    ASSERT_EQ(vars.size(), 3u);
    EXPECT_EQ(vars[0], std::make_pair(std::string("a"), std::string("")));
    EXPECT_EQ(vars[1], std::make_pair(std::string("b"), std::string("")));
    EXPECT_EQ(vars[2], std::make_pair(std::string("c"), std::string("3")));
    EXPECT_TRUE(GetOk("").empty());

    CFakeRequest request;
    request.env["REQUEST_METHOD"] = "GET";
    bool bParsed = false;
    EXPECT_TRUE(request.Parse(bParsed).empty());
    EXPECT_TRUE(bParsed) << "no QUERY_STRING at all is an empty request";
}

TEST(UrlEncoded, BadEscapesAndNulBytesAreRefused)
{
    EXPECT_TRUE(Refused("a=%"));
    EXPECT_TRUE(Refused("a=%4"));
    EXPECT_TRUE(Refused("a=%4g"));
    EXPECT_TRUE(Refused("a=%g4&b=1"));
    EXPECT_TRUE(Refused("a%=1"));
    EXPECT_TRUE(Refused("a=%00"));
    EXPECT_TRUE(Refused("a%00b=1"));
    EXPECT_FALSE(Refused("a=%41%7e"));
}

TEST(UrlEncoded, RawNulByteInABodyIsRefused)
{
    CTempHome home;
    CFakeRequest request = PostRequest(home.Path(), s_szForm, std::string("a=x\0y", 5));
    bool bParsed = true;
    request.Parse(bParsed);
    EXPECT_FALSE(bParsed);
}

TEST(UrlEncoded, TextLengthLimit)
{
    std::string strMax(KELSIO_MAX_TEXT_BYTES, 'v');
    EXPECT_EQ(GetOk("n=" + strMax)[0].second.size(), static_cast<size_t>(KELSIO_MAX_TEXT_BYTES));
    EXPECT_TRUE(Refused("n=" + strMax + "v"));
    EXPECT_TRUE(Refused(strMax + "n=1"));
    // The limit is on the decoded text: three bytes of escape are one byte.
    std::string strEscaped;
    for (int i = 0; i < KELSIO_MAX_TEXT_BYTES; ++i)
        strEscaped += "%41";
    EXPECT_FALSE(Refused("n=" + strEscaped));
}

TEST(UrlEncoded, VariableCountLimit)
{
    std::string strQuery;
    for (int i = 0; i < KELSIO_MAX_VARIABLES; ++i)
        strQuery += "v" + std::to_string(i) + "=" + std::to_string(i) + "&";
    CVarPairs vars = GetOk(strQuery);
    ASSERT_EQ(vars.size(), static_cast<size_t>(KELSIO_MAX_VARIABLES));
    EXPECT_EQ(vars.back().second, std::to_string(KELSIO_MAX_VARIABLES - 1));
    EXPECT_TRUE(Refused(strQuery + "one=more"));
}

TEST(UrlEncoded, PostBodyComesBeforeTheQueryString)
{
    CTempHome home;
    CFakeRequest request = PostRequest(home.Path(), s_szForm, "Verify=body&x=1");
    request.env["QUERY_STRING"] = "Verify=query";
    bool bParsed = false;
    CVarPairs vars = request.Parse(bParsed);
    ASSERT_TRUE(bParsed);
    ASSERT_EQ(vars.size(), 3u);
    EXPECT_EQ(vars[0].second, "body");
    EXPECT_EQ(vars[2].second, "query");
}

TEST(UrlEncoded, ContentTypeParametersAndCaseAreAccepted)
{
    CTempHome home;
    CFakeRequest request =
        PostRequest(home.Path(), "Application/X-WWW-Form-URLEncoded; charset=UTF-8", "a=1");
    bool bParsed = false;
    CVarPairs vars = request.Parse(bParsed);
    ASSERT_TRUE(bParsed);
    EXPECT_EQ(vars.size(), 1u);
}

TEST(UrlEncoded, ExactlyContentLengthBytesAreRead)
{
    CTempHome home;
    CFakeRequest request = PostRequest(home.Path(), s_szForm, "a=1&b=2");
    request.env["CONTENT_LENGTH"] = "3";
    request.nChunk = 1;
    bool bParsed = false;
    CVarPairs vars = request.Parse(bParsed);
    ASSERT_TRUE(bParsed);
    ASSERT_EQ(vars.size(), 1u);
    EXPECT_EQ(vars[0].second, "1");
    EXPECT_EQ(request.nConsumed, 3u) << "nothing beyond the body is taken from the input";
}

TEST(UrlEncoded, BodyReadInSmallChunksGivesTheSameVariables)
{
    CTempHome home;
    std::string strBody = "TempFileName=%2Fsrv%2FHome%2FTEMP%2Fx&NewFileSize=42&Verify=ab+cd";
    for (size_t nChunk : {1u, 2u, 3u, 7u, 4096u})
    {
        CFakeRequest request = PostRequest(home.Path(), s_szForm, strBody);
        request.nChunk = nChunk;
        bool bParsed = false;
        CVarPairs vars = request.Parse(bParsed);
        ASSERT_TRUE(bParsed) << nChunk;
        ASSERT_EQ(vars.size(), 3u);
        EXPECT_EQ(vars[0].second, "/srv/Home/TEMP/x");
        EXPECT_EQ(vars[2].second, "ab cd");
    }
}
