// The trace gate: drops after a failure, looks at the clock on every eleventh call, re-opens
// only after more than 5000 ms.
#include "capture_pipe_dir.h"
#include "trace_capture.h"
#include "trace_test_env.h"

class GateTest : public CTraceTest
{
protected:
    // As a failed send leaves it.
    void CloseGateAt(DWORD dwTick)
    {
        g_bTraceEnabled = FALSE;
        g_nDropCount = 0;
        g_dwLastFailTick = dwTick;
    }
    // The next nCalls calls are refused.
    static void ExpectRefusals(int nCalls)
    {
        for (int i = 0; i < nCalls; i++)
        {
            EXPECT_FALSE(IsTraceEnabled()) << "call " << i + 1;
        }
    }
};

TEST_F(GateTest, OpenGateAnswersTrueAndCountsNothing)
{
    for (int i = 0; i < 25; i++)
    {
        EXPECT_TRUE(IsTraceEnabled());
    }
    EXPECT_EQ(g_nDropCount, 0);
    EXPECT_TRUE(g_bTraceEnabled);
}

TEST_F(GateTest, ClosedGateRefusesTenCallsWithoutReadingTheClock)
{
    CloseGateAt(1000);
    // Any read of this clock would find the gate ready to re-open.
    g_dwFakeTick = 1000 + 60000;
    for (int i = 0; i < 10; i++)
    {
        EXPECT_FALSE(IsTraceEnabled()) << "call " << i + 1;
        EXPECT_EQ(g_nDropCount, i + 1);
    }
    EXPECT_TRUE(IsTraceEnabled());
    EXPECT_EQ(g_nDropCount, 0);
    EXPECT_TRUE(g_bTraceEnabled);
}

TEST_F(GateTest, EleventhCallWithinTheIntervalIsDroppedAndStartsANewCycle)
{
    CloseGateAt(1000);
    g_dwFakeTick = 1000 + 4999;
    ExpectRefusals(10);
    EXPECT_FALSE(IsTraceEnabled());
    EXPECT_EQ(g_nDropCount, 0);
    EXPECT_FALSE(g_bTraceEnabled);
    // The next cycle: ten more refused outright, then the clock again.
    g_dwFakeTick = 1000 + 5001;
    ExpectRefusals(10);
    EXPECT_TRUE(IsTraceEnabled());
}

TEST_F(GateTest, ExactlyFiveThousandMillisecondsKeepsTheGateClosed)
{
    CloseGateAt(20000);
    g_dwFakeTick = 25000;
    ExpectRefusals(11);
    g_dwFakeTick = 25001;
    ExpectRefusals(10);
    EXPECT_TRUE(IsTraceEnabled());
}

TEST_F(GateTest, WrappedTickCounterGivesTheTrueDifference)
{
    // 0x1500 ms after a failure just before the wrap: long enough.
    CloseGateAt(0xFFFFF000u);
    g_dwFakeTick = 0x00000500u;
    ExpectRefusals(10);
    EXPECT_TRUE(IsTraceEnabled());

    // 0x200 ms across the wrap: not long enough, although the raw values are far apart.
    CloseGateAt(0xFFFFFF00u);
    g_dwFakeTick = 0x00000100u;
    ExpectRefusals(11);
    EXPECT_FALSE(g_bTraceEnabled);
}

// With no log server, one failed attempt per gate cycle and nothing between.
TEST_F(GateTest, MissingServerCostsOneAttemptPerCycle)
{
    CPipeDirectoryScope noServer;
    EnterPipeDirectory(&noServer);
    SetSystemCall("CreateFileW", (SYSTEM_CALL_PTR)CountingCreateFileW);
    long nBefore = g_nPipeOpenAttempts;
    g_dwFakeTick = 50000;
    LogTrace(4, ".\\Vendrel", 1, "lost");
    EXPECT_EQ(g_nPipeOpenAttempts - nBefore, 1);
    EXPECT_FALSE(g_bTraceEnabled);
    EXPECT_EQ(g_dwLastFailTick, 50000u);
    for (int i = 0; i < 11; i++)
    {
        LogTrace(4, ".\\Vendrel", 2, "dropped");
    }
    EXPECT_EQ(g_nPipeOpenAttempts - nBefore, 1);
    g_dwFakeTick = 50000 + 5001;
    for (int i = 0; i < 11; i++)
    {
        LogTrace(4, ".\\Vendrel", 3, "tried once more");
    }
    EXPECT_EQ(g_nPipeOpenAttempts - nBefore, 2);
    EXPECT_FALSE(g_bTraceEnabled);
    EXPECT_EQ(g_dwLastFailTick, 55001u);
    LeavePipeDirectory(&noServer);
}

TEST_F(GateTest, ReopenedGateDeliversAndSuccessfulSendsLeaveTheCountAtZero)
{
    CloseGateAt(1000);
    CTraceCapture capture;
    g_dwFakeTick = 7000;
    for (int i = 0; i < 10; i++)
    {
        LogTrace(4, ".\\Vendrel", 10 + i, "dropped %d", i);
    }
    LogTrace(4, ".\\Vendrel", 99, "reopened");
    EXPECT_TRUE(g_bTraceEnabled);
    for (int i = 0; i < 5; i++)
    {
        LogTrace(4, ".\\Vendrel", 100 + i, "sent %d", i);
        EXPECT_EQ(g_nDropCount, 0);
    }
    std::vector<TraceRecord> records = capture.Records();
    ASSERT_EQ(records.size(), 6u);
    EXPECT_EQ(records[0].nLine, 99);
    EXPECT_EQ(records[5].nLine, 104);
}
