// What may follow a multipart delimiter: CRLF (after optional blanks) opens the next part and
// "--" closes the body; anything else, and a body that ends first, is refused. Every case runs
// with the body handed over whole and in small reads, so that a check that looks at bytes the
// body has not delivered yet is caught.
#include "kelsio_test_support.h"

#include <gtest/gtest.h>

#include <ostream>

namespace
{

const std::string s_strType = "multipart/form-data; boundary=XyZ";
// Reads of the whole body, and of a few bytes at a time: a delimiter and what follows it then
// arrive split at every place.
const size_t s_anChunks[] = {1u << 20, 1, 2, 3, 5, 7};

// A body that is fine up to and including a file part whose content is followed by a delimiter;
// the case's tail comes right after that delimiter.
std::string FileFirst()
{
    return "--XyZ\r\n" + FilePart("TempFileName", "x.bin", "").strHead + "\r\n" +
           std::string(300, 'f') + "\r\n--XyZ";
}

const char s_szFieldB[] = "Content-Disposition: form-data; name=\"b\"\r\n\r\nw\r\n--XyZ--";

struct SDelimiterCase
{
    const char* szName;
    std::string strTail;
    // The variables of an accepted body; 0 when it must be refused.
    size_t nVars;
};

void PrintTo(const SDelimiterCase& param, std::ostream* pOut)
{
    *pOut << param.szName;
}

class DelimiterTail : public ::testing::TestWithParam<SDelimiterCase>
{
protected:
    void SetUp() override
    {
        // Somebody else's upload: never touched by a refused request.
        WriteWholeFile(m_home.Temp() + VENDREL_DIR_SEP_STR + "upload_0000000000000000", "keep");
    }

    // Parses the body in every chunking; each outcome must be the case's.
    void Expect(const std::string& strBody, size_t nVars)
    {
        for (size_t nChunk : s_anChunks)
        {
            SCOPED_TRACE("reads of " + std::to_string(nChunk) + " bytes");
            CFakeRequest request = PostRequest(m_home.Path(), s_strType, strBody);
            request.nChunk = nChunk;
            bool bParsed = false;
            CVarPairs vars = request.Parse(bParsed);
            ASSERT_EQ(bParsed, nVars != 0);
            EXPECT_EQ(vars.size(), nVars);
            std::vector<std::string> files = m_home.TempFiles();
            // An accepted body keeps its one file part until its array is freed.
            EXPECT_EQ(files.size(), nVars != 0 ? 2u : 1u);
            request.Free();
            files = m_home.TempFiles();
            ASSERT_EQ(files.size(), 1u) << "an upload file was left behind";
            EXPECT_EQ(files[0], "upload_0000000000000000");
        }
    }

    CTempHome m_home;
};

} // namespace

TEST_P(DelimiterTail, AfterAFilePart)
{
    Expect(FileFirst() + GetParam().strTail, GetParam().nVars);
}

INSTANTIATE_TEST_SUITE_P(
    Multipart, DelimiterTail,
    ::testing::Values(
        // The two spellings that the delimiter may be followed by.
        SDelimiterCase{"CrLfOpensTheNextPart", std::string("\r\n") + s_szFieldB, 2},
        SDelimiterCase{"BlanksThenCrLfOpenTheNextPart", std::string(" \t \r\n") + s_szFieldB, 2},
        SDelimiterCase{"DashesClose", "--", 1},
        SDelimiterCase{"DashesCloseBeforeAnEpilogue", "--\r\nepilogue --XyZ\r\nx", 1},
        SDelimiterCase{"DashesCloseRightAfterTheBoundaryText", "--x", 1},
        // Text after the delimiter: the next "part" would start in the middle of a line.
        SDelimiterCase{"TextThenAPart", std::string("xx") + s_szFieldB, 0},
        SDelimiterCase{"TextThenCrLfThenAPart", std::string("xx\r\n") + s_szFieldB, 0},
        SDelimiterCase{"LongerBoundaryThenAPart", std::string("Z\r\n") + s_szFieldB, 0},
        SDelimiterCase{"BareLineFeedThenAPart", std::string("\n") + s_szFieldB, 0},
        SDelimiterCase{"BareCarriageReturnThenAPart", std::string("\r") + s_szFieldB, 0},
        SDelimiterCase{"CarriageReturnsThenLineFeed", std::string("\r\r\n") + s_szFieldB, 0},
        SDelimiterCase{"BlanksThenText", std::string("  x\r\n") + s_szFieldB, 0},
        SDelimiterCase{"BlanksThenDashes", " --", 0},
        SDelimiterCase{"OneDashThenCrLf", std::string("-\r\n") + s_szFieldB, 0},
        SDelimiterCase{"OneDashThenText", "-x--", 0},
        SDelimiterCase{"NulThenCrLf", std::string("\0\r\n", 3) + s_szFieldB, 0},
        // The body ends after the delimiter, or inside what should follow it.
        SDelimiterCase{"BodyEndsAtTheDelimiter", "", 0},
        SDelimiterCase{"BodyEndsAfterBlanks", "  ", 0},
        SDelimiterCase{"BodyEndsAfterCarriageReturn", "\r", 0},
        SDelimiterCase{"BodyEndsAfterBlanksAndCarriageReturn", " \r", 0},
        SDelimiterCase{"BodyEndsAfterOneDash", "-", 0}),
    [](const ::testing::TestParamInfo<SDelimiterCase>& info) { return info.param.szName; });

class FirstDelimiter : public DelimiterTail
{
};

// The first delimiter is held to the same rule, with or without a preamble before it.
TEST_P(FirstDelimiter, OpensTheBody)
{
    const std::string strPart = "Content-Disposition: form-data; name=\"a\"\r\n\r\nv\r\n--XyZ\r\n" +
                                FilePart("TempFileName", "x.bin", "").strHead + "\r\nf\r\n--XyZ--";
    Expect("--XyZ" + GetParam().strTail + strPart, GetParam().nVars);
    Expect("preamble\r\n--XyZ" + GetParam().strTail + strPart, GetParam().nVars);
}

INSTANTIATE_TEST_SUITE_P(Multipart, FirstDelimiter,
                         ::testing::Values(SDelimiterCase{"CrLf", "\r\n", 2},
                                           SDelimiterCase{"BlanksThenCrLf", " \r\n", 2},
                                           SDelimiterCase{"Text", "xx", 0},
                                           SDelimiterCase{"TextThenCrLf", "xx\r\n", 0},
                                           SDelimiterCase{"BareLineFeed", "\n", 0}),
                         [](const ::testing::TestParamInfo<SDelimiterCase>& info)
                         { return info.param.szName; });

// The file's content is all dashes, so whatever an earlier read left in the reader's buffer
// beyond the body's last byte reads as "--": a close that is taken from there instead of from
// the body makes a body that ends at its delimiter look closed.
TEST(MultipartEnd, BodyEndingAtTheDelimiterIsNotClosedByEarlierBytes)
{
    CTempHome home;
    const std::string strBody = "--XyZ\r\n" + FilePart("TempFileName", "x.bin", "").strHead +
                                "\r\n" + std::string(5000, '-') + "\r\n--XyZ";
    for (size_t nChunk : {size_t(1000), size_t(999), size_t(1001), size_t(4096), size_t(64)})
    {
        SCOPED_TRACE("reads of " + std::to_string(nChunk) + " bytes");
        CFakeRequest request = PostRequest(home.Path(), s_strType, strBody);
        request.nChunk = nChunk;
        bool bParsed = true;
        request.Parse(bParsed);
        EXPECT_FALSE(bParsed);
        EXPECT_EQ(request.nConsumed, strBody.size());
        EXPECT_TRUE(home.TempFiles().empty());

        CFakeRequest closed = PostRequest(home.Path(), s_strType, strBody + "--");
        closed.nChunk = nChunk;
        CVarPairs vars = closed.Parse(bParsed);
        ASSERT_TRUE(bParsed) << "the same body with its close is accepted";
        ASSERT_EQ(vars.size(), 1u);
        EXPECT_EQ(ReadWholeFile(vars[0].second), std::string(5000, '-'));
    }
}
