// The LOG_WRITE record: its fields, its number forms, and how it goes over the pipe.
#include "cmd_protocol.h"
#include "log_record.h"
#include "send_command.h"
#include "trace_capture.h"
#include "trace_test_env.h"

#include <climits>

class RecordTest : public CTraceTest
{
protected:
    // Everything the write hook saw, joined, as ASCII (every unit below 0x80 in these tests).
    static std::string SentText(bool* pbEndsInNul)
    {
        std::string strBytes;
        for (const std::string& strChunk : g_writeScript.chunks)
        {
            strBytes += strChunk;
        }
        *pbEndsInNul = strBytes.size() >= 2 && strBytes[strBytes.size() - 1] == 0 &&
                       strBytes[strBytes.size() - 2] == 0;
        std::string strText;
        for (size_t i = 0; i + 1 < strBytes.size(); i += 2)
        {
            unsigned cu =
                unsigned(uint8_t(strBytes[i])) | (unsigned(uint8_t(strBytes[i + 1])) << 8);
            if (cu == 0)
            {
                break;
            }
            strText.push_back(cu < 0x80 ? char(cu) : '?');
        }
        return strText;
    }
};

TEST_F(RecordTest, FieldsAndNumberFormsOnTheWire)
{
    CTraceCapture capture;
    ASSERT_TRUE(WriteLogRecord(-5, 2147483648u, 4294967295u, -7, ".\\src", -9, "msg"));
    bool bNul = false;
    EXPECT_EQ(SentText(&bNul), "LOG_WRITE\t-5\t2147483648\t4294967295\t-7\t.\\src\t-9\tmsg");
    EXPECT_TRUE(bNul);
    ASSERT_EQ(g_writeScript.chunks.size(), 1u);
    // 2 bytes a unit and the NUL unit.
    EXPECT_EQ(g_writeScript.chunks[0].size(), 2 * (SentText(&bNul).size()) + 2);
}

TEST_F(RecordTest, ExtremeValuesKeepTheirSigns)
{
    CTraceCapture capture;
    ASSERT_TRUE(WriteLogRecord(INT_MIN, 0u, 0u, INT_MAX, "", INT_MIN, ""));
    bool bNul = false;
    EXPECT_EQ(SentText(&bNul), "LOG_WRITE\t-2147483648\t0\t0\t2147483647\t\t-2147483648\t");
}

TEST_F(RecordTest, TabInsideAMessageGoesOutUnescaped)
{
    CTraceCapture capture;
    ASSERT_TRUE(WriteLogRecord(1, GetCurrentProcessId(), GetCurrentThreadId(), 4, ".\\Vendrel", 3,
                               "a\tb\t\tc"));
    bool bNul = false;
    std::string strText = SentText(&bNul);
    EXPECT_EQ(strText.substr(strText.size() - 6), "a\tb\t\tc");
    std::vector<TraceRecord> records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].strMessage, "a\tb\t\tc");
    EXPECT_EQ(records[0].nTime, 1);
}

TEST_F(RecordTest, NonAsciiTextArrivesIntact)
{
    CTraceCapture capture;
    // U+00E9 and U+20AC, each a single UTF-16 unit.
    const WCHAR wszMessage[] = {'c', 'a', 'f', 0x00E9, ' ', 0x20AC, 0};
    std::basic_string<WCHAR> strSource = Wide(".\\Vendrel");
    ASSERT_TRUE(WriteLogRecord(1, GetCurrentProcessId(), 7u, 4, strSource.c_str(), 3, wszMessage));
    std::vector<TraceRecord> records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].strMessage, "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(records[0].dwThreadId, 7u);
}

// A record whose size in bytes is exactly nBytes, with this process's id so that the capture
// keeps it.
static std::string MessageForRecordBytes(size_t nBytes)
{
    std::string strFixed = "LOG_WRITE\t1\t" + std::to_string(GetCurrentProcessId()) + "\t" +
                           std::to_string(GetCurrentThreadId()) + "\t4\ts\t1\t";
    size_t nUnits = nBytes / 2 - 1;
    return std::string(nUnits - strFixed.size(), 'm');
}

// Writes a record of this process and thread with that message.
static bool WriteOwnRecord(const std::string& strMessage)
{
    return WriteLogRecord(1, GetCurrentProcessId(), GetCurrentThreadId(), 4, "s", 1,
                          strMessage.c_str()) != FALSE;
}

// Records of a size around the 1,024 bytes of one pipe write: the writes they go out in, the
// last two bytes being the record's NUL unit, and the server putting them together.
struct SRecordSize
{
    const char* szName;
    size_t nBytes;
    std::vector<size_t> chunkSizes;
};

// Test names show the case by its name, not its bytes.
static void PrintTo(const SRecordSize& param, std::ostream* pOut)
{
    *pOut << param.szName;
}

class RecordSizeTest : public RecordTest, public ::testing::WithParamInterface<SRecordSize>
{
};

TEST_P(RecordSizeTest, GoesOutInWholeWritesAndArrivesWhole)
{
    CTraceCapture capture;
    std::string strMessage = MessageForRecordBytes(GetParam().nBytes);
    ASSERT_TRUE(WriteOwnRecord(strMessage));
    std::vector<size_t> chunkSizes;
    for (const std::string& strChunk : g_writeScript.chunks)
    {
        chunkSizes.push_back(strChunk.size());
    }
    ASSERT_EQ(chunkSizes, GetParam().chunkSizes);
    EXPECT_EQ(g_writeScript.chunks.back().substr(chunkSizes.back() - 2), std::string(2, '\0'));
    EXPECT_EQ(capture.OnlyMessage(), strMessage);
}

INSTANTIATE_TEST_SUITE_P(
    RecordTest, RecordSizeTest,
    ::testing::Values(SRecordSize{"RecordOf1024BytesGoesOutInOneWrite", 1024, {1024}},
                      SRecordSize{"RecordOf1026BytesGoesOutIn1024And2", 1026, {1024, 2}}),
    [](const ::testing::TestParamInfo<SRecordSize>& info) { return info.param.szName; });

TEST_F(RecordTest, LongestMessageArrivesWhole)
{
    CTraceCapture capture;
    std::string strLong(5000, 'q');
    LogTrace(4, ".\\Vendrel", 1, "%s", strLong.c_str());
    std::vector<TraceRecord> records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].strMessage.size(), 4095u);
    // More than 8 KiB on the wire: every chunk but the last is full.
    ASSERT_GT(g_writeScript.chunks.size(), 8u);
    for (size_t i = 0; i + 1 < g_writeScript.chunks.size(); i++)
    {
        EXPECT_EQ(g_writeScript.chunks[i].size(), 1024u);
    }
}

class PipeWriteTest : public CTraceTest
{
protected:
    void SetUp() override
    {
        CTraceTest::SetUp();
        // No connection: the hook answers for the system.
        g_writeScript.bForward = false;
    }
};

TEST_F(PipeWriteTest, CountOfZeroWritesNothing)
{
    CNamedPipeClient client;
    DWORD dwCount = 0;
    EXPECT_TRUE(client.Write("", &dwCount));
    EXPECT_TRUE(g_writeScript.chunks.empty());
    EXPECT_EQ(dwCount, 0u);
}

TEST_F(PipeWriteTest, DataIsCutInto1024ByteChunksInOrder)
{
    std::string strData;
    for (int i = 0; i < 2049; i++)
    {
        strData.push_back(char('a' + i % 26));
    }
    CNamedPipeClient client;
    DWORD dwCount = DWORD(strData.size());
    ASSERT_TRUE(client.Write(strData.data(), &dwCount));
    EXPECT_EQ(dwCount, 2049u);
    ASSERT_EQ(g_writeScript.chunks.size(), 3u);
    EXPECT_EQ(g_writeScript.chunks[0], strData.substr(0, 1024));
    EXPECT_EQ(g_writeScript.chunks[1], strData.substr(1024, 1024));
    EXPECT_EQ(g_writeScript.chunks[2], strData.substr(2048));
}

TEST_F(PipeWriteTest, ResourceShortageIsRetriedWithTheSameChunk)
{
    g_writeScript.nFailuresLeft = 3;
    g_writeScript.dwFailError = ERROR_NO_SYSTEM_RESOURCES;
    std::string strData(1500, 'r');
    strData[1024] = 'S';
    CNamedPipeClient client;
    DWORD dwCount = DWORD(strData.size());
    ASSERT_TRUE(client.Write(strData.data(), &dwCount));
    EXPECT_EQ(dwCount, 1500u);
    ASSERT_EQ(g_writeScript.chunks.size(), 5u);
    for (int i = 0; i < 4; i++)
    {
        EXPECT_EQ(g_writeScript.chunks[i], strData.substr(0, 1024));
    }
    EXPECT_EQ(g_writeScript.chunks[4], strData.substr(1024));
}

TEST_F(PipeWriteTest, LastingResourceShortageFailsAfterAHundredRepeats)
{
    g_writeScript.nFailuresLeft = 1000000;
    g_writeScript.dwFailError = ERROR_NO_SYSTEM_RESOURCES;
    CNamedPipeClient client;
    DWORD dwCount = 10;
    EXPECT_FALSE(client.Write("0123456789", &dwCount));
    EXPECT_EQ(g_writeScript.chunks.size(), 101u);
    EXPECT_EQ(dwCount, 10u);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_NO_SYSTEM_RESOURCES));
}

TEST_F(PipeWriteTest, OtherErrorFailsAtOnceAndKeepsTheCount)
{
    g_writeScript.nFailuresLeft = 1;
    g_writeScript.dwFailError = ERROR_BROKEN_PIPE;
    CNamedPipeClient client;
    DWORD dwCount = 2000;
    std::string strData(2000, 'd');
    EXPECT_FALSE(client.Write(strData.data(), &dwCount));
    EXPECT_EQ(g_writeScript.chunks.size(), 1u);
    EXPECT_EQ(dwCount, 2000u);
}

// A write that reports success but no progress would otherwise spin for ever.
static BOOL WINAPI WriteNothing(HANDLE, LPCVOID, DWORD, LPDWORD pdwWritten, LPOVERLAPPED)
{
    *pdwWritten = 0;
    return TRUE;
}

TEST_F(PipeWriteTest, WriteWithoutProgressFails)
{
    SetSystemCall("WriteFile", (SYSTEM_CALL_PTR)WriteNothing);
    CNamedPipeClient client;
    DWORD dwCount = 4;
    EXPECT_FALSE(client.Write("abcd", &dwCount));
    EXPECT_EQ(dwCount, 4u);
}

TEST(CmdProtocolTest, FieldsAreJoinedByOneTab)
{
    CCmdProtocol cmd;
    std::basic_string<WCHAR> strA = Wide("alpha");
    cmd.AddText(strA.c_str(), -1).AddInt(-1).AddUInt(4294967295u).AddText(NULL, -1);
    cmd.AddText(strA.c_str(), 3).AddInt(INT_MIN).AddInt(0);
    EXPECT_EQ(std::basic_string<WCHAR>(cmd.GetCommand()),
              Wide("alpha\t-1\t4294967295\t\talp\t-2147483648\t0"));
}

TEST(CmdProtocolTest, CommandsAroundTheInlineRoomAreKeptWhole)
{
    for (size_t nUnits = 1018; nUnits <= 1030; ++nUnits)
    {
        CCmdProtocol cmd;
        std::basic_string<WCHAR> strHead(nUnits, WCHAR('h'));
        cmd.AddText(strHead.c_str(), -1).AddInt(12).AddText(NULL, -1).AddUInt(7u);
        EXPECT_EQ(std::basic_string<WCHAR>(cmd.GetCommand()), strHead + Wide("\t12\t\t7"))
            << nUnits;
    }
}

TEST(CmdProtocolTest, EmptyCommandIsEmptyText)
{
    CCmdProtocol cmd;
    EXPECT_EQ(cmd.GetCommand()[0], WCHAR(0));
}

TEST(CmdProtocolTest, FieldsBeyondTheReservedRoomAreKeptWhole)
{
    CCmdProtocol cmd;
    std::basic_string<WCHAR> strBig(3000, WCHAR('b'));
    std::basic_string<WCHAR> strSmall = Wide("end");
    cmd.AddText(strSmall.c_str(), -1).AddText(strBig.c_str(), -1).AddText(strSmall.c_str(), -1);
    EXPECT_EQ(std::basic_string<WCHAR>(cmd.GetCommand()), Wide("end\t") + strBig + Wide("\tend"));
}
