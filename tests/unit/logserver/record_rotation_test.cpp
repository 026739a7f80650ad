// Rotation of the output by size: exactly the generations asked for, every record once and
// whole, in order across the generations, and nothing lost when a rotation cannot be done.
#include "output_file.h"
#include "record_writer.h"
#include "temp_home.h"
#include "test_files.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace
{
std::u16string U16(const std::string& strAscii)
{
    return std::u16string(strAscii.begin(), strAscii.end());
}

CAssembledRecord Record(const std::string& strMessage)
{
    CAssembledRecord record;
    record.strUnits = U16("LOG_WRITE\t1\t2\t3\t4\ts\t5\t" + strMessage);
    return record;
}

// The output line of Record(strMessage).
std::string Line(const std::string& strMessage)
{
    return FormatAssembledRecord(Record(strMessage), ELogFormat::Jsonl);
}

// Record i's message: its number, then padding that makes the sizes vary.
std::string Message(int i)
{
    return "r" + std::to_string(i) + " " + std::string(size_t(i * 37 % 300), 'x');
}

std::string ReadFile(const std::string& strPath)
{
    std::ifstream in(strPath, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

// The whole lines of a file; a last line without its line feed is returned with "(cut)".
std::vector<std::string> FileLines(const std::string& strPath)
{
    std::vector<std::string> lines;
    std::string strContent = ReadFile(strPath);
    size_t nStart = 0;
    while (nStart < strContent.size())
    {
        size_t nEnd = strContent.find('\n', nStart);
        if (nEnd == std::string::npos)
        {
            lines.push_back(strContent.substr(nStart) + "(cut)");
            break;
        }
        lines.push_back(strContent.substr(nStart, nEnd + 1 - nStart));
        nStart = nEnd + 1;
    }
    return lines;
}

class RecordRotationTest : public CTempDirTest
{
protected:
    void SetUp() override
    {
        CTempDirTest::SetUp();
        m_strPath = Path("trace.jsonl");
    }
    void TearDown() override
    {
        // Whichever file the writer has by now is closed before the directory goes.
        if (m_pWriter)
        {
            m_pWriter->Close();
            m_pWriter.reset();
        }
        CTempDirTest::TearDown();
    }

    void Open(uint64_t nMaxBytes, unsigned nKeep)
    {
        std::string strError;
        FILE* pOut = OpenOutputFile(m_strPath, &strError);
        ASSERT_NE(pOut, nullptr) << strError;
        m_pWriter.reset(new CRecordWriter(pOut, ELogFormat::Jsonl));
        m_pWriter->EnableRotation(m_strPath, nMaxBytes, nKeep);
    }

    std::string Generation(unsigned n) const { return m_strPath + "." + std::to_string(n); }

    // The lines of the generations, oldest first, then of the live file.
    std::vector<std::string> AllLines(unsigned nKeep) const
    {
        std::vector<std::string> lines;
        for (unsigned n = nKeep; n >= 1; n--)
        {
            std::vector<std::string> generation = FileLines(Generation(n));
            lines.insert(lines.end(), generation.begin(), generation.end());
        }
        std::vector<std::string> live = FileLines(m_strPath);
        lines.insert(lines.end(), live.begin(), live.end());
        return lines;
    }

    std::string m_strPath;
    std::unique_ptr<CRecordWriter> m_pWriter;
};
} // namespace

TEST_F(RecordRotationTest, ExactlyTheGenerationsAskedForEveryRecordOnceWholeAndInOrder)
{
    const uint64_t nMaxBytes = 2000;
    const unsigned nKeep = 3;
    Open(nMaxBytes, nKeep);
    const int nRecords = 300;
    for (int i = 0; i < nRecords; i++)
    {
        // Both ways of writing a record rotate alike.
        if (i % 2 == 0)
        {
            m_pWriter->WriteBuffered(Record(Message(i)));
        }
        else
        {
            m_pWriter->Write(Record(Message(i)));
        }
    }
    m_pWriter->Flush();
    for (unsigned n = 1; n <= nKeep; n++)
    {
        ASSERT_TRUE(PathExists(Generation(n))) << n;
        std::string strContent = ReadFile(Generation(n));
        EXPECT_LE(strContent.size(), nMaxBytes) << n;
        // Full: the first record of the next file did not fit.
        std::vector<std::string> next = FileLines(n == 1 ? m_strPath : Generation(n - 1));
        ASSERT_FALSE(next.empty()) << n;
        EXPECT_GT(strContent.size() + next[0].size(), nMaxBytes) << n;
    }
    EXPECT_FALSE(PathExists(Generation(nKeep + 1)));
    EXPECT_EQ(ListNames(m_strDir).size(), nKeep + 1);
    EXPECT_LE(ReadFile(m_strPath).size(), nMaxBytes);

    // What is kept is the newest records, each once, whole, in the order written.
    std::vector<std::string> lines = AllLines(nKeep);
    ASSERT_GT(lines.size(), 20u);
    ASSERT_LT(lines.size(), size_t(nRecords));
    int nFirst = nRecords - int(lines.size());
    for (size_t i = 0; i < lines.size(); i++)
    {
        EXPECT_EQ(lines[i], Line(Message(nFirst + int(i)))) << i;
    }
}

TEST_F(RecordRotationTest, NothingIsDroppedWhileTheGenerationsLast)
{
    Open(1000, 1000);
    for (int i = 0; i < 200; i++)
    {
        m_pWriter->WriteBuffered(Record(Message(i)));
    }
    m_pWriter->Flush();
    std::vector<std::string> lines = AllLines(1000);
    ASSERT_EQ(lines.size(), 200u);
    for (int i = 0; i < 200; i++)
    {
        EXPECT_EQ(lines[size_t(i)], Line(Message(i)));
    }
}

TEST_F(RecordRotationTest, ALineLargerThanTheLimitFillsAFileOfItsOwn)
{
    Open(300, 5);
    std::string strHuge = "huge " + std::string(1000, 'h');
    m_pWriter->Write(Record("small 1"));
    m_pWriter->Write(Record(strHuge));
    m_pWriter->Write(Record("small 2"));
    EXPECT_EQ(FileLines(Generation(2)), (std::vector<std::string>{Line("small 1")}));
    EXPECT_EQ(FileLines(Generation(1)), (std::vector<std::string>{Line(strHuge)}));
    EXPECT_EQ(FileLines(m_strPath), (std::vector<std::string>{Line("small 2")}));
}

TEST_F(RecordRotationTest, WhatTheFileHeldAtTheStartCounts)
{
    std::string strOld = std::string(950, 'o') + "\n";
    ASSERT_TRUE(WriteWholeFile(m_strPath, strOld));
    Open(1000, 2);
    m_pWriter->Write(Record("new"));
    EXPECT_EQ(ReadFile(Generation(1)), strOld);
    EXPECT_EQ(FileLines(m_strPath), (std::vector<std::string>{Line("new")}));
}

// After an outside rotation (rename, then SIGHUP), the count starts from the new file.
TEST_F(RecordRotationTest, ReopeningCountsTheNewFileOnly)
{
    Open(1000, 2);
    m_pWriter->Write(Record(std::string(800, 'a')));
    std::string strError;
    ASSERT_TRUE(RenameOutputFile(m_strPath, m_strPath + ".moved", &strError)) << strError;
    ASSERT_TRUE(m_pWriter->Reopen(m_strPath, &strError)) << strError;
    m_pWriter->Write(Record(std::string(800, 'b')));
    EXPECT_FALSE(PathExists(Generation(1)));
    EXPECT_EQ(FileLines(m_strPath), (std::vector<std::string>{Line(std::string(800, 'b'))}));
    m_pWriter->Write(Record(std::string(800, 'c')));
    EXPECT_EQ(FileLines(Generation(1)), (std::vector<std::string>{Line(std::string(800, 'b'))}));
    EXPECT_EQ(FileLines(m_strPath + ".moved"),
              (std::vector<std::string>{Line(std::string(800, 'a'))}));
}

// A generation that cannot be replaced (here a directory where FILE.1 belongs) stops the
// rotation, with a line on standard error; the records go on to the file in use, all of them.
TEST_F(RecordRotationTest, ARotationThatCannotBeDoneLosesNothing)
{
    MakeDirectory(Generation(1));
    ASSERT_TRUE(WriteWholeFile(Generation(1) + "/keep", "x"));
    Open(500, 1);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 20; i++)
    {
        m_pWriter->Write(Record(Message(i)));
    }
    std::string strErr = testing::internal::GetCapturedStderr();
    std::vector<std::string> lines = FileLines(m_strPath);
    ASSERT_EQ(lines.size(), 20u);
    for (int i = 0; i < 20; i++)
    {
        EXPECT_EQ(lines[size_t(i)], Line(Message(i)));
    }
    EXPECT_NE(strErr.find("vendrel-logd: rotation: cannot rename"), std::string::npos) << strErr;
    // Tried again only after a while, not at every record.
    EXPECT_EQ(strErr.find("rotation:", strErr.find("rotation:") + 1), std::string::npos) << strErr;
    EXPECT_EQ(ReadFile(Generation(1) + "/keep"), "x");
}
