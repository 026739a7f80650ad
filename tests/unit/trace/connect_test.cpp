// Connecting to the log pipe, and the pipe client's reports of its failures.
#include "capture_pipe_dir.h"
#include "pipe_faults.h"
#include "qv_journal.h"
#include "send_command.h"
#include "trace_capture.h"
#include "trace_setup.h"
#include "trace_test_env.h"

#include <thread>

class ConnectTest : public CTraceTest
{
protected:
    void SetUp() override
    {
        CTraceTest::SetUp();
        QvResetJournal();
        EnterPipeDirectory(&m_noServer);
    }
    void TearDown() override
    {
        LeavePipeDirectory(&m_noServer);
        CTraceTest::TearDown();
    }
    // The reports reach the trace library only; load the stand-in to see them.
    void LoadLibraryRoute()
    {
        ASSERT_TRUE(LoadTraceLibrary("dbg.ini", "qvdbg20.dll", "Vendrel", FALSE));
        QvResetJournal();
    }
    std::string ReportPrefix() { return "SD_TraceW|0|0|0|.\\logcl_Command|"; }
    std::string MessagePrefix() { return "[Vendrel][" + ExeBaseName() + "]"; }

    CPipeDirectoryScope m_noServer;
};

TEST_F(ConnectTest, MissingServerFailsAtOnceWithFileNotFound)
{
    CNamedPipeClient client;
    DWORD dwStart = GetTickCount();
    EXPECT_FALSE(client.Connect(LOG_SERVER_PIPE_NAME));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));
    EXPECT_LT(GetTickCount() - dwStart, 1000u);
}

TEST_F(ConnectTest, MissingServerClosesTheGateAndSetsTheHintFlagEvenWithoutLibrary)
{
    LogTrace(4, ".\\Vendrel", 1, "nobody listens");
    EXPECT_FALSE(g_bTraceEnabled);
    EXPECT_TRUE(g_bServerHintShown);
}

TEST_F(ConnectTest, ServerHintIsOfferedOncePerProcess)
{
    LoadLibraryRoute();
    EXPECT_FALSE(SendLogCommand(VTEXT("LOG_WRITE")));
    EXPECT_FALSE(SendLogCommand(VTEXT("LOG_WRITE")));
    g_bTraceEnabled = TRUE;
    LogTrace(4, ".\\Vendrel", 1, "again");
    std::vector<std::string> journal = QvJournal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0], ReportPrefix() + "93|5|" + MessagePrefix() +
                              "Need to Start LogServer for turn on debug log.");
    EXPECT_TRUE(g_bServerHintShown);
}

TEST_F(ConnectTest, FailedWriteIsReportedAndClosesTheGate)
{
    CTraceCapture capture;
    LoadLibraryRoute();
    g_writeScript.nFailuresLeft = 1;
    g_writeScript.dwFailError = ERROR_BROKEN_PIPE;
    g_dwFakeTick = 4242;
    LogTrace(4, ".\\Vendrel", 1, "lost in the write");
    EXPECT_FALSE(g_bTraceEnabled);
    EXPECT_EQ(g_dwLastFailTick, 4242u);
    std::vector<std::string> journal = QvJournal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0],
              ReportPrefix() + "105|5|" + MessagePrefix() + "pipe send failed!. err=109");
    EXPECT_TRUE(capture.Records().empty());
}

TEST_F(ConnectTest, OtherConnectFailureIsReportedWithItsError)
{
    CRefusingLogPipe refusing;
    ASSERT_TRUE(refusing.Start());
    LoadLibraryRoute();
    CNamedPipeClient probe;
    ASSERT_FALSE(probe.Connect(LOG_SERVER_PIPE_NAME));
    DWORD dwError = GetLastError();
    ASSERT_NE(dwError, DWORD(ERROR_FILE_NOT_FOUND));
    probe.Close();
    QvResetJournal();

    LogTrace(4, ".\\Vendrel", 1, "refused");
    EXPECT_FALSE(g_bTraceEnabled);
    EXPECT_FALSE(g_bServerHintShown);
    std::vector<std::string> journal = QvJournal();
    ASSERT_EQ(journal.size(), 1u);
    EXPECT_EQ(journal[0], ReportPrefix() + "98|5|" + MessagePrefix() +
                              "Initial pipe client failed! err=" + std::to_string(dwError));
}

TEST_F(ConnectTest, BusyPipeIsWaitedForAndTriedAgain)
{
    CBusyLogPipe busy;
    // Both builds can: natively a full listen queue, on Windows the pipe's one instance taken.
    ASSERT_TRUE(busy.Occupy()) << "every instance of the log pipe could not be made busy";
    std::string strReceived;
    std::thread server(
        [&]()
        {
            Sleep(300);
            strReceived = busy.ReleaseAndReceive();
        });
    DWORD dwStart = GetTickCount();
    LogTrace(4, ".\\Vendrel", 77, "waited");
    DWORD dwElapsed = GetTickCount() - dwStart;
    server.join();
    EXPECT_TRUE(g_bTraceEnabled);
    EXPECT_GE(dwElapsed, 250u);
    EXPECT_LT(dwElapsed, 20000u);
    // The record as UTF-16LE: "LOG_WRITE" leads, and the NUL unit ends it.
    ASSERT_GE(strReceived.size(), 20u);
    std::string strCommand;
    for (size_t i = 0; i < 18; i += 2)
    {
        strCommand.push_back(strReceived[i]);
    }
    EXPECT_EQ(strCommand, "LOG_WRITE");
    EXPECT_EQ(strReceived.substr(strReceived.size() - 2), std::string(2, '\0'));
}
