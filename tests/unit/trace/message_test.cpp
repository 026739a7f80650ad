// The composed message: "[tag][exe]" and the formatted text, cut to fit 4096 characters.
#include "trace_capture.h"
#include "trace_setup.h"
#include "trace_test_env.h"

#include <string.h>

class MessageTest : public CTraceTest
{
};

TEST_F(MessageTest, BeforeSetUpTheTagBracketIsEmpty)
{
    CTraceCapture capture;
    LogTrace(4, ".\\Vendrel", 5, "[Vendrel] start");
    EXPECT_EQ(capture.OnlyMessage(), "[][" + ExeBaseName() + "][Vendrel] start");
}

TEST_F(MessageTest, AfterSetUpTheMessageCarriesTagAndFileName)
{
    LoadTraceLibrary("unused.ini", "unused.dll", "Vendrel", TRUE);
    CTraceCapture capture;
    LogTrace(4, ".\\Vendrel", 58, "[Vendrel] cgiGetVars success");
    EXPECT_EQ(capture.OnlyMessage(),
              "[Vendrel][" + ExeBaseName() + "][Vendrel] cgiGetVars success");
}

TEST_F(MessageTest, FileNameIsFilledOnFirstUseEvenWhenSetAlready)
{
    strcpy(g_szExeName, "stale.exe");
    g_bExeNameReady = FALSE;
    CTraceCapture capture;
    LogTrace(4, ".\\Vendrel", 1, "x");
    EXPECT_EQ(capture.OnlyMessage(), "[][" + ExeBaseName() + "]x");
    EXPECT_TRUE(g_bExeNameReady);
}

// Room for the formatted text: 4091 - t - n characters.
static size_t TextRoom(size_t nTag)
{
    return 4091 - nTag - ExeBaseName().size();
}

TEST_F(MessageTest, LongTextIsCutToTheRoomLeft)
{
    LoadTraceLibrary("unused.ini", "unused.dll", "Vendrel", TRUE);
    CTraceCapture capture;
    std::string strLong(6000, 'x');
    LogTrace(4, ".\\Vendrel", 1, "%s", strLong.c_str());
    std::string strExact(TextRoom(7), 'y');
    LogTrace(4, ".\\Vendrel", 2, "%s", strExact.c_str());
    std::string strShort(TextRoom(7) - 1, 'z');
    LogTrace(4, ".\\Vendrel", 3, "%s", strShort.c_str());
    std::vector<TraceRecord> records = capture.Records();
    ASSERT_EQ(records.size(), 3u);
    std::string strPrefix = "[Vendrel][" + ExeBaseName() + "]";
    // The prefix and the text fill 4095 characters; the 4096th is the terminator.
    EXPECT_EQ(records[0].strMessage.size(), 4095u);
    EXPECT_EQ(records[0].strMessage, strPrefix + std::string(TextRoom(7), 'x'));
    EXPECT_EQ(records[1].strMessage, strPrefix + strExact);
    EXPECT_EQ(records[2].strMessage, strPrefix + strShort);
}

TEST_F(MessageTest, LongestTagStillLeavesTheTerminatorInPlace)
{
    std::string strTag(1023, 't');
    LoadTraceLibrary("unused.ini", "unused.dll", strTag.c_str(), TRUE);
    CTraceCapture capture;
    std::string strLong(5000, 'x');
    LogTrace(4, ".\\Vendrel", 1, "%s", strLong.c_str());
    EXPECT_EQ(capture.OnlyMessage(),
              "[" + strTag + "][" + ExeBaseName() + "]" + std::string(TextRoom(1023), 'x'));
}

TEST_F(MessageTest, FormatArgumentsAreFormatted)
{
    CTraceCapture capture;
    LogTrace(4, ".\\Vendrel", 1, "n=%d s=%s u=%u x=%x", -12, "abc", 4000000000u, 255u);
    EXPECT_EQ(capture.OnlyMessage(), "[][" + ExeBaseName() + "]n=-12 s=abc u=4000000000 x=ff");
}

TEST_F(MessageTest, WideMessageOnThePipeHasTheSameForm)
{
    LoadTraceLibrary("unused.ini", "unused.dll", "Vendrel", TRUE);
    CTraceCapture capture;
    std::basic_string<WCHAR> strSource = Wide(".\\logcl_Command");
    std::basic_string<WCHAR> strFormat = Wide("err=%d");
    CallDispatchTraceW(5, strSource.c_str(), 98, TRUE, strFormat.c_str(), 231);
    std::basic_string<WCHAR> strLongFormat = Wide("%s");
    std::basic_string<WCHAR> strLong(6000, WCHAR('w'));
    CallDispatchTraceW(5, strSource.c_str(), 99, TRUE, strLongFormat.c_str(), strLong.c_str());
    std::vector<TraceRecord> records = capture.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].strSource, ".\\logcl_Command");
    EXPECT_EQ(records[0].nLevel, 5);
    EXPECT_EQ(records[0].nLine, 98);
    EXPECT_EQ(records[0].strMessage, "[Vendrel][" + ExeBaseName() + "]err=231");
    EXPECT_EQ(records[1].strMessage,
              "[Vendrel][" + ExeBaseName() + "]" + std::string(TextRoom(7), 'w'));
}
