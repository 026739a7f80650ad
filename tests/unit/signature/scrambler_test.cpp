// The key-stream scrambler: key expansion, the key stream and the hex form.
#include "scrambler.h"

#include "signature_expectations.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

using namespace signature_test;

namespace
{

const char kFixedKey[] = "407316525";

// The rule written out once more, in wide arithmetic reduced at every step.
std::vector<unsigned char> ExpandByRule(const std::string& strKey, int nLength)
{
    std::vector<unsigned char> out;
    unsigned int nAccumulator = 0;
    const int nKey = (int)strKey.size();
    for (int i = 0; i < nLength; ++i)
    {
        unsigned int c = (unsigned char)strKey[(size_t)(i % nKey)];
        nAccumulator = (nAccumulator + 17u * (c + (unsigned int)i)) % 256u;
        unsigned int nNext = (unsigned char)strKey[(size_t)((i + 1) % nKey)];
        out.push_back((unsigned char)((c * nAccumulator + nNext) % 256u));
    }
    return out;
}

std::vector<unsigned char> Scrambled(std::vector<unsigned char> bytes)
{
    CScrambler scrambler(kFixedKey);
    scrambler.Process(bytes.data(), (int32_t)bytes.size());
    return bytes;
}

} // namespace

TEST(KeyExpansion, FixedKeyMatchesTheRule)
{
    unsigned char expanded[72];
    CScrambler::ExpandKey(reinterpret_cast<const unsigned char*>(kFixedKey), 9, expanded, 72);
    EXPECT_EQ(0, memcmp(expanded, kFixedKeyExpansion, 72));
    std::vector<unsigned char> byRule = ExpandByRule(kFixedKey, 72);
    EXPECT_EQ(0, memcmp(expanded, byRule.data(), 72));
}

TEST(KeyExpansion, OtherKeysAndLengths)
{
    const std::string strKey = "\x80\xff key";
    std::vector<unsigned char> byRule = ExpandByRule(strKey, 300);
    std::vector<unsigned char> expanded(300);
    CScrambler::ExpandKey(reinterpret_cast<const unsigned char*>(strKey.data()),
                          (int32_t)strKey.size(), expanded.data(), 300);
    EXPECT_EQ(expanded, byRule);
}

TEST(KeyExpansion, NonPositiveOutputLengthWritesNothing)
{
    unsigned char out[4] = {1, 2, 3, 4};
    CScrambler::ExpandKey(reinterpret_cast<const unsigned char*>(kFixedKey), 9, out, 0);
    CScrambler::ExpandKey(reinterpret_cast<const unsigned char*>(kFixedKey), 9, out, -5);
    EXPECT_EQ(out[0], 1);
    EXPECT_EQ(out[3], 4);
}

TEST(ScrambleRing, CyclesAndRefusesASecondInit)
{
    const unsigned char first[3] = {10, 20, 30};
    const unsigned char second[2] = {99, 98};
    CScrambleRing ring;
    EXPECT_EQ(ring.NextByte(), 0); // empty: nothing to hand out
    EXPECT_EQ(ring.Init(first, 3), 1);
    EXPECT_EQ(ring.NextByte(), 10);
    EXPECT_EQ(ring.Init(second, 2), 0);
    EXPECT_EQ(ring.NextByte(), 20);
    EXPECT_EQ(ring.NextByte(), 30);
    EXPECT_EQ(ring.NextByte(), 10);
}

TEST(Scrambler, KeyStreamIsTheXorOfTheThreeRings)
{
    std::vector<unsigned char> zeros(2000, 0);
    std::vector<unsigned char> stream = Scrambled(zeros);
    for (size_t k = 0; k < stream.size(); ++k)
    {
        ASSERT_EQ(stream[k], StreamByte(k)) << k;
    }
}

TEST(Scrambler, ProcessingTwiceRestores)
{
    std::vector<unsigned char> original;
    for (int i = 0; i < 1000; ++i)
    {
        original.push_back((unsigned char)(i * 31 + 7));
    }
    std::vector<unsigned char> once = Scrambled(original);
    EXPECT_NE(once, original);
    EXPECT_EQ(Scrambled(once), original);
}

TEST(Scrambler, StreamContinuesAcrossCalls)
{
    std::vector<unsigned char> whole(20);
    for (size_t i = 0; i < whole.size(); ++i)
    {
        whole[i] = (unsigned char)(0x41 + i);
    }
    std::vector<unsigned char> split = whole;
    CScrambler scrambler(kFixedKey);
    scrambler.Process(split.data(), 10);
    scrambler.Process(split.data() + 10, 10);
    EXPECT_EQ(split, Scrambled(whole));
}

TEST(Scrambler, ZeroOrNegativeLengthChangesNothingAndKeepsTheStream)
{
    std::vector<unsigned char> buffer(5, 0x33);
    CScrambler scrambler(kFixedKey);
    scrambler.Process(buffer.data(), 0);
    scrambler.Process(buffer.data(), -3);
    EXPECT_EQ(buffer, std::vector<unsigned char>(5, 0x33));
    scrambler.Process(buffer.data(), 5);
    EXPECT_EQ(buffer, Scrambled(std::vector<unsigned char>(5, 0x33)));
}

TEST(Scrambler, PeriodIs13800Bytes)
{
    std::vector<unsigned char> same(13801, 0x5A);
    std::vector<unsigned char> out = Scrambled(same);
    EXPECT_EQ(out.back(), out.front());
    // No shorter period among the ring-length divisors that a wrong ring size would give.
    EXPECT_NE(0, memcmp(out.data(), out.data() + 6900, 100));
    EXPECT_NE(0, memcmp(out.data(), out.data() + 4600, 100));
    EXPECT_NE(0, memcmp(out.data(), out.data() + 2760, 100));
}

TEST(Scrambler, SecondSetKeyIsRefusedAndChangesNothing)
{
    CScrambler scrambler(kFixedKey);
    unsigned char first[3] = {0, 0, 0};
    scrambler.Process(first, 3);
    EXPECT_EQ(scrambler.SetKey("another key"), 0);
    unsigned char rest[3] = {0, 0, 0};
    scrambler.Process(rest, 3);
    EXPECT_EQ(rest[0], StreamByte(3));
    EXPECT_EQ(rest[2], StreamByte(5));
}

TEST(Scrambler, UnkeyedConstructionThenSetKey)
{
    CScrambler scrambler;
    EXPECT_EQ(scrambler.SetKey(""), 0);
    EXPECT_EQ(scrambler.SetKey(kFixedKey), 1);
    std::vector<unsigned char> buffer(50, 0);
    scrambler.Process(buffer.data(), 50);
    EXPECT_EQ(buffer, Scrambled(std::vector<unsigned char>(50, 0)));
}

TEST(ScrambleToHex, KnownText)
{
    char szOut[16];
    uint32_t nLength = sizeof(szOut);
    EXPECT_EQ(ScrambleToHex(szOut, "abc", &nLength), kScrambleOk);
    EXPECT_STREQ(szOut, "9DCD5E");
    EXPECT_EQ(nLength, 7u);
}

TEST(ScrambleToHex, HexFollowsTheKeyStreamForHighBytes)
{
    std::string strInput;
    for (int i = 0x80; i <= 0xff; ++i)
    {
        strInput += (char)i;
    }
    std::vector<char> out(2 * strInput.size() + 1);
    uint32_t nLength = (uint32_t)out.size();
    ASSERT_EQ(ScrambleToHex(out.data(), strInput.c_str(), &nLength), kScrambleOk);
    EXPECT_EQ(nLength, 2 * strInput.size() + 1);
    ASSERT_EQ(strlen(out.data()), 2 * strInput.size());
    for (size_t k = 0; k < strInput.size(); ++k)
    {
        char szExpected[3];
        snprintf(szExpected, sizeof(szExpected), "%02X",
                 (unsigned char)strInput[k] ^ StreamByte(k));
        ASSERT_EQ(std::string(out.data() + 2 * k, 2), szExpected) << k;
    }
    for (size_t i = 0; i + 1 < out.size(); ++i)
    {
        char c = out[i];
        ASSERT_TRUE((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F')) << c;
    }
}

TEST(ScrambleToHex, EveryCallStartsTheStreamAfresh)
{
    char szFirst[16];
    char szSecond[16];
    uint32_t nFirst = 16;
    uint32_t nSecond = 16;
    ASSERT_EQ(ScrambleToHex(szFirst, "same", &nFirst), kScrambleOk);
    ASSERT_EQ(ScrambleToHex(szSecond, "same", &nSecond), kScrambleOk);
    EXPECT_STREQ(szFirst, szSecond);
}

TEST(ScrambleToHex, ExactCapacityFitsOneLessIsRefusedUntouched)
{
    const char* szInput = "0123456789";
    char szOut[32];
    memset(szOut, '#', sizeof(szOut));
    uint32_t nLength = 20;
    EXPECT_EQ(ScrambleToHex(szOut, szInput, &nLength), kScrambleBufferTooSmall);
    EXPECT_EQ(nLength, 20u);
    for (char c : szOut)
    {
        ASSERT_EQ(c, '#');
    }
    nLength = 21;
    EXPECT_EQ(ScrambleToHex(szOut, szInput, &nLength), kScrambleOk);
    EXPECT_EQ(nLength, 21u);
    EXPECT_EQ(strlen(szOut), 20u);
    EXPECT_EQ(szOut[21], '#');
}

TEST(ScrambleToHex, A1024ByteBufferTakes511BytesNot512)
{
    std::vector<char> out(1024, '#');
    std::string str511(511, 'q');
    uint32_t nLength = 1024;
    EXPECT_EQ(ScrambleToHex(out.data(), str511.c_str(), &nLength), kScrambleOk);
    EXPECT_EQ(nLength, 1023u);
    EXPECT_EQ(strlen(out.data()), 1022u);

    std::vector<char> untouched(1024, '#');
    std::string str512(512, 'q');
    nLength = 1024;
    EXPECT_EQ(ScrambleToHex(untouched.data(), str512.c_str(), &nLength), kScrambleBufferTooSmall);
    EXPECT_EQ(nLength, 1024u);
    EXPECT_EQ(untouched, std::vector<char>(1024, '#'));
}

TEST(ScrambleToHex, EmptyInput)
{
    char szOut[4] = {'#', '#', '#', '#'};
    uint32_t nLength = 1;
    EXPECT_EQ(ScrambleToHex(szOut, "", &nLength), kScrambleOk);
    EXPECT_EQ(nLength, 1u);
    EXPECT_EQ(szOut[0], '\0');
    EXPECT_EQ(szOut[1], '#');

    char szNone[2] = {'#', '#'};
    nLength = 0;
    EXPECT_EQ(ScrambleToHex(szNone, "", &nLength), kScrambleBufferTooSmall);
    EXPECT_EQ(nLength, 0u);
    EXPECT_EQ(szNone[0], '#');
}

TEST(ScrambleToHex, InputIsLeftUnchanged)
{
    char szInput[] = "keep me";
    char szOut[32];
    uint32_t nLength = sizeof(szOut);
    ASSERT_EQ(ScrambleToHex(szOut, szInput, &nLength), kScrambleOk);
    EXPECT_STREQ(szInput, "keep me");
}

TEST(ScrambleToHex, CapacityComparisonDoesNotWrap)
{
    // A capacity near the top of the unsigned range is plenty, never "negative".
    char szOut[8];
    uint32_t nLength = 0xffffffffu;
    EXPECT_EQ(ScrambleToHex(szOut, "ab", &nLength), kScrambleOk);
    EXPECT_EQ(nLength, 5u);
}
