// Serving one log client: at once while its bytes are ready, in a thread of its own once it
// dawdles, and every record exactly once whichever way it is served.
#include "connection_server.h"
#include "turn_server.h"
#include "wire_bytes.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <string>
#include <system_error>

namespace
{
// A client's bytes as a script: each piece is either ready now or comes only after the
// server has given up waiting once.
struct CPiece
{
    std::string strBytes;
    bool bReady;
};

class CScriptedConnection : public CPipeConnection
{
public:
    CScriptedConnection(std::deque<CPiece> pieces, bool bClosed, bool bCanTell,
                        bool* pbDestroyed = nullptr)
        : m_pieces(std::move(pieces)), m_bClosed(bClosed), m_bCanTell(bCanTell),
          m_pbDestroyed(pbDestroyed)
    {
    }
    ~CScriptedConnection() override
    {
        if (m_pbDestroyed != nullptr)
        {
            *m_pbDestroyed = true;
        }
    }

    size_t Read(void* pBuffer, size_t nSize) override
    {
        if (m_pieces.empty())
        {
            return 0; // closed: Read only blocks in ServeToEnd, where the rest has come
        }
        std::string strNext = m_pieces.front().strBytes.substr(0, nSize);
        m_pieces.front().strBytes.erase(0, strNext.size());
        if (m_pieces.front().strBytes.empty())
        {
            m_pieces.pop_front();
        }
        strNext.copy(static_cast<char*>(pBuffer), strNext.size());
        return strNext.size();
    }

    bool WaitReadable(int nTimeoutMs) override
    {
        m_nWaits++;
        m_nLastTimeoutMs = nTimeoutMs;
        if (!m_bCanTell)
        {
            return false;
        }
        if (m_pieces.empty())
        {
            return m_bClosed;
        }
        if (m_pieces.front().bReady)
        {
            return true;
        }
        // The late piece arrives while nobody waits for it any more.
        m_pieces.front().bReady = true;
        return false;
    }

    std::deque<CPiece> m_pieces;
    bool m_bClosed;
    bool m_bCanTell;
    bool* m_pbDestroyed;
    int m_nWaits = 0;
    int m_nLastTimeoutMs = -1;
};

std::string Record(const std::string& strMessage, bool bNul = true)
{
    return WireBytes("LOG_WRITE\t1\t2\t3\t4\ts\t5\t" + strMessage, bNul);
}

// The messages of the lines written so far ("!" for an error line).
std::vector<std::string> Written(FILE* pFile)
{
    std::vector<std::string> messages;
    rewind(pFile);
    char szLine[1024];
    while (fgets(szLine, sizeof(szLine), pFile) != nullptr)
    {
        std::string strLine = szLine;
        size_t nPos = strLine.find("\"message\": \"");
        messages.push_back(nPos == std::string::npos
                               ? "!"
                               : strLine.substr(nPos + 12, strLine.rfind('"') - nPos - 12));
    }
    fseek(pFile, 0, SEEK_END);
    return messages;
}

class ConnectionServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_pFile = tmpfile();
        ASSERT_NE(m_pFile, nullptr);
        m_pWriter.reset(new CRecordWriter(m_pFile, ELogFormat::Jsonl));
    }
    void TearDown() override
    {
        m_pWriter.reset();
        fclose(m_pFile);
    }

    CConnectionServer Server(CScriptedConnection* pConnection)
    {
        return CConnectionServer(std::unique_ptr<CPipeConnection>(pConnection), m_pWriter.get());
    }

    FILE* m_pFile = nullptr;
    std::unique_ptr<CRecordWriter> m_pWriter;
};
} // namespace

TEST_F(ConnectionServerTest, ClientThatHasClosedIsServedAtOnceInOrder)
{
    std::string strTwo = Record("two");
    auto* pConnection = new CScriptedConnection(
        {{Record("one") + strTwo.substr(0, 7), true}, {strTwo.substr(7), true}}, true, true);
    CConnectionServer server = Server(pConnection);
    EXPECT_TRUE(server.ServeReady(200));
    EXPECT_EQ(Written(m_pFile), (std::vector<std::string>{"one", "two"}));
}

TEST_F(ConnectionServerTest, DawdlingClientIsLeftUnfinishedAndServedToTheEndLater)
{
    std::string strTwo = Record("two");
    auto* pConnection = new CScriptedConnection(
        {{Record("one") + strTwo.substr(0, 9), true}, {strTwo.substr(9) + Record("three"), false}},
        true, true);
    CConnectionServer server = Server(pConnection);
    EXPECT_FALSE(server.ServeReady(200));
    // What was complete is written; the half record waits for its rest.
    EXPECT_EQ(Written(m_pFile), (std::vector<std::string>{"one"}));
    EXPECT_GE(pConnection->m_nLastTimeoutMs, 0);
    EXPECT_LE(pConnection->m_nLastTimeoutMs, 200);
    server.ServeToEnd();
    EXPECT_EQ(Written(m_pFile), (std::vector<std::string>{"one", "two", "three"}));
}

TEST_F(ConnectionServerTest, UnfinishedRecordOfAClosedClientIsAnErrorLine)
{
    auto* pConnection =
        new CScriptedConnection({{Record("one") + Record("cut", false), true}}, true, true);
    CConnectionServer server = Server(pConnection);
    EXPECT_TRUE(server.ServeReady(200));
    EXPECT_EQ(Written(m_pFile), (std::vector<std::string>{"one", "!"}));
}

TEST_F(ConnectionServerTest, ConnectionThatCannotTellIsLeftWholeToTheThread)
{
    auto* pConnection = new CScriptedConnection({{Record("one"), true}}, true, false);
    CConnectionServer server = Server(pConnection);
    EXPECT_FALSE(server.ServeReady(200));
    EXPECT_TRUE(Written(m_pFile).empty());
    server.ServeToEnd();
    EXPECT_EQ(Written(m_pFile), (std::vector<std::string>{"one"}));
}

// A dawdling client whose rest comes only once it is served to the end.
static CScriptedConnection* Dawdler(const std::string& strMessage, bool* pbDestroyed)
{
    std::string strRecord = Record(strMessage);
    return new CScriptedConnection({{strRecord.substr(0, 9), true}, {strRecord.substr(9), false}},
                                   true, true, pbDestroyed);
}

TEST_F(ConnectionServerTest, ClientServedInTurnGoesOnInItsThreadWhenItDawdles)
{
    bool bDestroyed = false;
    int nStarted = 0;
    ThreadStarter runAtOnce = [&nStarted](std::function<void()> fn)
    {
        nStarted++;
        fn();
    };
    auto* pReady = new CScriptedConnection({{Record("ready"), true}}, true, true);
    ServeInTurn(std::unique_ptr<CPipeConnection>(pReady), m_pWriter.get(), 50, runAtOnce);
    EXPECT_EQ(nStarted, 0); // served on the accepting thread
    ServeInTurn(std::unique_ptr<CPipeConnection>(Dawdler("dawdled", &bDestroyed)), m_pWriter.get(),
                50, runAtOnce);
    EXPECT_EQ(nStarted, 1);
    EXPECT_TRUE(bDestroyed);
    EXPECT_EQ(Written(m_pFile), (std::vector<std::string>{"ready", "dawdled"}));
}

TEST_F(ConnectionServerTest, NoThreadForADawdlerClosesItAloneAndTheNextIsServed)
{
    bool bDestroyed = false;
    ThreadStarter noThread = [](std::function<void()>)
    { throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again)); };
    testing::internal::CaptureStderr();
    ServeInTurn(std::unique_ptr<CPipeConnection>(Dawdler("lost", &bDestroyed)), m_pWriter.get(), 50,
                noThread);
    std::string strErr = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(bDestroyed);
    EXPECT_NE(strErr.find("the connection is closed"), std::string::npos) << strErr;
    auto* pNext = new CScriptedConnection({{Record("next"), true}}, true, true);
    ServeInTurn(std::unique_ptr<CPipeConnection>(pNext), m_pWriter.get(), 50, noThread);
    EXPECT_EQ(Written(m_pFile), (std::vector<std::string>{"next"}));
}

TEST_F(ConnectionServerTest, RealThreadServesTheDawdlerToTheEnd)
{
    // The thread may still be ending after the turn: it is told of nothing on this stack.
    ServeInTurn(std::unique_ptr<CPipeConnection>(Dawdler("threaded", nullptr)), m_pWriter.get(),
                2000, DetachedThreadStarter());
    // The turn lasts until the thread has written it.
    EXPECT_EQ(Written(m_pFile), (std::vector<std::string>{"threaded"}));
}
