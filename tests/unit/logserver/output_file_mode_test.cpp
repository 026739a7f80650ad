// The mode of the log server's output files (POSIX): the records hold computed signatures, so
// a file the server makes, at its start, at a reopen or at a rotation by size, is readable by
// its user and group alone whatever the umask; a file that exists keeps its owner's mode.
#include "output_file.h"
#include "record_writer.h"
#include "temp_home.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

namespace
{
const mode_t kLooseUmask = 022;
const mode_t kOwnerGroupRead = 0640;

mode_t ModeOf(const std::string& strPath)
{
    struct stat st;
    if (stat(strPath.c_str(), &st) != 0)
    {
        return 07777;
    }
    return st.st_mode & 07777;
}

// Runs with the umask a shell usually has, and puts the test's own back afterwards.
class OutputFileModeTest : public CTempDirTest
{
protected:
    void SetUp() override
    {
        CTempDirTest::SetUp();
        m_oldUmask = umask(kLooseUmask);
    }
    void TearDown() override
    {
        umask(m_oldUmask);
        CTempDirTest::TearDown();
    }

    mode_t m_oldUmask = 0;
};

CAssembledRecord Record(const std::string& strMessage)
{
    CAssembledRecord record;
    std::string strUnits = "LOG_WRITE\t1\t2\t3\t4\ts\t5\t" + strMessage;
    record.strUnits = std::u16string(strUnits.begin(), strUnits.end());
    return record;
}
} // namespace

TEST_F(OutputFileModeTest, NewFilesAreForTheOwnerAndGroupWhateverTheUmask)
{
    std::string strPath = Path("trace.jsonl");
    std::string strError;
    FILE* pOut = OpenOutputFile(strPath, &strError);
    ASSERT_NE(pOut, nullptr) << strError;
    EXPECT_EQ(ModeOf(strPath), kOwnerGroupRead);

    // A rotation by size begins a new file the same way, and the moved one keeps its mode.
    CRecordWriter writer(pOut, ELogFormat::Jsonl);
    const uint64_t nMaxBytes = 100;
    writer.EnableRotation(strPath, nMaxBytes, 2);
    for (int i = 0; i < 4; i++)
    {
        writer.Write(Record("record " + std::to_string(i) + std::string(60, 'x')));
    }
    writer.Flush();
    EXPECT_EQ(ModeOf(strPath + ".1"), kOwnerGroupRead);
    EXPECT_EQ(ModeOf(strPath), kOwnerGroupRead);

    // A reopen after an outside rotation moved the file away.
    ASSERT_EQ(rename(strPath.c_str(), (strPath + ".moved").c_str()), 0);
    ASSERT_TRUE(writer.Reopen(strPath, &strError)) << strError;
    EXPECT_EQ(ModeOf(strPath), kOwnerGroupRead);
    writer.Close();
}

TEST_F(OutputFileModeTest, StricterUmaskNarrowsFurtherAndExistingFilesKeepTheirMode)
{
    umask(077);
    std::string strPrivate = Path("private.jsonl");
    std::string strError;
    FILE* pOut = OpenOutputFile(strPrivate, &strError);
    ASSERT_NE(pOut, nullptr) << strError;
    fclose(pOut);
    EXPECT_EQ(ModeOf(strPrivate), mode_t(0600));

    // An administrator who opened the file to others on purpose keeps that choice.
    std::string strShared = Path("shared.jsonl");
    pOut = fopen(strShared.c_str(), "w");
    ASSERT_NE(pOut, nullptr);
    fclose(pOut);
    ASSERT_EQ(chmod(strShared.c_str(), 0644), 0);
    pOut = OpenOutputFile(strShared, &strError);
    ASSERT_NE(pOut, nullptr) << strError;
    fclose(pOut);
    EXPECT_EQ(ModeOf(strShared), mode_t(0644));
}
