// The MD5 digest against the published test suite and its refusals.
#include "md5.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace
{

std::string Md5Hex(const std::string& strInput)
{
    CMessageDigest5 digest;
    char szHex[33];
    EXPECT_TRUE(digest.HexDigest(strInput.data(), (uint32_t)strInput.size(), szHex, 33));
    return std::string(szHex);
}

std::string ToHex(const unsigned char* pBytes, size_t nLength)
{
    static const char kDigits[] = "0123456789abcdef";
    std::string strHex;
    for (size_t i = 0; i < nLength; ++i)
    {
        strHex += kDigits[pBytes[i] >> 4];
        strHex += kDigits[pBytes[i] & 15];
    }
    return strHex;
}

} // namespace

TEST(Md5Digest, ReferenceSuite)
{
    EXPECT_EQ(Md5Hex(""), "d41d8cd98f00b204e9800998ecf8427e");
    EXPECT_EQ(Md5Hex("a"), "0cc175b9c0f1b6a831c399e269772661");
    EXPECT_EQ(Md5Hex("abc"), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(Md5Hex("message digest"), "f96b697d7cb7938d525a2f31aaf161d0");
    EXPECT_EQ(Md5Hex("abcdefghijklmnopqrstuvwxyz"), "c3fcd3d76192e4007dfb496cca67e13b");
    EXPECT_EQ(Md5Hex("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "d174ab98d277d9f5a5611c2c9f419d9f");
    EXPECT_EQ(Md5Hex("1234567890123456789012345678901234567890"
                     "1234567890123456789012345678901234567890"),
              "57edf4a22be3c955ac49da2e2107b67a");
}

TEST(Md5Digest, PaddingBoundaries)
{
    // 55 bytes pad within one block, 56 and more need a second one.
    EXPECT_EQ(Md5Hex(std::string(55, 'a')), "ef1772b6dff9a122358552954ad0df65");
    EXPECT_EQ(Md5Hex(std::string(56, 'a')), "3b0c8ac703f828b04c6c197006d17218");
    EXPECT_EQ(Md5Hex(std::string(63, 'a')), "b06521f39153d618550606be297466d5");
    EXPECT_EQ(Md5Hex(std::string(64, 'a')), "014842d480b571495a4a0363793f7367");
    EXPECT_EQ(Md5Hex(std::string(65, 'a')), "c743a45e0d2e6a95cb859adae0248435");
}

TEST(Md5Digest, AnySplitGivesTheSameDigest)
{
    std::string strInput;
    for (int i = 0; i < 300; ++i)
    {
        strInput += (char)(i * 7 + 3);
    }
    const std::string strWhole = Md5Hex(strInput);
    for (size_t nFirst = 0; nFirst <= strInput.size(); nFirst += 13)
    {
        for (size_t nSecond = 0; nFirst + nSecond <= strInput.size(); nSecond += 29)
        {
            CMessageDigest5 digest;
            digest.Update(strInput.data(), (uint32_t)nFirst);
            digest.Update(strInput.data() + nFirst, (uint32_t)nSecond);
            digest.Update(strInput.data() + nFirst + nSecond,
                          (uint32_t)(strInput.size() - nFirst - nSecond));
            unsigned char bytes[16];
            ASSERT_TRUE(digest.Final(bytes, 16));
            ASSERT_EQ(ToHex(bytes, 16), strWhole) << nFirst << "+" << nSecond;
        }
    }
    // One byte at a time as well.
    CMessageDigest5 digest;
    for (char c : strInput)
    {
        digest.Update(&c, 1);
    }
    unsigned char bytes[16];
    ASSERT_TRUE(digest.Final(bytes, 16));
    EXPECT_EQ(ToHex(bytes, 16), strWhole);
}

TEST(Md5Digest, FinalRefusesASmallDigestBufferAndKeepsTheObject)
{
    CMessageDigest5 digest;
    digest.Update("ab", 2);
    unsigned char bytes[17];
    memset(bytes, 0xEE, sizeof(bytes));
    EXPECT_FALSE(digest.Final(bytes, 15));
    for (unsigned char b : bytes)
    {
        ASSERT_EQ(b, 0xEE);
    }
    // The refused call changed nothing: the rest of the message still completes "abc".
    digest.Update("c", 1);
    EXPECT_TRUE(digest.Final(bytes, 16));
    EXPECT_EQ(ToHex(bytes, 16), "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(bytes[16], 0xEE);
}

TEST(Md5Digest, HexDigestRefusesAShortOutputUntouched)
{
    CMessageDigest5 digest;
    char szHex[40];
    memset(szHex, 'Z', sizeof(szHex));
    EXPECT_FALSE(digest.HexDigest("abc", 3, szHex, 32));
    for (char c : szHex)
    {
        ASSERT_EQ(c, 'Z');
    }
    // Nothing was fed by the refused call.
    EXPECT_TRUE(digest.HexDigest("abc", 3, szHex, 33));
    EXPECT_STREQ(szHex, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_EQ(szHex[33], 'Z');
}

TEST(Md5Digest, HexDigestIsLowerCaseHexOnly)
{
    for (int n = 0; n < 40; ++n)
    {
        std::string strHex = Md5Hex(std::string((size_t)n, (char)(0x80 + n)));
        ASSERT_EQ(strHex.size(), 32u);
        for (char c : strHex)
        {
            ASSERT_TRUE((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << strHex;
        }
    }
}

TEST(Md5Digest, LongFormFeedsDataThenExtra)
{
    CMessageDigest5 digest;
    char szHex[33];
    EXPECT_TRUE(digest.HexDigest("message ", 0, 8, szHex, 33, "digest", 6));
    EXPECT_STREQ(szHex, "f96b697d7cb7938d525a2f31aaf161d0");

    CMessageDigest5 noExtra;
    EXPECT_TRUE(noExtra.HexDigest("abc", 0, 3, szHex, 33, "ignored", 0));
    EXPECT_STREQ(szHex, "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5Digest, HexDigestIncludesWhatWasFedBefore)
{
    CMessageDigest5 digest;
    digest.Update("ab", 2);
    char szHex[33];
    EXPECT_TRUE(digest.HexDigest("c", 1, szHex, 33));
    EXPECT_STREQ(szHex, "900150983cd24fb0d6963f7d28e17f72");
}

TEST(Md5Digest, SecondDigestOnASpentObjectIsNotTheDigestOfItsInput)
{
    CMessageDigest5 digest;
    char szFirst[33];
    char szSecond[33];
    EXPECT_TRUE(digest.HexDigest("abc", 3, szFirst, 33));
    EXPECT_TRUE(digest.HexDigest("abc", 3, szSecond, 33));
    EXPECT_STREQ(szFirst, "900150983cd24fb0d6963f7d28e17f72");
    EXPECT_STRNE(szSecond, szFirst);
    EXPECT_EQ(strlen(szSecond), 32u);
}

TEST(Md5Digest, MillionA)
{
    std::string strBlock(1000, 'a');
    CMessageDigest5 digest;
    for (int i = 0; i < 1000; ++i)
    {
        digest.Update(strBlock.data(), (uint32_t)strBlock.size());
    }
    unsigned char bytes[16];
    ASSERT_TRUE(digest.Final(bytes, 16));
    EXPECT_EQ(ToHex(bytes, 16), "7707d6ae4e027c70eea2a935c2296f21");
}
