// The poll loop that serves every client of the log socket: no client waits for another, each
// connection's records are put together on their own, silent connections are closed, and a
// connection that cannot be served is closed alone while serving goes on.
#include "poll_server_posix.h"
#include "temp_home.h"
#include "wire_bytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <new>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace
{
using Clock = std::chrono::steady_clock;

std::string Record(const std::string& strMessage, bool bNul = true)
{
    return WireBytes("LOG_WRITE\t1\t2\t3\t4\ts\t5\t" + strMessage, bNul);
}

class PollServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_pDir = std::make_unique<CTempHome>(CTempHome::kPlainDirectory);
        m_strDir = m_pDir->Path();
        m_strOutput = m_strDir + "/out.jsonl";
        m_pOut = fopen(m_strOutput.c_str(), "ab");
        ASSERT_NE(m_pOut, nullptr);
        m_pWriter.reset(new CRecordWriter(m_pOut, ELogFormat::Jsonl));
        memset(&m_addr, 0, sizeof(m_addr));
        m_addr.sun_family = AF_UNIX;
        std::string strPath = m_strDir + "/pipe";
        memcpy(m_addr.sun_path, strPath.c_str(), strPath.size() + 1);
        m_fdListen = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        ASSERT_GE(m_fdListen, 0);
        ASSERT_EQ(bind(m_fdListen, reinterpret_cast<sockaddr*>(&m_addr), sizeof(m_addr)), 0);
        ASSERT_EQ(listen(m_fdListen, SOMAXCONN), 0);
    }

    void TearDown() override
    {
        if (m_pServer)
        {
            m_pServer->Stop();
            m_thread.join();
            m_pServer.reset();
        }
        for (int fd : m_clients)
        {
            close(fd);
        }
        close(m_fdListen);
        m_pWriter.reset();
        fclose(m_pOut);
        m_pDir.reset();
    }

    void Start()
    {
        m_pServer.reset(new CPollServer(m_fdListen, m_pWriter.get(), m_settings));
        std::string strError;
        ASSERT_TRUE(m_pServer->Init(&strError)) << strError;
        CPollServer* pServer = m_pServer.get();
        m_thread = std::thread([pServer]() { pServer->Run(); });
    }

    int Connect()
    {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&m_addr), sizeof(m_addr)), 0);
        m_clients.push_back(fd);
        return fd;
    }

    // MSG_NOSIGNAL: a connection the server has closed fails the send, and never ends the test
    // process with SIGPIPE.
    void Send(int fd, const std::string& strBytes)
    {
        ASSERT_EQ(send(fd, strBytes.data(), strBytes.size(), MSG_NOSIGNAL),
                  ssize_t(strBytes.size()));
    }

    // A send to a connection that the server is about to close, or has closed already: all the
    // bytes go out, or the connection is found closed.
    void SendToClosing(int fd, const std::string& strBytes)
    {
        ssize_t nSent = send(fd, strBytes.data(), strBytes.size(), MSG_NOSIGNAL);
        if (nSent < 0)
        {
            EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << strerror(errno);
            return;
        }
        EXPECT_EQ(nSent, ssize_t(strBytes.size()));
    }

    void Close(int fd)
    {
        close(fd);
        m_clients.erase(std::find(m_clients.begin(), m_clients.end(), fd));
    }

    // One client as a request sends it: connect, one record, close.
    void SendOne(const std::string& strMessage)
    {
        int fd = Connect();
        Send(fd, Record(strMessage));
        Close(fd);
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
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    // True when the server closed fd within nWaitMs.
    bool ClosedByServer(int fd, int nWaitMs = 5000)
    {
        struct pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, nWaitMs) != 1)
        {
            return false;
        }
        // Closed with bytes unread, the connection is reset rather than ended.
        char c = 0;
        ssize_t nRead = recv(fd, &c, 1, MSG_DONTWAIT);
        return nRead == 0 || (nRead < 0 && errno == ECONNRESET);
    }

    bool WaitForConnections(size_t nCount)
    {
        Clock::time_point deadline = Clock::now() + std::chrono::seconds(5);
        while (m_pServer->ConnectionCount() != nCount && Clock::now() < deadline)
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return m_pServer->ConnectionCount() == nCount;
    }

    std::unique_ptr<CTempHome> m_pDir;
    std::string m_strDir;
    std::string m_strOutput;
    FILE* m_pOut = nullptr;
    std::unique_ptr<CRecordWriter> m_pWriter;
    sockaddr_un m_addr;
    int m_fdListen = -1;
    CPollServerSettings m_settings;
    std::unique_ptr<CPollServer> m_pServer;
    std::thread m_thread;
    std::vector<int> m_clients;
};
} // namespace

TEST_F(PollServerTest, SilentClientsHoldNoRecordBackAndOneProcessKeepsItsOrder)
{
    Start();
    for (int i = 0; i < 30; i++)
    {
        Connect();
    }
    Send(Connect(), Record("half of it", false));
    ASSERT_TRUE(WaitForConnections(31));
    Clock::time_point start = Clock::now();
    std::vector<std::string> want;
    for (int i = 0; i < 20; i++)
    {
        SendOne("record " + std::to_string(i));
        want.push_back("record " + std::to_string(i));
    }
    EXPECT_EQ(Lines(20), want);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1));
}

// A connection taken while no other is open is served at once; one taken while an older one
// is open waits for its turn. Either way one process's records keep their order, also when a
// record comes in two writes a while apart and the next connection follows at once.
TEST_F(PollServerTest, OneProcessKeepsItsOrderWhetherServedAtOnceOrInTurn)
{
    Start();
    std::vector<std::string> want;
    for (int i = 0; i < 200; i++)
    {
        std::string strMessage = "record " + std::to_string(i);
        if (i % 50 == 7)
        {
            std::string strBytes = Record(strMessage);
            int fd = Connect();
            Send(fd, strBytes.substr(0, 9));
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            Send(fd, strBytes.substr(9));
            Close(fd);
        }
        else
        {
            SendOne(strMessage);
        }
        want.push_back(strMessage);
    }
    EXPECT_EQ(Lines(200), want);
    EXPECT_TRUE(WaitForConnections(0));
}

TEST_F(PollServerTest, RecordsCutAcrossWritesOfInterleavedClientsArePutTogetherApart)
{
    Start();
    int fdA = Connect();
    int fdB = Connect();
    std::string strA = Record("from A") + Record("A again");
    std::string strB = Record("from B");
    Send(fdA, strA.substr(0, 7)); // an odd cut: inside a unit
    Send(fdB, strB.substr(0, 10));
    ASSERT_TRUE(WaitForConnections(2));
    EXPECT_TRUE(Lines(1, 100).empty());
    Send(fdB, strB.substr(10));
    EXPECT_EQ(Lines(1), (std::vector<std::string>{"from B"}));
    Send(fdA, strA.substr(7));
    Close(fdA);
    Close(fdB);
    EXPECT_EQ(Lines(3), (std::vector<std::string>{"from B", "from A", "A again"}));
    EXPECT_TRUE(WaitForConnections(0));
}

TEST_F(PollServerTest, SilentConnectionIsClosedWithItsUnfinishedRecordAsAnError)
{
    m_settings.nIdleMs = 200;
    Start();
    int fdNothing = Connect();
    int fdHalf = Connect();
    Send(fdHalf, Record("cut", false));
    int fdTalking = Connect();
    Clock::time_point start = Clock::now();
    // A connection that keeps sending is not silent, however long it stays.
    for (int i = 0; i < 6; i++)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        Send(fdTalking, Record("alive " + std::to_string(i)));
    }
    EXPECT_TRUE(ClosedByServer(fdNothing));
    EXPECT_TRUE(ClosedByServer(fdHalf));
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(200));
    EXPECT_FALSE(ClosedByServer(fdTalking, 0));
    std::vector<std::string> lines = Lines(7);
    ASSERT_EQ(lines.size(), 7u);
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "!LOG_WRITE\\t1\\t2\\t3\\t4\\ts\\t5\\tcut"),
              1);
    EXPECT_EQ(Lines(8, 300).size(), 7u); // the silent empty connection writes nothing
}

TEST_F(PollServerTest, ConnectionsBeyondTheLimitWaitInTheListenQueue)
{
    m_settings.nMaxConnections = 2;
    Start();
    int fdFirst = Connect();
    Connect();
    ASSERT_TRUE(WaitForConnections(2));
    SendOne("queued");
    EXPECT_TRUE(Lines(1, 300).empty());
    EXPECT_EQ(m_pServer->ConnectionCount(), 2u);
    Close(fdFirst);
    EXPECT_EQ(Lines(1), (std::vector<std::string>{"queued"}));
}

TEST_F(PollServerTest, FailedAllocationClosesThatConnectionAloneAndServingGoesOn)
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
    int fdBystander = Connect();
    EXPECT_TRUE(WaitForConnections(1));
    int fdFailing = Connect();
    Send(fdFailing, Record("lost"));
    EXPECT_TRUE(ClosedByServer(fdFailing));
    Send(fdBystander, Record("bystander"));
    SendOne("after");
    std::vector<std::string> lines = Lines(2);
    std::string strErr = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines, (std::vector<std::string>{"bystander", "after"}));
    EXPECT_NE(strErr.find("the connection is closed"), std::string::npos) << strErr;
    EXPECT_FALSE(ClosedByServer(fdBystander, 0));
}

TEST_F(PollServerTest, NoDescriptorForAClientClosesItAloneAndServingGoesOn)
{
    int nAccepts = 0;
    m_settings.acceptClient = [&nAccepts](int fdListen)
    {
        if (++nAccepts == 1)
        {
            errno = EMFILE;
            return -1;
        }
        return accept4(fdListen, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
    };
    testing::internal::CaptureStderr();
    Start();
    int fdRefused = Connect();
    SendToClosing(fdRefused, Record("refused"));
    EXPECT_TRUE(ClosedByServer(fdRefused));
    SendOne("served");
    std::vector<std::string> lines = Lines(1);
    std::string strErr = testing::internal::GetCapturedStderr();
    EXPECT_EQ(lines, (std::vector<std::string>{"served"}));
    EXPECT_EQ(Lines(2, 200).size(), 1u);
    EXPECT_NE(strErr.find("cannot take a client"), std::string::npos) << strErr;
}

TEST_F(PollServerTest, StopWritesWhatOpenConnectionsLeftUnfinished)
{
    Start();
    int fd = Connect();
    Send(fd, Record("whole") + Record("unfinished", false));
    EXPECT_EQ(Lines(1), (std::vector<std::string>{"whole"}));
    m_pServer->Stop();
    m_thread.join();
    m_pServer.reset();
    EXPECT_EQ(Lines(2), (std::vector<std::string>{
                            "whole", "!LOG_WRITE\\t1\\t2\\t3\\t4\\ts\\t5\\tunfinished"}));
    EXPECT_TRUE(ClosedByServer(fd));
}
