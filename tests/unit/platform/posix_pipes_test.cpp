// The named-pipe client over Unix stream sockets: connecting, a full backlog, waiting, and a peer
// that goes away.
#include "temp_home.h"
#include "test_env.h"
#include "test_files.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#define PIPE_PATH(name) VTEXT("\\\\.\\pipe\\" name)

class PosixPipeTest : public CTempDirTest
{
protected:
    void SetUp() override
    {
        CTempDirTest::SetUp();
        SetEnvVar("VENDREL_PIPE_DIR", m_strDir.c_str());
    }
    void TearDown() override
    {
        for (int nFd : m_fds)
        {
            close(nFd);
        }
        UnsetEnvVar("VENDREL_PIPE_DIR");
        CTempDirTest::TearDown();
    }
    // A listening socket for the pipe name, with the given backlog.
    int Listen(const char* szName, int nBacklog)
    {
        int nFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un addr = {};
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof(addr.sun_path), "%s/%s", m_strDir.c_str(), szName);
        EXPECT_EQ(0, bind(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)));
        EXPECT_EQ(0, listen(nFd, nBacklog));
        m_fds.push_back(nFd);
        return nFd;
    }
    HANDLE Connect(const WCHAR* wszPipe)
    {
        return CreateFileW(wszPipe, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    }
    // Fills the backlog of an unaccepting listener; the client handles are returned.
    std::vector<HANDLE> FillBacklog(const WCHAR* wszPipe)
    {
        std::vector<HANDLE> clients;
        for (int i = 0; i < 64; ++i)
        {
            HANDLE h = Connect(wszPipe);
            if (h == INVALID_HANDLE_VALUE)
            {
                EXPECT_EQ(static_cast<DWORD>(ERROR_PIPE_BUSY), GetLastError());
                return clients;
            }
            clients.push_back(h);
        }
        ADD_FAILURE() << "the backlog never filled";
        return clients;
    }
    std::vector<int> m_fds;
};

TEST_F(PosixPipeTest, ConnectsAndDeliversBytes)
{
    int nListen = Listen("logpipe", 4);
    HANDLE h = Connect(PIPE_PATH("logpipe"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD dwMode = PIPE_READMODE_MESSAGE;
    EXPECT_TRUE(SetNamedPipeHandleState(h, &dwMode, nullptr, nullptr));
    DWORD dwWritten = 0;
    EXPECT_TRUE(WriteFile(h, "L\0O\0G\0", 6, &dwWritten, nullptr));
    EXPECT_EQ(6u, dwWritten);
    CloseHandle(h);
    int nConn = accept(nListen, nullptr, nullptr);
    ASSERT_GE(nConn, 0);
    char buf[16];
    ssize_t nGot = read(nConn, buf, sizeof(buf));
    EXPECT_EQ(6, nGot);
    EXPECT_EQ(0, memcmp(buf, "L\0O\0G\0", 6));
    EXPECT_EQ(0, read(nConn, buf, sizeof(buf)));
    close(nConn);
}

TEST_F(PosixPipeTest, PipeDirectoryIsReadOnEveryCall)
{
    EXPECT_EQ(m_strDir, PalPipeDirectory());
    UnsetEnvVar("VENDREL_PIPE_DIR");
    EXPECT_STREQ("/run/vendrel", PalPipeDirectory());
    SetEnvVar("VENDREL_PIPE_DIR", m_strDir.c_str());
}

TEST_F(PosixPipeTest, SocketWithoutListenerIsFileNotFound)
{
    int nFd = Listen("stale", 1);
    // The socket file stays behind a listener that is gone: connections are refused.
    close(nFd);
    m_fds.clear();
    EXPECT_EQ(INVALID_HANDLE_VALUE, Connect(PIPE_PATH("stale")));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Connect(PIPE_PATH("absent")));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST_F(PosixPipeTest, FullBacklogIsPipeBusyAndWaitTimesOut)
{
    Listen("busy", 0);
    std::vector<HANDLE> clients = FillBacklog(PIPE_PATH("busy"));
    EXPECT_FALSE(clients.empty());
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitNamedPipeW(PIPE_PATH("busy"), 100));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SEM_TIMEOUT), GetLastError());
    auto nMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                   std::chrono::steady_clock::now() - start)
                   .count();
    EXPECT_GE(nMs, 100);
    for (HANDLE h : clients)
    {
        CloseHandle(h);
    }
}

TEST_F(PosixPipeTest, WaitSucceedsWhenTheServerAcceptsAndMakesNoExtraConnection)
{
    int nListen = Listen("wait", 0);
    std::vector<HANDLE> clients = FillBacklog(PIPE_PATH("wait"));
    std::vector<int> accepted;
    std::thread server(
        [&]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            for (size_t i = 0; i < clients.size(); ++i)
            {
                accepted.push_back(accept(nListen, nullptr, nullptr));
            }
        });
    EXPECT_TRUE(WaitNamedPipeW(PIPE_PATH("wait"), 5000));
    server.join();
    HANDLE h = Connect(PIPE_PATH("wait"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD dwWritten = 0;
    EXPECT_TRUE(WriteFile(h, "rec", 3, &dwWritten, nullptr));
    CloseHandle(h);
    // The connection that the wait made is the one that carries the record.
    int nConn = accept(nListen, nullptr, nullptr);
    ASSERT_GE(nConn, 0);
    char buf[8];
    EXPECT_EQ(3, read(nConn, buf, sizeof(buf)));
    close(nConn);
    // Nothing else is waiting to be accepted.
    struct pollfd pfd = {nListen, POLLIN, 0};
    EXPECT_EQ(0, poll(&pfd, 1, 50));
    for (int nFd : accepted)
    {
        close(nFd);
    }
    for (HANDLE hClient : clients)
    {
        CloseHandle(hClient);
    }
}

TEST_F(PosixPipeTest, KeptConnectionThatTheServerClosedIsReplaced)
{
    int nListen = Listen("kept", 4);
    EXPECT_TRUE(WaitNamedPipeW(PIPE_PATH("kept"), 1000));
    int nFirst = accept(nListen, nullptr, nullptr);
    close(nFirst);
    HANDLE h = Connect(PIPE_PATH("kept"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    DWORD dwWritten = 0;
    EXPECT_TRUE(WriteFile(h, "ok", 2, &dwWritten, nullptr));
    int nSecond = accept(nListen, nullptr, nullptr);
    ASSERT_GE(nSecond, 0);
    char buf[4];
    EXPECT_EQ(2, read(nSecond, buf, sizeof(buf)));
    close(nSecond);
    CloseHandle(h);
}

TEST_F(PosixPipeTest, WriteToAPeerThatWentAwayFailsWithoutSignal)
{
    int nListen = Listen("gone", 4);
    HANDLE h = Connect(PIPE_PATH("gone"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    close(accept(nListen, nullptr, nullptr));
    std::string strChunk(1024, 'x');
    DWORD dwWritten = 0;
    BOOL bOk = TRUE;
    for (int i = 0; i < 64 && bOk; ++i)
    {
        bOk = WriteFile(h, strChunk.data(), 1024, &dwWritten, nullptr);
    }
    EXPECT_FALSE(bOk);
    DWORD dwError = GetLastError();
    EXPECT_TRUE(dwError == ERROR_NO_DATA || dwError == ERROR_BROKEN_PIPE) << dwError;
    char buf[4];
    DWORD dwGot = 0;
    EXPECT_FALSE(ReadFile(h, buf, sizeof(buf), &dwGot, nullptr));
    CloseHandle(h);
}

// Reads and writes on a connection wait as on a blocking handle: a write larger than the
// socket's buffer waits for the reader and delivers every byte in order, and a read waits for
// data that comes later.
TEST_F(PosixPipeTest, WriteBeyondTheSocketBufferWaitsForTheReader)
{
    int nListen = Listen("slow", 4);
    HANDLE h = Connect(PIPE_PATH("slow"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    int nConn = accept(nListen, nullptr, nullptr);
    ASSERT_GE(nConn, 0);
    std::string strData(4 * 1024 * 1024, '\0');
    for (size_t i = 0; i < strData.size(); ++i)
        strData[i] = static_cast<char>(i * 31 + i / 4096);
    BOOL bOk = FALSE;
    DWORD dwWritten = 0;
    std::thread writer(
        [&] { bOk = WriteFile(h, strData.data(), (DWORD)strData.size(), &dwWritten, nullptr); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::string strGot;
    char buf[65536];
    while (strGot.size() < strData.size())
    {
        ssize_t nGot = read(nConn, buf, sizeof(buf));
        if (nGot <= 0)
            break;
        strGot.append(buf, static_cast<size_t>(nGot));
    }
    writer.join();
    EXPECT_TRUE(bOk);
    EXPECT_EQ(strData.size(), dwWritten);
    EXPECT_TRUE(strGot == strData);
    CloseHandle(h);
    close(nConn);
}

TEST_F(PosixPipeTest, ReadWaitsForDataThatComesLater)
{
    int nListen = Listen("late", 4);
    HANDLE h = Connect(PIPE_PATH("late"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    int nConn = accept(nListen, nullptr, nullptr);
    ASSERT_GE(nConn, 0);
    std::thread server(
        [&]
        {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            EXPECT_EQ(5, write(nConn, "later", 5));
        });
    char buf[8];
    DWORD dwGot = 0;
    EXPECT_TRUE(ReadFile(h, buf, sizeof(buf), &dwGot, nullptr));
    server.join();
    EXPECT_EQ(5u, dwGot);
    EXPECT_EQ(0, memcmp(buf, "later", 5));
    CloseHandle(h);
    close(nConn);
}

TEST_F(PosixPipeTest, ReadAfterTheServerClosedIsBrokenPipe)
{
    int nListen = Listen("eof", 4);
    HANDLE h = Connect(PIPE_PATH("eof"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    int nConn = accept(nListen, nullptr, nullptr);
    ASSERT_EQ(2, write(nConn, "hi", 2));
    close(nConn);
    char buf[8];
    DWORD dwGot = 0;
    EXPECT_TRUE(ReadFile(h, buf, sizeof(buf), &dwGot, nullptr));
    EXPECT_EQ(2u, dwGot);
    EXPECT_FALSE(ReadFile(h, buf, sizeof(buf), &dwGot, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_BROKEN_PIPE), GetLastError());
    CloseHandle(h);
}

TEST_F(PosixPipeTest, NamesThatAreNotOneEntryAreRefused)
{
    EXPECT_EQ(INVALID_HANDLE_VALUE, Connect(PIPE_PATH("..")));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
    EXPECT_EQ(INVALID_HANDLE_VALUE, Connect(PIPE_PATH("a/b")));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
    std::basic_string<WCHAR> wstrLong = PIPE_PATH("");
    wstrLong.append(120, u'n');
    EXPECT_EQ(INVALID_HANDLE_VALUE, Connect(wstrLong.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), GetLastError());
    EXPECT_FALSE(WaitNamedPipeW(VTEXT("not-a-pipe"), 10));
}
