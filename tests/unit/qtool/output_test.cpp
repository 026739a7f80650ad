// Escaping for each output format, and SHA-256 from the system's library.
#include "qtool_output.h"
#include "sha256.h"

#include "platform.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace
{

TEST(OutputEscapingTest, NamesCannotBreakOutOfTheirField)
{
    EXPECT_EQ("\"PC7_1.0\"", JsonString("PC7_1.0"));
    EXPECT_EQ("\"a\\\"b\\\\c\"", JsonString("a\"b\\c"));
    EXPECT_EQ("\"\\u000a\\u001b[2J\\u007f\"", JsonString("\n\x1b[2J\x7f"));
}

// Whether the bytes are well-formed UTF-8.
bool IsUtf8(const std::string& strText)
{
    int nWide = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, strText.data(),
                                    static_cast<int>(strText.size()), nullptr, 0);
    return strText.empty() || nWide > 0;
}

TEST(OutputEscapingTest, JsonIsUtf8WhateverTheNameHolds)
{
    // "grü" in the system's ANSI code page comes out as UTF-8.
    const WCHAR wszName[] = {'g', 'r', 0xfc, 0};
    char szAnsi[16] = {0};
    ASSERT_GT(WideCharToMultiByte(CP_ACP, 0, wszName, -1, szAnsi, sizeof(szAnsi), nullptr, nullptr),
              0);
    EXPECT_EQ("\"gr\xc3\xbc\"", JsonString(szAnsi));
    // A byte that is no text in the code page (natively: a stray UTF-8 byte) cannot make the
    // output invalid.
    for (const char* szBytes : {"\xff", "PC\xc3", "\xe2\x82",
                                "a\x80"
                                "b",
                                "\xed\xa0\x80"})
    {
        std::string strJson = JsonString(szBytes);
        EXPECT_TRUE(IsUtf8(strJson)) << strJson;
        EXPECT_EQ('"', strJson.front());
        EXPECT_EQ('"', strJson.back());
    }
}

TEST(OutputEscapingTest, CsvAndTextKeepNamesInTheirField)
{

    EXPECT_EQ("\"a,b\"", CsvField("a,b"));
    EXPECT_EQ("\"say \"\"hi\"\"\"", CsvField("say \"hi\""));
    EXPECT_EQ("\"=1+1\"", CsvField("=1+1"));

    EXPECT_EQ("PC\\x1b[2J\\x0a\\x7fx", TextField("PC\x1b[2J\n\x7fx"));
    EXPECT_EQ("C:\\Vendrel\\Virus", TextField("C:\\Vendrel\\Virus"));

    EXPECT_EQ("   12", PadLeft("12", 5));
    EXPECT_EQ("toolong", PadLeft("toolong", 3));
    EXPECT_EQ("ab   ", PadRight("ab", 5));
}

TEST(OutputEscapingTest, OutputStringCollectsEveryWrite)
{
    std::string strText;
    COutput out(&strText);
    out.Write("one ");
    out.Write("");
    out.Write("two\n");
    EXPECT_TRUE(out.Finish());
    EXPECT_EQ("one two\n", strText);
}

std::string Digest(const std::string& strData, size_t nPiece)
{
    CSha256 hash;
    EXPECT_TRUE(hash.IsReady());
    for (size_t nPos = 0; nPos < strData.size(); nPos += nPiece)
    {
        EXPECT_TRUE(hash.Update(strData.data() + nPos, std::min(nPiece, strData.size() - nPos)));
    }
    char szHex[kSha256HexChars + 1];
    EXPECT_TRUE(hash.Finish(szHex, sizeof(szHex)));
    return szHex;
}

TEST(Sha256Test, KnownDigestsWhateverPiecesTheDataComesIn)
{
    EXPECT_EQ("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855", Digest("", 1));
    EXPECT_EQ("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad", Digest("abc", 1));
    const std::string strLong = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";
    for (size_t nPiece : {1u, 7u, 56u})
    {
        EXPECT_EQ("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1",
                  Digest(strLong, nPiece))
            << nPiece;
    }
    EXPECT_EQ("cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0",
              Digest(std::string(1000000, 'a'), 65537));
}

TEST(Sha256Test, ASpentHashOrAShortBufferGivesNothing)
{
    CSha256 hash;
    char szShort[kSha256HexChars] = {0};
    EXPECT_FALSE(hash.Finish(szShort, sizeof(szShort)));
    char szHex[kSha256HexChars + 1];
    EXPECT_FALSE(hash.Finish(szHex, sizeof(szHex)));
    EXPECT_FALSE(hash.Update("x", 1));
}

} // namespace
