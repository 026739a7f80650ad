// The log server's record handling: assembling, splitting, converting and writing records.
#include "log_record_parse.h"
#include "logd_options.h"
#include "record_assembler.h"
#include "record_format.h"
#include "record_writer.h"
#include "utf16.h"
#include "wire_bytes.h"

#include <gtest/gtest.h>

#include <cstdio>

static std::vector<CAssembledRecord> Assemble(const std::vector<std::string>& pieces, bool bFinish)
{
    CRecordAssembler assembler;
    std::vector<CAssembledRecord> records;
    for (const std::string& strPiece : pieces)
    {
        assembler.Feed(reinterpret_cast<const uint8_t*>(strPiece.data()), strPiece.size(),
                       &records);
    }
    if (bFinish)
    {
        assembler.Finish(&records);
    }
    return records;
}

static std::u16string U16(const std::string& strAscii)
{
    return std::u16string(strAscii.begin(), strAscii.end());
}

TEST(RecordAssemblerTest, RecordCutAtEveryByteIsPutTogether)
{
    std::string strBytes = WireBytes("LOG_WRITE\t1", true);
    std::vector<std::string> pieces;
    for (char c : strBytes)
    {
        pieces.push_back(std::string(1, c));
    }
    std::vector<CAssembledRecord> records = Assemble(pieces, true);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_TRUE(records[0].bComplete);
    EXPECT_EQ(records[0].strUnits, U16("LOG_WRITE\t1"));
}

TEST(RecordAssemblerTest, SeveralRecordsInOneWriteAreSeparated)
{
    std::vector<CAssembledRecord> records =
        Assemble({WireBytes("a", true) + WireBytes("bc", true) + WireBytes("", true)}, true);
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].strUnits, U16("a"));
    EXPECT_EQ(records[1].strUnits, U16("bc"));
    EXPECT_EQ(records[2].strUnits, U16(""));
}

TEST(RecordAssemblerTest, ZeroBytesOfAUnitAreNotANul)
{
    // U+0100 is the bytes 00 01: neither byte alone ends the record.
    std::string strBytes = std::string("\x00\x01", 2) + WireBytes("x", true);
    std::vector<CAssembledRecord> records = Assemble({strBytes}, true);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].strUnits, (std::u16string{char16_t(0x0100), u'x'}));
}

TEST(RecordAssemblerTest, LeftoverWithoutNulIsAnIncompleteRecord)
{
    std::vector<CAssembledRecord> records =
        Assemble({WireBytes("ok", true), WireBytes("cut", false)}, true);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_TRUE(records[0].bComplete);
    EXPECT_FALSE(records[1].bComplete);
    EXPECT_EQ(records[1].strUnits, U16("cut"));
    EXPECT_FALSE(records[1].strFault.empty());
}

TEST(RecordAssemblerTest, OddByteAtTheEndIsAFault)
{
    std::vector<CAssembledRecord> records = Assemble({std::string("a", 1)}, true);
    ASSERT_EQ(records.size(), 1u);
    EXPECT_FALSE(records[0].bComplete);
}

TEST(RecordAssemblerTest, NothingSentIsNothingWritten)
{
    EXPECT_TRUE(Assemble({}, true).empty());
    EXPECT_TRUE(Assemble({WireBytes("pending", false)}, false).empty());
}

TEST(RecordAssemblerTest, RunawayRecordIsReportedOnceAndSkippedToItsNul)
{
    std::string strHuge = WireBytes(std::string(CRecordAssembler::kMaxRecordUnits + 10, 'h'), true);
    std::vector<CAssembledRecord> records = Assemble({strHuge, WireBytes("next", true)}, true);
    ASSERT_EQ(records.size(), 2u);
    EXPECT_FALSE(records[0].bComplete);
    EXPECT_LE(records[0].strUnits.size(), 256u);
    EXPECT_TRUE(records[1].bComplete);
    EXPECT_EQ(records[1].strUnits, U16("next"));
}

TEST(LogRecordParseTest, EightFieldsWithNumbers)
{
    CLogRecord record;
    std::string strError;
    ASSERT_TRUE(ParseLogRecord(U16("LOG_WRITE\t-5\t2147483648\t4294967295\t-7\t.\\src\t-9\tmsg"),
                               &record, &strError))
        << strError;
    EXPECT_EQ(record.strCommand, "LOG_WRITE");
    EXPECT_EQ(record.nTime, -5);
    EXPECT_EQ(record.dwProcessId, 2147483648u);
    EXPECT_EQ(record.dwThreadId, 4294967295u);
    EXPECT_EQ(record.nLevel, -7);
    EXPECT_EQ(record.strSource, ".\\src");
    EXPECT_EQ(record.nLine, -9);
    EXPECT_EQ(record.strMessage, "msg");
}

TEST(LogRecordParseTest, TabsAfterTheSeventhBelongToTheMessage)
{
    CLogRecord record;
    std::string strError;
    ASSERT_TRUE(ParseLogRecord(U16("LOG_WRITE\t1\t2\t3\t4\ts\t5\ta\tb\t\t"), &record, &strError));
    EXPECT_EQ(record.strMessage, "a\tb\t\t");
    ASSERT_TRUE(ParseLogRecord(U16("LOG_WRITE\t1\t2\t3\t4\t\t5\t"), &record, &strError));
    EXPECT_EQ(record.strSource, "");
    EXPECT_EQ(record.strMessage, "");
}

TEST(LogRecordParseTest, MalformedRecordsAreRefusedWithAReason)
{
    const char* aszBad[] = {
        "",
        "LOG_WRITE\t1\t2\t3\t4\ts\t5",             // seven fields
        "LOG_WRITE\tx\t2\t3\t4\ts\t5\tm",          // time not a number
        "LOG_WRITE\t1\t-2\t3\t4\ts\t5\tm",         // negative process id
        "LOG_WRITE\t1\t4294967296\t3\t4\ts\t5\tm", // process id too large
        "LOG_WRITE\t2147483648\t2\t3\t4\ts\t5\tm", // time too large
        "LOG_WRITE\t1\t2\t3\t\ts\t5\tm",           // empty level
        "LOG_WRITE\t1\t2\t3\t4\ts\t+5\tm",         // plus sign
        "LOG_WRITE\t1\t2\t3\t4\ts\t5 \tm",         // trailing blank
        "LOG_WRITE\t1\t2\t3\t4\ts\t-\tm",          // sign alone
        "LOG_WRITE\t1\t2\t3\t4\ts\t99999999999\tm",
    };
    for (const char* szBad : aszBad)
    {
        CLogRecord record;
        std::string strError;
        EXPECT_FALSE(ParseLogRecord(U16(szBad), &record, &strError)) << szBad;
        EXPECT_FALSE(strError.empty()) << szBad;
    }
}

TEST(Utf16Test, EveryLengthOfUtf8)
{
    std::u16string strUnits = {u'A', char16_t(0x00E9), char16_t(0x20AC), char16_t(0xD83D),
                               char16_t(0xDE00)};
    EXPECT_EQ(Utf16ToUtf8(strUnits), "A\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80");
}

TEST(Utf16Test, LoneSurrogatesBecomeReplacementCharacters)
{
    std::u16string strUnits = {char16_t(0xD800), u'x', char16_t(0xDC00), char16_t(0xD83D)};
    EXPECT_EQ(Utf16ToUtf8(strUnits), "\xEF\xBF\xBDx\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(RecordFormatTest, JsonLineHasExactlyTheEightKeys)
{
    CLogRecord record;
    record.strCommand = "LOG_WRITE";
    record.nTime = -1;
    record.dwProcessId = 4294967295u;
    record.dwThreadId = 7;
    record.nLevel = -4;
    record.strSource = ".\\Vendrel";
    record.nLine = 58;
    record.strMessage = "say \"hi\"\t\x01\n";
    EXPECT_EQ(FormatRecordJson(record),
              "{\"command\": \"LOG_WRITE\", \"time\": -1, \"pid\": 4294967295, \"tid\": 7, "
              "\"level\": -4, \"source\": \".\\\\Vendrel\", \"line\": 58, "
              "\"message\": \"say \\\"hi\\\"\\t\\u0001\\n\"}\n");
}

TEST(RecordFormatTest, JsonKeepsUtf8AndEscapesEveryControl)
{
    EXPECT_EQ(JsonQuote("\xC3\xA9\b\f\r\x1f\x7f/"), "\"\xC3\xA9\\b\\f\\r\\u001f\\u007f/\"");
    EXPECT_EQ(FormatErrorJson("bad \"x\"", "raw\ttext"),
              "{\"error\": \"bad \\\"x\\\"\", \"raw\": \"raw\\ttext\"}\n");
}

TEST(RecordFormatTest, TextLineKeepsEveryRecordOnOneLine)
{
    CLogRecord record;
    record.strCommand = "LOG_WRITE";
    record.nTime = 1553648276;
    record.dwProcessId = 12;
    record.dwThreadId = 34;
    record.nLevel = 4;
    record.strSource = ".\\Vendrel";
    record.nLine = 58;
    record.strMessage = "a\tb\r\nc\x1b";
    EXPECT_EQ(FormatRecordText(record), "2019-03-27T00:57:56Z LOG_WRITE pid=12 tid=34 level=4 "
                                        ".\\Vendrel:58 a\\tb\\r\\nc\\x1b\n");
    record.nTime = -1;
    EXPECT_EQ(FormatRecordText(record).substr(0, 20), "1969-12-31T23:59:59Z");
    record.nTime = 0;
    EXPECT_EQ(FormatRecordText(record).substr(0, 20), "1970-01-01T00:00:00Z");
    record.nTime = 951782400; // a leap day
    EXPECT_EQ(FormatRecordText(record).substr(0, 20), "2000-02-29T00:00:00Z");
}

TEST(RecordWriterTest, MalformedRecordBecomesAnErrorLineWithItsRawText)
{
    CAssembledRecord record;
    record.strUnits = U16("LOG_WRITE\tbroken");
    std::string strLine = FormatAssembledRecord(record, ELogFormat::Jsonl);
    EXPECT_EQ(strLine.substr(0, 10), "{\"error\": ");
    EXPECT_NE(strLine.find("\"raw\": \"LOG_WRITE\\tbroken\"}"), std::string::npos);
    record.bComplete = false;
    record.strFault = "connection ended before the record's NUL unit";
    record.strUnits = U16("LOG_WRITE\t1\t2\t3\t4\ts\t5\tm");
    strLine = FormatAssembledRecord(record, ELogFormat::Jsonl);
    EXPECT_NE(strLine.find(record.strFault), std::string::npos);
}

TEST(RecordWriterTest, EachRecordIsWrittenAndFlushedAtOnce)
{
    FILE* pFile = tmpfile();
    ASSERT_NE(pFile, nullptr);
    CRecordWriter writer(pFile, ELogFormat::Jsonl);
    CAssembledRecord record;
    record.strUnits = U16("LOG_WRITE\t1\t2\t3\t4\ts\t5\tm");
    writer.Write(record);
    long nSize = ftell(pFile);
    EXPECT_GT(nSize, 0);
    rewind(pFile);
    char szLine[512] = {0};
    ASSERT_NE(fgets(szLine, sizeof(szLine), pFile), nullptr);
    EXPECT_STREQ(szLine, "{\"command\": \"LOG_WRITE\", \"time\": 1, \"pid\": 2, \"tid\": 3, "
                         "\"level\": 4, \"source\": \"s\", \"line\": 5, \"message\": \"m\"}\n");
    fclose(pFile);
}

static bool Parse(std::vector<const char*> args, CLogdOptions* pOptions, std::string* pstrError)
{
    args.insert(args.begin(), "vendrel-logd");
    return ParseLogdOptions(int(args.size()), const_cast<char**>(args.data()), pOptions, pstrError);
}

TEST(LogdOptionsTest, DefaultsAndEveryOption)
{
    CLogdOptions options;
    std::string strError;
    ASSERT_TRUE(Parse({}, &options, &strError));
    EXPECT_EQ(options.strPipe, "Log_ServerNamePipe");
    EXPECT_EQ(options.strOutput, "");
    EXPECT_EQ(options.eFormat, ELogFormat::Text);
    EXPECT_EQ(options.strGroup, "");
    ASSERT_TRUE(
        Parse({"--pipe", "P2", "--output", "o.jsonl", "--format", "jsonl", "--group", "www"},
              &options, &strError));
    EXPECT_EQ(options.strPipe, "P2");
    EXPECT_EQ(options.strOutput, "o.jsonl");
    EXPECT_EQ(options.eFormat, ELogFormat::Jsonl);
    EXPECT_EQ(options.strGroup, "www");
}

TEST(LogdOptionsTest, BadArgumentsAreRefused)
{
    CLogdOptions options;
    std::string strError;
    EXPECT_FALSE(Parse({"--format", "xml"}, &options, &strError));
    EXPECT_FALSE(Parse({"--pipe"}, &options, &strError));
    EXPECT_FALSE(Parse({"--pipe", "../etc"}, &options, &strError));
    EXPECT_FALSE(Parse({"--verbose"}, &options, &strError));
    EXPECT_FALSE(strError.empty());
    EXPECT_FALSE(Parse({"--group"}, &options, &strError));
    EXPECT_FALSE(Parse({"--group", ""}, &options, &strError));
}
