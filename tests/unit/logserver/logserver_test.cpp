// The log server's record handling: assembling, splitting, converting and writing records.
#include "log_record_parse.h"
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

// True when strLine is one line that a terminal shows as one line and obeys no command of: no
// byte below 0x20 but its final line feed, no DEL, no C1 control, no U+2028/U+2029.
static bool IsOneInertLine(const std::string& strLine)
{
    if (strLine.empty() || strLine.back() != '\n')
    {
        return false;
    }
    const unsigned char* p = reinterpret_cast<const unsigned char*>(strLine.data());
    size_t nBody = strLine.size() - 1;
    for (size_t i = 0; i < nBody; i++)
    {
        bool bC0OrDel = p[i] < 0x20 || p[i] == 0x7F;
        bool bC1 = p[i] == 0xC2 && i + 1 < nBody && p[i + 1] >= 0x80 && p[i + 1] <= 0x9F;
        bool bSeparator = p[i] == 0xE2 && i + 2 < nBody && p[i + 1] == 0x80 &&
                          (p[i + 2] == 0xA8 || p[i + 2] == 0xA9);
        if (bC0OrDel || bC1 || bSeparator)
        {
            return false;
        }
    }
    return true;
}

struct CHostileMessage
{
    const char* szName;
    std::u16string strUnits;
    const char* szTextEscaped; // how the text form shows it
};

static std::vector<CHostileMessage> HostileMessages()
{
    return {
        {"C0", u"a\x01\x1b[31m\x1f", "a\\x01\\x1b[31m\\x1f"},
        {"line breaks", u"a\r\nb\nc\rd", "a\\r\\nb\\nc\\rd"},
        {"DEL", u"a\x7f", "a\\x7f"},
        {"C1 CSI",
         u"a\x9b"
         u"31m",
         "a\\u009b31m"},
        {"C1 NEL and ends", u"\x85\x80\x9f", "\\u0085\\u0080\\u009f"},
        {"line and paragraph separators", u"a\u2028b\u2029c", "a\\u2028b\\u2029c"},
        {"neighbours stay", u"\xa0\u00e9\u2027\u202a\u20ac",
         "\xC2\xA0\xC3\xA9\xE2\x80\xA7\xE2\x80\xAA\xE2\x82\xAC"},
        {"lone surrogates", std::u16string{u'x', char16_t(0xD800), u'y', char16_t(0xDC00)},
         "x\xEF\xBF\xBDy\xEF\xBF\xBD"},
        {"surrogate then NEL", std::u16string{char16_t(0xDBFF), char16_t(0x85)},
         "\xEF\xBF\xBD\\u0085"},
    };
}

// Every message a client may send shows as exactly one line in the text form, escaped as its
// readers expect; jsonl gives the same line safety and the same string to a JSON reader.
TEST(RecordFormatTest, EveryControlIsEscapedInBothForms)
{
    for (const CHostileMessage& c : HostileMessages())
    {
        SCOPED_TRACE(c.szName);
        CAssembledRecord record;
        record.strUnits =
            U16("LOG_WRITE\t1\t2\t3\t4\tsrc") + c.strUnits + U16("\t5\t") + c.strUnits;
        std::string strText = FormatAssembledRecord(record, ELogFormat::Text);
        EXPECT_TRUE(IsOneInertLine(strText)) << strText;
        std::string strWant =
            std::string("1970-01-01T00:00:01Z LOG_WRITE pid=2 tid=3 level=4 src") +
            c.szTextEscaped + ":5 " + c.szTextEscaped + "\n";
        EXPECT_EQ(strText, strWant);
        EXPECT_TRUE(IsOneInertLine(FormatAssembledRecord(record, ELogFormat::Jsonl)));

        // Records that cannot be parsed or ended early keep their raw text on one line too.
        CAssembledRecord broken;
        broken.strUnits = U16("LOG_WRITE\t") + c.strUnits;
        EXPECT_TRUE(IsOneInertLine(FormatAssembledRecord(broken, ELogFormat::Text)));
        EXPECT_TRUE(IsOneInertLine(FormatAssembledRecord(broken, ELogFormat::Jsonl)));
        broken.bComplete = false;
        broken.strFault = "connection ended before the record's NUL unit";
        EXPECT_EQ(FormatAssembledRecord(broken, ELogFormat::Text),
                  "error: " + broken.strFault + " raw: LOG_WRITE\\t" + c.szTextEscaped + "\n");
        EXPECT_TRUE(IsOneInertLine(FormatAssembledRecord(broken, ELogFormat::Jsonl)));
    }
}

TEST(RecordFormatTest, JsonWritesWideControlsAsEscapesOfTheSameCharacters)
{
    EXPECT_EQ(JsonQuote("\xC2\x80\xC2\x9B\xC2\x9F\xC2\xA0"), "\"\\u0080\\u009b\\u009f\xC2\xA0\"");
    EXPECT_EQ(JsonQuote("\xE2\x80\xA8\xE2\x80\xA9\xE2\x80\xAA"), "\"\\u2028\\u2029\xE2\x80\xAA\"");
    // A sequence cut at the end of the text is left as it is, never read past.
    EXPECT_EQ(JsonQuote(std::string("\xE2\x80", 2)), std::string("\"\xE2\x80\"", 4));
    EXPECT_EQ(EscapeControls(std::string("\xC2", 1)), std::string("\xC2", 1));
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
