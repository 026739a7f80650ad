// The trace call end to end into the in-process log server.
#include "trace_capture.h"
#include "trace_test_env.h"

#include <string>

class CaptureTest : public CTraceTest
{
};

TEST_F(CaptureTest, DeliversEachTraceCallAsOneRecordInOrder)
{
    CTraceCapture capture;
    ASSERT_TRUE(capture.IsListening());
    LogTrace(4, ".\\Vendrel", 58, "[Vendrel] cgiGetVars success");
    LogTrace(8, ".\\Vendrel", 77, "[Vendrel] second %d", 2);
    std::vector<TraceRecord> records = capture.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].strCommand, "LOG_WRITE");
    EXPECT_EQ(records[0].nLevel, 4);
    EXPECT_EQ(records[0].strSource, ".\\Vendrel");
    EXPECT_EQ(records[0].nLine, 58);
    EXPECT_EQ(records[0].strMessage, "[][" + ExeBaseName() + "][Vendrel] cgiGetVars success");
    EXPECT_EQ(records[0].dwProcessId, GetCurrentProcessId());
    EXPECT_EQ(records[0].dwThreadId, GetCurrentThreadId());
    EXPECT_EQ(records[1].strMessage, "[][" + ExeBaseName() + "][Vendrel] second 2");
    EXPECT_TRUE(g_bTraceEnabled);
    EXPECT_EQ(g_nDropCount, 0);
}

TEST_F(CaptureTest, ClearForgetsWhatCameBefore)
{
    CTraceCapture capture;
    LogTrace(4, ".\\Vendrel", 1, "before");
    capture.Clear();
    LogTrace(4, ".\\Vendrel", 2, "after");
    std::vector<TraceRecord> records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].nLine, 2);
}

// The system time in whole seconds since 1970, from the clock the record's time is taken from:
// the C runtime's time() may read a coarser clock that is still in the second before.
static long long SystemSecondsNow()
{
    const unsigned long long kUnixEpochIn100ns = 116444736000000000ULL;
    FILETIME ft;
    GetSystemTimeAsFileTime(&ft);
    unsigned long long ullTicks =
        (static_cast<unsigned long long>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    return static_cast<long long>((ullTicks - kUnixEpochIn100ns) / 10000000ULL);
}

TEST_F(CaptureTest, RecordTimeIsNow)
{
    CTraceCapture capture;
    long long llBefore = SystemSecondsNow();
    LogTrace(4, ".\\Vendrel", 1, "when");
    long long llAfter = SystemSecondsNow();
    std::vector<TraceRecord> records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_GE(records[0].nTime, int32_t(llBefore));
    EXPECT_LE(records[0].nTime, int32_t(llAfter));
}
