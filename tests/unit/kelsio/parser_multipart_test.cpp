#include "kelsio_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace
{

const std::string s_strBoundary = "----vendrel7d9a3f";

std::string MultipartType(const std::string& strBoundary = s_strBoundary)
{
    return "multipart/form-data; boundary=" + strBoundary;
}

class Multipart : public ::testing::Test
{
protected:
    CVarPairs ParseOk(CFakeRequest& request)
    {
        bool bParsed = false;
        CVarPairs vars = request.Parse(bParsed);
        EXPECT_TRUE(bParsed);
        return vars;
    }
    CVarPairs ParseOk(const std::string& strBody, const std::string& strType = MultipartType())
    {
        // The request stays for the test: its upload files live as long as its array.
        m_requests.push_back(PostRequest(m_home.Path(), strType, strBody));
        return ParseOk(m_requests.back());
    }
    // An upload file's path as the program's location check expects it.
    void ExpectUploadPath(const std::string& strPath)
    {
        std::string strDir = m_home.Path() + VENDREL_DIR_SEP_STR + "TEMP" + VENDREL_DIR_SEP_STR;
        ASSERT_EQ(strPath.compare(0, strDir.size(), strDir), 0) << strPath;
        std::string strName = strPath.substr(strDir.size());
        ASSERT_EQ(strName.size(), 7u + 16u) << strName;
        EXPECT_EQ(strName.compare(0, 7, "upload_"), 0);
        EXPECT_EQ(strName.find_first_not_of("0123456789abcdef", 7), std::string::npos);
    }

    CTempHome m_home;
    std::vector<CFakeRequest> m_requests;
};

} // namespace

TEST_F(Multipart, SeveralFieldsAndAFilePart)
{
    std::string strFile = "MZ\x90\0\x03\r\n\r\nbinary\n\rcontent\r\n";
    strFile.push_back('\0');
    CVarPairs vars = ParseOk(MultipartBody(
        s_strBoundary, {FilePart("TempFileName", "infected.bin", strFile),
                        FieldPart("NewFileSize", "18"), FieldPart("ComputerName", "PC7"),
                        FieldPart("Verify", "0123456789abcdef0123456789abcdef")}));
    ASSERT_EQ(vars.size(), 4u);
    EXPECT_EQ(vars[0].first, "TempFileName");
    ExpectUploadPath(vars[0].second);
    EXPECT_EQ(ReadWholeFile(vars[0].second), strFile) << "content is kept byte for byte";
    EXPECT_EQ(vars[1], std::make_pair(std::string("NewFileSize"), std::string("18")));
    EXPECT_EQ(vars[2].second, "PC7");
    EXPECT_EQ(vars[3].second, "0123456789abcdef0123456789abcdef");
    EXPECT_EQ(m_home.TempFiles().size(), 1u);
}

TEST_F(Multipart, CrLfInsideContentBelongsToTheContent)
{
    CVarPairs vars = ParseOk(
        MultipartBody(s_strBoundary, {FieldPart("a", "line1\r\nline2\r\n"), FieldPart("b", "\r\n"),
                                      FilePart("f", "x", "\r\n\r\n--"), FieldPart("c", "")}));
    ASSERT_EQ(vars.size(), 4u);
    EXPECT_EQ(vars[0].second, "line1\r\nline2\r\n");
    EXPECT_EQ(vars[1].second, "\r\n");
    EXPECT_EQ(ReadWholeFile(vars[2].second), "\r\n\r\n--");
    EXPECT_EQ(vars[3].second, "") << "an empty value";
}

TEST_F(Multipart, BoundaryTextNotOnALineOfItsOwnIsContent)
{
    std::string strFile = "--" + s_strBoundary + " starts here\r\nx--" + s_strBoundary +
                          "\r\n\n--" + s_strBoundary + "\r--" + s_strBoundary + "--";
    CVarPairs vars = ParseOk(MultipartBody(s_strBoundary, {FilePart("f", "a.txt", strFile)}));
    ASSERT_EQ(vars.size(), 1u);
    EXPECT_EQ(ReadWholeFile(vars[0].second), strFile);
}

TEST_F(Multipart, RepeatedNamesAndCaseSensitiveNamesAreKept)
{
    CVarPairs vars =
        ParseOk(MultipartBody(s_strBoundary, {FieldPart("Verify", "1"), FieldPart("verify", "2"),
                                              FieldPart("Verify", "3")}));
    ASSERT_EQ(vars.size(), 3u);
    EXPECT_EQ(vars[0], std::make_pair(std::string("Verify"), std::string("1")));
    EXPECT_EQ(vars[1], std::make_pair(std::string("verify"), std::string("2")));
    EXPECT_EQ(vars[2], std::make_pair(std::string("Verify"), std::string("3")));
}

TEST_F(Multipart, PartNamesAndValuesAreNotUrlDecoded)
{
    CVarPairs vars = ParseOk(MultipartBody(s_strBoundary, {FieldPart("a%41+b", "c%00+d")}));
    ASSERT_EQ(vars.size(), 1u);
    EXPECT_EQ(vars[0], std::make_pair(std::string("a%41+b"), std::string("c%00+d")));
}

TEST_F(Multipart, QuotedBoundaryPreambleEpilogueAndPadding)
{
    std::string strBoundary = "weird:boundary'(x)";
    std::string strBody = "preamble text\r\n--" + strBoundary + " \t\r\n" +
                          "content-disposition: FORM-DATA; NAME=plain\r\n\r\nv1\r\n--" +
                          strBoundary + "--\r\nepilogue, ignored";
    CVarPairs vars =
        ParseOk(strBody, "multipart/form-data; charset=x; boundary=\"" + strBoundary + "\"");
    ASSERT_EQ(vars.size(), 1u);
    EXPECT_EQ(vars[0], std::make_pair(std::string("plain"), std::string("v1")));
}

TEST_F(Multipart, EveryFilePartGetsAFileOfItsOwn)
{
    CVarPairs vars = ParseOk(MultipartBody(
        s_strBoundary,
        {FilePart("one", "same.bin", "first"),
         FilePart("two", "same.bin", ""),
         {"Content-Disposition: form-data; name=\"three\"; filename=\"\"\r\n", "3"}}));
    ASSERT_EQ(vars.size(), 3u);
    EXPECT_NE(vars[0].second, vars[1].second);
    EXPECT_EQ(ReadWholeFile(vars[0].second), "first");
    EXPECT_EQ(ReadWholeFile(vars[1].second), "") << "an empty file part is an empty file";
    EXPECT_EQ(ReadWholeFile(vars[2].second), "3") << "an empty file name still marks a file";
    EXPECT_EQ(m_home.TempFiles().size(), 3u);
}

TEST_F(Multipart, ClientFileNameIsNeverUsed)
{
    CVarPairs vars =
        ParseOk(MultipartBody(s_strBoundary, {FilePart("f", "..\\..\\evil;name=x.exe", "payload"),
                                              FilePart("g", "C:\\Users\\me\\", "p2")}));
    ASSERT_EQ(vars.size(), 2u);
    ExpectUploadPath(vars[0].second);
    ExpectUploadPath(vars[1].second);
    std::vector<std::string> files = m_home.TempFiles();
    ASSERT_EQ(files.size(), 2u);
    for (const std::string& strName : files)
        EXPECT_EQ(strName.find("evil"), std::string::npos);
}

TEST_F(Multipart, FileContentDroppedWhenFilePartsAreNotSaved)
{
    CFakeRequest request = PostRequest(
        m_home.Path(), MultipartType(),
        MultipartBody(s_strBoundary, {FilePart("f", "x", "data"), FieldPart("a", "b")}));
    request.bSaveFileParts = false;
    CVarPairs vars = ParseOk(request);
    ASSERT_EQ(vars.size(), 2u);
    EXPECT_EQ(vars[0], std::make_pair(std::string("f"), std::string("")));
    EXPECT_TRUE(m_home.TempFiles().empty());
}

TEST_F(Multipart, QueryStringVariablesFollowTheBody)
{
    CFakeRequest request = PostRequest(m_home.Path(), MultipartType(),
                                       MultipartBody(s_strBoundary, {FieldPart("a", "body")}));
    request.env["QUERY_STRING"] = "a=query";
    CVarPairs vars = ParseOk(request);
    ASSERT_EQ(vars.size(), 2u);
    EXPECT_EQ(vars[0].second, "body");
    EXPECT_EQ(vars[1].second, "query");
}

// The delimiter after a file's content falls at every position around the edge of the
// scanner's buffer, and the content is full of near-delimiters.
TEST_F(Multipart, FileSplitAcrossReadBufferEdges)
{
    std::string strNear;
    std::string strDelimiter = "\r\n--" + s_strBoundary;
    for (size_t k = 1; k < strDelimiter.size(); ++k)
        strNear += strDelimiter.substr(0, k) + "#";
    CPart head = FilePart("f", "x", "");
    size_t nBefore = 2 + s_strBoundary.size() + 2 + head.strHead.size() + 2;
    for (int nShift = -90; nShift <= 90; ++nShift)
    {
        size_t nContent = KELSIO_BODY_BUFFER - nBefore + nShift;
        std::string strFile(nContent, 'x');
        // Near-delimiters both well inside and right at the end of the content.
        strFile.replace(100, strNear.size(), strNear);
        size_t nTail = std::min(strNear.size(), static_cast<size_t>(60));
        strFile.replace(nContent - nTail, nTail, strNear.substr(strNear.size() - nTail));
        CFakeRequest request = PostRequest(
            m_home.Path(), MultipartType(),
            MultipartBody(s_strBoundary, {FilePart("f", "x", strFile), FieldPart("after", "ok")}));
        CVarPairs vars = ParseOk(request);
        ASSERT_EQ(vars.size(), 2u) << nShift;
        ASSERT_EQ(ReadWholeFile(vars[0].second), strFile) << nShift;
        EXPECT_EQ(vars[1].second, "ok");
        DeleteFileA(vars[0].second.c_str());
    }
    EXPECT_TRUE(m_home.TempFiles().empty());
}

TEST_F(Multipart, LargeFileInOddReadChunks)
{
    std::string strFile;
    for (int i = 0; strFile.size() < 3 * KELSIO_BODY_BUFFER + 17; ++i)
        strFile +=
            "\r\n--" + s_strBoundary.substr(0, i % s_strBoundary.size()) + std::to_string(i) + "\r";
    for (size_t nChunk : {1u, 13u, 4095u, 65537u})
    {
        CFakeRequest request = PostRequest(
            m_home.Path(), MultipartType(),
            MultipartBody(s_strBoundary, {FieldPart("a", "1"), FilePart("f", "x", strFile)}));
        request.nChunk = nChunk;
        CVarPairs vars = ParseOk(request);
        ASSERT_EQ(vars.size(), 2u) << nChunk;
        EXPECT_TRUE(ReadWholeFile(vars[1].second) == strFile) << nChunk;
        DeleteFileA(vars[1].second.c_str());
    }
}

TEST_F(Multipart, BareLineFeedsInPartHeadersAreAccepted)
{
    std::string strBody =
        "--B\r\nContent-Disposition: form-data;\r\n name=\"folded\"\n\nv\r\n--B--";
    CVarPairs vars = ParseOk(strBody, MultipartType("B"));
    ASSERT_EQ(vars.size(), 1u);
    EXPECT_EQ(vars[0], std::make_pair(std::string("folded"), std::string("v")));
}
