#include "kelsio.h"
#include "kelsio_test_support.h"

#include <gtest/gtest.h>

#include <climits>
#include <filesystem>
#include <string>

namespace
{

class Settings : public ::testing::Test
{
protected:
    void Write(const std::string& strContent) { m_home.WriteFile("custom.ini", strContent); }
    std::string File() const
    {
        return (std::filesystem::path(m_home.Path()) / "custom.ini").string();
    }
    int Int(const char* szKey, int nDefault = -7)
    {
        return getINIint("INI_SERVER_SECTION", szKey, nDefault, File().c_str());
    }
    std::string String(const char* szKey, const char* szDefault = "dflt", unsigned long nSize = 260)
    {
        char szOut[300];
        memset(szOut, 'X', sizeof(szOut));
        unsigned long nCopied =
            getINIString(szOut, "INI_SERVER_SECTION", szKey, szDefault, nSize, File().c_str());
        EXPECT_EQ(nCopied, strlen(szOut)) << "the result is the copied length";
        return szOut;
    }

    CTempHome m_home;
};

} // namespace

TEST_F(Settings, AbsentKeySectionOrFileGiveTheDefault)
{
    Write("[INI_SERVER_SECTION]\r\nPresent=5\r\n[Other]\r\nElsewhere=9\r\n");
    EXPECT_EQ(Int("Present"), 5);
    EXPECT_EQ(Int("Missing", 10240), 10240);
    EXPECT_EQ(Int("Elsewhere", 20), 20) << "a key of another section";
    EXPECT_EQ(String("Missing"), "dflt");
    EXPECT_EQ(String("Missing", nullptr), "");
    EXPECT_EQ(getINIint("INI_SERVER_SECTION", "Present", 3, "/no/such/dir/x.ini"), 3);
    EXPECT_EQ(getINIint("Nowhere", "Present", 4, File().c_str()), 4);
}

TEST_F(Settings, NamesIgnoreCaseAndBlanksAreTrimmed)
{
    Write("  [ ini_server_SECTION ]  \nquarantine_folder   =   /srv/q dir   \n"
          "\tCapacity\t=\t77\t\n");
    EXPECT_EQ(String("Quarantine_Folder"), "/srv/q dir") << "inner blanks stay";
    EXPECT_EQ(Int("CAPACITY"), 77);
}

TEST_F(Settings, FirstOccurrenceWins)
{
    Write("[INI_SERVER_SECTION]\nA=1\nA=2\n[Other]\nB=0\n[ini_server_section]\nA=3\nB=4\n");
    EXPECT_EQ(Int("A"), 1);
    EXPECT_EQ(Int("B"), 4) << "a repeated section still belongs to it";
}

TEST_F(Settings, CommentsAndJunkLinesAreIgnored)
{
    Write("; A=1\n[INI_SERVER_SECTION]\n;A=2\n  # A=3\nno equals sign here\n=9\nA=4\n");
    EXPECT_EQ(Int("A"), 4);
    EXPECT_EQ(Int(""), -7) << "an empty key name is never set";
}

TEST_F(Settings, EmptyValueIsEmptyNotTheDefault)
{
    Write("[INI_SERVER_SECTION]\nQuarantine_Folder=\nN=\n");
    EXPECT_EQ(String("Quarantine_Folder", "dflt"), "");
    EXPECT_EQ(Int("N", 20), 20) << "no digits give the default";
}

TEST_F(Settings, IntegerRule)
{
    Write("[INI_SERVER_SECTION]\nPlain=42\nNeg=-15\nPlus=+8\nTrail=12abc\nWord=abc\n"
          "Sign=-\nBig=99999999999\nSmall=-99999999999\nMax=2147483647\nMin=-2147483648\n"
          "Inline=30 ; minutes\nHex=0x10\n");
    EXPECT_EQ(Int("Plain"), 42);
    EXPECT_EQ(Int("Neg"), -15);
    EXPECT_EQ(Int("Plus"), 8);
    EXPECT_EQ(Int("Trail"), 12) << "digits up to the first other character";
    EXPECT_EQ(Int("Word"), -7);
    EXPECT_EQ(Int("Sign"), -7);
    EXPECT_EQ(Int("Big"), INT_MAX) << "clamped";
    EXPECT_EQ(Int("Small"), INT_MIN) << "clamped";
    EXPECT_EQ(Int("Max"), INT_MAX);
    EXPECT_EQ(Int("Min"), INT_MIN);
    EXPECT_EQ(Int("Inline"), 30);
    EXPECT_EQ(Int("Hex"), 0) << "decimal only";
}

TEST_F(Settings, StringIsCutToTheBufferAndTerminated)
{
    Write("[INI_SERVER_SECTION]\nPath=abcdefghij\n");
    EXPECT_EQ(String("Path", "", 5), "abcd");
    EXPECT_EQ(String("Path", "", 11), "abcdefghij");
    EXPECT_EQ(String("Path", "", 1), "");
    EXPECT_EQ(String("Missing", "0123456789", 4), "012") << "the default is cut the same way";
    char szUntouched[4] = {'Q', 'Q', 'Q', 'Q'};
    EXPECT_EQ(getINIString(szUntouched, "INI_SERVER_SECTION", "Path", "", 0, File().c_str()), 0ul);
    EXPECT_EQ(szUntouched[0], 'Q') << "a zero-sized buffer is not written";
}

TEST_F(Settings, QuotesAroundAValueAreDropped)
{
    Write("[INI_SERVER_SECTION]\nA=\"C:\\Program Files\\q\"\nB='x'\nC=\"half\nD=\"\n");
    EXPECT_EQ(String("A"), "C:\\Program Files\\q");
    EXPECT_EQ(String("B"), "x");
    EXPECT_EQ(String("C"), "\"half");
    EXPECT_EQ(String("D"), "\"");
}

TEST_F(Settings, ByteOrderMarkAndCarriageReturns)
{
    Write("\xEF\xBB\xBF[INI_SERVER_SECTION]\r\nA=1\r\n");
    EXPECT_EQ(Int("A"), 1);
}

TEST_F(Settings, NullFileReadsServerIniOfTheHomeAfreshEachCall)
{
    SetEnvVar("KELSIO_HOME", m_home.Path().c_str());
    m_home.WriteFile("server.ini", "[INI_SERVER_SECTION]\nUpload_Max_Size=3\nName=first\n");
    EXPECT_EQ(getINIint("INI_SERVER_SECTION", "Upload_Max_Size", 100, nullptr), 3);
    m_home.WriteFile("server.ini", "[INI_SERVER_SECTION]\nUpload_Max_Size=4\nName=second\n");
    EXPECT_EQ(getINIint("INI_SERVER_SECTION", "Upload_Max_Size", 100, nullptr), 4);
    char szOut[260];
    getINIString(szOut, "INI_SERVER_SECTION", "Name", "", 260, nullptr);
    EXPECT_STREQ(szOut, "second");
    UnsetEnvVar("KELSIO_HOME");
}
