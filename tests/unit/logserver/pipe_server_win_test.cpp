// The Windows pipe server that serves every client of the log pipe from one thread: no client
// waits for another, one process's records keep their order, silent connections are closed,
// at most so many are served at once, and a connection that cannot be served is closed alone
// while serving goes on.
#include "pipe_instance_win.h"
#include "pipe_server_win.h"
#include "temp_home.h"
#include "wire_bytes.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

namespace
{
using Clock = std::chrono::steady_clock;

// The trace client writes at most this many bytes at a time.
const size_t kClientChunkBytes = 1024;

std::string Record(const std::string& strMessage, bool bNul = true)
{
    return WireBytes("LOG_WRITE\t1\t2\t3\t4\ts\t5\t" + strMessage, bNul);
}

std::string ErrorLine(const std::string& strUnfinished)
{
    return "!LOG_WRITE\\t1\\t2\\t3\\t4\\ts\\t5\\t" + strUnfinished;
}

class PipeServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        static std::atomic<int> s_nPipes{0};
        m_pDir = std::make_unique<CTempHome>(CTempHome::kPlainDirectory);
        m_strOutput = m_pDir->Join("out.jsonl");
        m_pOut = fopen(m_strOutput.c_str(), "ab");
        ASSERT_NE(m_pOut, nullptr);
        m_pWriter.reset(new CRecordWriter(m_pOut, ELogFormat::Jsonl));
        // A pipe of its own for every test, beside any log server that may be running.
        std::string strName = "VendrelPipeServerTest_" + std::to_string(GetCurrentProcessId()) +
                              "_" + std::to_string(++s_nPipes);
        std::string strError;
        ASSERT_TRUE(m_listener.Open(strName, &strError)) << strError;
        ASSERT_TRUE(WidenPipePath(m_listener.Path(), &m_wstrPath));
    }

    void TearDown() override
    {
        if (m_pServer)
        {
            m_pServer->Stop();
            m_thread.join();
            m_pServer.reset();
        }
        for (HANDLE h : m_clients)
        {
            CloseHandle(h);
        }
        m_pWriter.reset();
        fclose(m_pOut);
        m_pDir.reset();
    }

    void Start()
    {
        m_pServer.reset(new CPipeServer(&m_listener, m_pWriter.get(), m_settings));
        std::string strError;
        ASSERT_TRUE(m_pServer->Init(&strError)) << strError;
        CPipeServer* pServer = m_pServer.get();
        m_thread = std::thread([pServer]() { pServer->Run(); });
    }

    // Opens the pipe as the trace client does, waiting for a free instance up to nWaitMs;
    // INVALID_HANDLE_VALUE with GetLastError when none came.
    HANDLE TryConnect(DWORD dwWaitMs = 5000)
    {
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(dwWaitMs);
        for (;;)
        {
            HANDLE h =
                CreateFileW(m_wstrPath.c_str(), GENERIC_WRITE, 0, NULL, OPEN_EXISTING, 0, NULL);
            if (h != INVALID_HANDLE_VALUE)
            {
                DWORD dwMode = PIPE_READMODE_MESSAGE;
                SetNamedPipeHandleState(h, &dwMode, NULL, NULL);
                m_clients.push_back(h);
                return h;
            }
            DWORD dwError = GetLastError();
            auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (dwError != ERROR_PIPE_BUSY || left.count() <= 0)
            {
                SetLastError(dwError);
                return INVALID_HANDLE_VALUE;
            }
            WaitNamedPipeW(m_wstrPath.c_str(), DWORD(left.count()));
        }
    }

    HANDLE Connect()
    {
        HANDLE h = TryConnect();
        EXPECT_NE(h, INVALID_HANDLE_VALUE) << "err=" << GetLastError();
        return h;
    }

    // Writes strBytes in the trace client's chunks.
    bool Send(HANDLE h, const std::string& strBytes)
    {
        for (size_t nDone = 0; nDone < strBytes.size();)
        {
            DWORD dwChunk = DWORD(std::min(kClientChunkBytes, strBytes.size() - nDone));
            DWORD dwWritten = 0;
            if (!WriteFile(h, strBytes.data() + nDone, dwChunk, &dwWritten, NULL) ||
                dwWritten != dwChunk)
            {
                return false;
            }
            nDone += dwWritten;
        }
        return true;
    }

    void Close(HANDLE h)
    {
        CloseHandle(h);
        m_clients.erase(std::find(m_clients.begin(), m_clients.end(), h));
    }

    // One client as a request sends it: connect, one record, close.
    void SendOne(const std::string& strMessage)
    {
        HANDLE h = Connect();
        EXPECT_TRUE(Send(h, Record(strMessage)));
        Close(h);
    }

    // True when the server has closed h within nWaitMs: a write of nothing fails once the
    // server's end is gone, and adds nothing to a record while it is there.
    bool ClosedByServer(HANDLE h, int nWaitMs = 5000)
    {
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nWaitMs);
        for (;;)
        {
            DWORD dwWritten = 0;
            if (!WriteFile(h, "", 0, &dwWritten, NULL))
            {
                return true;
            }
            if (Clock::now() >= deadline)
            {
                return false;
            }
            Sleep(10);
        }
    }

    // The messages of the lines written ("!" + the raw text for an error line), once there
    // are nCount of them or nWaitMs have passed.
    std::vector<std::string> Lines(size_t nCount, int nWaitMs = 5000)
    {
        Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(nWaitMs);
        for (;;)
        {
            std::vector<std::string> lines;
            std::ifstream in(m_strOutput);
            std::string strLine;
            while (std::getline(in, strLine))
            {
                size_t nPos = strLine.find("\"message\": \"");
                size_t nRaw = strLine.find("\"raw\": \"");
                lines.push_back(nPos != std::string::npos
                                    ? strLine.substr(nPos + 12, strLine.rfind('"') - nPos - 12)
                                    : "!" +
                                          strLine.substr(nRaw + 8, strLine.rfind('"') - nRaw - 8));
            }
            if (lines.size() >= nCount || Clock::now() > deadline)
            {
                return lines;
            }
            Sleep(5);
        }
    }

    bool WaitForConnections(size_t nCount)
    {
        Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
        while (m_pServer->ConnectionCount() != nCount && Clock::now() < deadline)
        {
            Sleep(2);
        }
        return m_pServer->ConnectionCount() == nCount;
    }

    std::unique_ptr<CTempHome> m_pDir;
    std::string m_strOutput;
    FILE* m_pOut = nullptr;
    std::unique_ptr<CRecordWriter> m_pWriter;
    CPipeListener m_listener;
    std::wstring m_wstrPath;
    CPipeServerSettings m_settings;
    std::unique_ptr<CPipeServer> m_pServer;
    std::thread m_thread;
    std::vector<HANDLE> m_clients;
};
} // namespace

TEST_F(PipeServerTest, SilentClientsHoldNoRecordBackAndOneProcessKeepsItsOrder)
{
    Start();
    for (int i = 0; i < 30; i++)
    {
        Connect();
    }
    ASSERT_TRUE(Send(Connect(), Record("half of it", false)));
    ASSERT_TRUE(WaitForConnections(31));
    Clock::time_point start = Clock::now();
    std::vector<std::string> want;
    for (int i = 0; i < 20; i++)
    {
        SendOne("record " + std::to_string(i));
        want.push_back("record " + std::to_string(i));
    }
    EXPECT_EQ(Lines(20), want);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(WaitForConnections(31));
}

// One process's connections follow one another: each record, however many writes carry it
// and however long its sender pauses within it, is written before the next connection's.
TEST_F(PipeServerTest, OneProcessKeepsItsOrderWithLongAndPausedRecords)
{
    Start();
    std::vector<std::string> want;
    for (int i = 0; i < 120; i++)
    {
        std::string strMessage = "record " + std::to_string(i);
        if (i % 3 == 1)
        {
            // 8,000 units: the largest message a trace call makes, in eight writes and more.
            strMessage += std::string(8000, char('a' + i % 26));
        }
        if (i % 40 == 7)
        {
            std::string strBytes = Record(strMessage);
            HANDLE h = Connect();
            ASSERT_TRUE(Send(h, strBytes.substr(0, 9)));
            Sleep(20);
            ASSERT_TRUE(Send(h, strBytes.substr(9)));
            Close(h);
        }
        else
        {
            SendOne(strMessage);
        }
        want.push_back(strMessage);
    }
    EXPECT_EQ(Lines(120), want);
    EXPECT_TRUE(WaitForConnections(0));
}

TEST_F(PipeServerTest, RecordsCutAcrossWritesOfInterleavedClientsArePutTogetherApart)
{
    Start();
    HANDLE hA = Connect();
    HANDLE hB = Connect();
    std::string strA = Record("from A") + Record("A again");
    std::string strB = Record("from B");
    ASSERT_TRUE(Send(hA, strA.substr(0, 7))); // an odd cut: inside a unit
    ASSERT_TRUE(Send(hB, strB.substr(0, 10)));
    ASSERT_TRUE(WaitForConnections(2));
    EXPECT_TRUE(Lines(1, 100).empty());
    ASSERT_TRUE(Send(hB, strB.substr(10)));
    EXPECT_EQ(Lines(1), (std::vector<std::string>{"from B"}));
    ASSERT_TRUE(Send(hA, strA.substr(7)));
    Close(hA);
    Close(hB);
    EXPECT_EQ(Lines(3), (std::vector<std::string>{"from B", "from A", "A again"}));
    EXPECT_TRUE(WaitForConnections(0));
}

TEST_F(PipeServerTest, SilentConnectionIsClosedWithItsUnfinishedRecordAsAnError)
{
    m_settings.nIdleMs = 300;
    Start();
    HANDLE hNothing = Connect();
    HANDLE hHalf = Connect();
    ASSERT_TRUE(Send(hHalf, Record("cut", false)));
    HANDLE hTalking = Connect();
    Clock::time_point start = Clock::now();
    // A connection that keeps sending is not silent, however long it stays.
    for (int i = 0; i < 6; i++)
    {
        Sleep(100);
        ASSERT_TRUE(Send(hTalking, Record("alive " + std::to_string(i))));
    }
    EXPECT_TRUE(ClosedByServer(hNothing));
    EXPECT_TRUE(ClosedByServer(hHalf));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(300));
    EXPECT_FALSE(ClosedByServer(hTalking, 0));
    std::vector<std::string> lines = Lines(7);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), ErrorLine("cut")), 1);
    EXPECT_EQ(Lines(8, 300).size(), 7u); // the silent empty connection writes nothing
}

TEST_F(PipeServerTest, ConnectionsBeyondTheLimitWaitForAnInstance)
{
    m_settings.nMaxConnections = 2;
    Start();
    HANDLE hFirst = Connect();
    Connect();
    ASSERT_TRUE(WaitForConnections(2));
    EXPECT_EQ(TryConnect(300), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_PIPE_BUSY));
    EXPECT_EQ(m_pServer->ConnectionCount(), 2u);
    // A waiting client gets the instance that a closed connection gives back.
    std::thread waiting([this]() { SendOne("waited"); });
    Sleep(200);
    EXPECT_TRUE(Lines(1, 100).empty());
    Close(hFirst);
    waiting.join();
    EXPECT_EQ(Lines(1), (std::vector<std::string>{"waited"}));
}

TEST_F(PipeServerTest, FailedAllocationClosesThatConnectionAloneAndServingGoesOn)
{
    int nFeeds = 0;
    m_settings.beforeFeed = [&nFeeds]()
    {
        if (++nFeeds == 1)
        {
            throw std::bad_alloc();
        }
    };
    testing::internal::CaptureStderr();
    Start();
    HANDLE hBystander = Connect();
    EXPECT_TRUE(WaitForConnections(1));
    HANDLE hFailing = Connect();
    ASSERT_TRUE(Send(hFailing, Record("lost")));
    EXPECT_TRUE(ClosedByServer(hFailing));
    ASSERT_TRUE(Send(hBystander, Record("bystander")));
    SendOne("after");
    std::vector<std::string> lines = Lines(2);
    std::string strErr = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines, (std::vector<std::string>{"bystander", "after"}));
    EXPECT_NE(strErr.find("the connection is closed"), std::string::npos) << strErr;
    EXPECT_FALSE(ClosedByServer(hBystander, 0));
}

TEST_F(PipeServerTest, NoInstanceForAMomentIsReportedOnceAndServingGoesOn)
{
    std::atomic<int> nMade{0};
    m_settings.createInstance = [&nMade](const std::wstring& wstrPath)
    {
        // The second and third instances cannot be made, as when the system is out of them.
        int n = ++nMade;
        if (n == 1 || n == 2)
        {
            SetLastError(ERROR_NO_SYSTEM_RESOURCES);
            return INVALID_HANDLE_VALUE;
        }
        return CreateLogPipeInstance(wstrPath, false);
    };
    testing::internal::CaptureStderr();
    Start();
    HANDLE hFirst = Connect(); // the listener's instance
    ASSERT_TRUE(Send(hFirst, Record("first")));
    Close(hFirst);
    // Meanwhile the pipe has no instance at all, and a client would find it missing: the
    // server tries again a moment later.
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
    while (nMade < 3 && Clock::now() < deadline)
    {
        Sleep(10);
    }
    ASSERT_EQ(nMade, 3);
    for (int i = 0; i < 3; i++)
    {
        SendOne("later " + std::to_string(i));
    }
    std::vector<std::string> lines = Lines(4);
    std::string strErr = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines, (std::vector<std::string>{"first", "later 0", "later 1", "later 2"}));
    EXPECT_NE(strErr.find("cannot make a pipe instance: err=1450"), std::string::npos) << strErr;
    EXPECT_EQ(strErr.find("cannot make a pipe instance", strErr.find("err=1450") + 1),
              std::string::npos)
        << "said once: " << strErr;
}

TEST_F(PipeServerTest, StopWritesWhatOpenConnectionsLeftUnfinished)
{
    Start();
    HANDLE h = Connect();
    ASSERT_TRUE(Send(h, Record("whole") + Record("unfinished", false)));
    EXPECT_EQ(Lines(1), (std::vector<std::string>{"whole"}));
    m_pServer->Stop();
    m_thread.join();
    m_pServer.reset();
    EXPECT_EQ(Lines(2), (std::vector<std::string>{"whole", ErrorLine("unfinished")}));
    EXPECT_TRUE(ClosedByServer(h));
}
