// Filing an upload into the quarantine folder.
#include "quarantine_test_env.h"

#include <string>

namespace
{

const int32_t kTime = 1700000000;
const char kPrefix[] = "[Vendrel:MoveInfectedFile] ";

time_t FixedTime(time_t* pTime)
{
    if (pTime != nullptr)
    {
        *pTime = kTime;
    }
    return kTime;
}

// The status query answers "exists" for every name, and counts the names it was asked about.
int g_nQueries = 0;
DWORD WINAPI EverythingExists(LPCSTR)
{
    ++g_nQueries;
    return FILE_ATTRIBUTE_NORMAL;
}

// A competing process that takes the target name just before each of the first
// g_nRacesToLose moves, writing its own upload there.
int g_nRacesToLose = 0;
int g_nMoves = 0;
BOOL WINAPI MoveAfterCompetitor(LPCSTR szFrom, LPCSTR szTo)
{
    ++g_nMoves;
    if (g_nRacesToLose > 0)
    {
        --g_nRacesToLose;
        WriteWholeFile(szTo, "competitor");
    }
    return MoveFileA(szFrom, szTo);
}

// A move that fails with a given error before touching anything, the first g_nRacesToLose times.
DWORD g_dwMoveError = 0;
BOOL WINAPI MoveFailingWith(LPCSTR szFrom, LPCSTR szTo)
{
    ++g_nMoves;
    if (g_nRacesToLose > 0)
    {
        --g_nRacesToLose;
        SetLastError(g_dwMoveError);
        return FALSE;
    }
    return MoveFileA(szFrom, szTo);
}

class QuarantineFilingTest : public CQuarantineTest
{
protected:
    void SetUp() override
    {
        CQuarantineTest::SetUp();
        SetSystemCall("time", (SYSTEM_CALL_PTR)FixedTime);
        g_nQueries = 0;
        g_nRacesToLose = 0;
        g_nMoves = 0;
        g_dwMoveError = 0;
        m_strUpload = m_pHome->Join("TEMP") + VENDREL_DIR_SEP_STR "upload_1a2b";
        WriteWholeFile(m_strUpload, "infected payload");
    }
    std::string Target(const std::string& strComputer, int n, int32_t nTime = kTime) const
    {
        return Folder() + VENDREL_DIR_SEP_STR + strComputer + "_" + std::to_string(nTime) + "." +
               std::to_string(n);
    }
    // The traces of a move that failed with nError, after which the upload was deleted.
    ::testing::AssertionResult HasMoveFailure(const std::vector<TraceRecord>& records,
                                              int nError) const
    {
        if (Lines(records) != std::vector<int>{293, 294, 320, 322})
        {
            return ::testing::AssertionFailure()
                   << "trace lines " << ::testing::PrintToString(Lines(records));
        }
        return HasTrace(records, 320, 4,
                        std::string(kPrefix) + "Move file failed, error = " +
                            std::to_string(nError) + ", delete " + m_strUpload);
    }
    std::string DeletedText(int nRet) const
    {
        return std::string(kPrefix) + "DeleteFile(" + m_strUpload +
               "), bRet = " + std::to_string(nRet) + ", error = ";
    }
    // The deletion trace at nLine: the upload path, bRet, and (when given) the error code.
    ::testing::AssertionResult HasDeletion(const std::vector<TraceRecord>& records, int nLine,
                                           int nRet, int nError = -1) const
    {
        const TraceRecord* pRecord = FindLine(records, nLine);
        if (pRecord == nullptr)
        {
            return ::testing::AssertionFailure() << "no deletion trace at line " << nLine;
        }
        std::string strExpected = DeletedText(nRet);
        size_t nAt = pRecord->strMessage.find(strExpected);
        bool bErrorOk =
            nError < 0 || EndsWith(pRecord->strMessage, strExpected + std::to_string(nError));
        if (pRecord->nLevel != 4 || nAt == std::string::npos || !bErrorOk)
        {
            return ::testing::AssertionFailure() << "deletion trace \"" << pRecord->strMessage
                                                 << "\" (level " << pRecord->nLevel << ")";
        }
        return ::testing::AssertionSuccess();
    }

    std::string m_strUpload;
};

TEST_F(QuarantineFilingTest, FirstUploadOfTheSecondGetsNumberZero)
{
    EXPECT_TRUE(MoveInfectedFile("PC7", m_strUpload.c_str()));
    std::string strTarget = Target("PC7", 0);
    EXPECT_EQ("infected payload", ReadWholeFile(strTarget));
    EXPECT_FALSE(PathExists(m_strUpload));
    EXPECT_EQ((std::vector<std::string>{"PC7_1700000000.0"}), ListNames(Folder()));

    std::vector<TraceRecord> records = Records();
    EXPECT_EQ((std::vector<int>{293, 294, 325}), Lines(records));
    EXPECT_TRUE(HasTrace(records, 293, 4,
                         std::string(kPrefix) + "szTempFileFullPathName(" + strTarget + ")"));
    EXPECT_TRUE(
        HasTrace(records, 294, 4,
                 std::string(kPrefix) + "szDestFullPath(" + Folder() + VENDREL_DIR_SEP_STR ")"));
    EXPECT_TRUE(HasTrace(records, 325, 4,
                         std::string(kPrefix) + "MoveFile(" + m_strUpload + ", " + strTarget +
                             ") success"));
}

TEST_F(QuarantineFilingTest, NameCarriesTheCurrentTime)
{
    ResetSystemCalls();
    int32_t nBefore = static_cast<int32_t>(time(nullptr));
    EXPECT_TRUE(MoveInfectedFile("PC7", m_strUpload.c_str()));
    int32_t nAfter = static_cast<int32_t>(time(nullptr));
    bool bFound = false;
    for (int32_t nTime = nBefore; nTime <= nAfter; ++nTime)
    {
        bFound = bFound || PathExists(Target("PC7", 0, nTime));
    }
    EXPECT_TRUE(bFound);
    EXPECT_EQ(1u, ListNames(Folder()).size());
}

TEST_F(QuarantineFilingTest, TakenNumbersAreSkipped)
{
    WriteWholeFile(Target("PC7", 0), "first");
    WriteWholeFile(Target("PC7", 1), "second");
    // Other computers and other seconds do not count.
    WriteWholeFile(Target("PC8", 2), "other computer");
    WriteWholeFile(Target("PC7", 2, kTime - 1), "other second");
    EXPECT_TRUE(MoveInfectedFile("PC7", m_strUpload.c_str()));
    EXPECT_EQ("infected payload", ReadWholeFile(Target("PC7", 2)));
    EXPECT_EQ("first", ReadWholeFile(Target("PC7", 0)));
    EXPECT_EQ("second", ReadWholeFile(Target("PC7", 1)));
    EXPECT_EQ("other computer", ReadWholeFile(Target("PC8", 2)));
    EXPECT_TRUE(HasTrace(Records(), 325, 4,
                         std::string(kPrefix) + "MoveFile(" + m_strUpload + ", " +
                             Target("PC7", 2) + ") success"));
}

TEST_F(QuarantineFilingTest, ComputerNameWithSeparatorIsCaughtByTheContainmentCheck)
{
    MakeDirectory(Folder() + VENDREL_DIR_SEP_STR "sub");
    std::string strComputer = std::string("sub") + VENDREL_DIR_SEP_STR + "PC7";
    EXPECT_FALSE(MoveInfectedFile(strComputer.c_str(), m_strUpload.c_str()));
    EXPECT_FALSE(PathExists(m_strUpload));
    EXPECT_TRUE(ListNames(Folder() + VENDREL_DIR_SEP_STR "sub").empty());

    std::vector<TraceRecord> records = Records();
    EXPECT_EQ((std::vector<int>{293, 294, 304, 306}), Lines(records));
    EXPECT_TRUE(HasTrace(records, 304, 4,
                         std::string(kPrefix) + "Invalid target file(" + Target(strComputer, 0) +
                             "), abort the process"));
    EXPECT_TRUE(HasDeletion(records, 306, 1));
}

TEST_F(QuarantineFilingTest, ComputerNameClimbingOutOfTheFolderIsCaught)
{
    std::string strComputer = std::string("..") + VENDREL_DIR_SEP_STR + "PC7";
    EXPECT_FALSE(MoveInfectedFile(strComputer.c_str(), m_strUpload.c_str()));
    EXPECT_FALSE(PathExists(m_strUpload));
    EXPECT_FALSE(PathExists(m_pHome->Join("PC7_1700000000.0")));
    std::vector<TraceRecord> records = Records();
    EXPECT_TRUE(HasTrace(records, 293, 4,
                         std::string(kPrefix) + "szTempFileFullPathName(" +
                             m_pHome->Join("PC7_1700000000.0") + ")"));
    EXPECT_NE(nullptr, FindLine(records, 304));
    EXPECT_TRUE(HasDeletion(records, 306, 1));
}

TEST_F(QuarantineFilingTest, MissingFolderFailsTheMoveAndDeletesTheUpload)
{
    std::string strMissing = m_pHome->Join("absent");
    m_pHome->WriteSettings("Quarantine_Folder=" + strMissing + "\n");
    EXPECT_FALSE(MoveInfectedFile("PC7", m_strUpload.c_str()));
    EXPECT_FALSE(PathExists(m_strUpload));
    EXPECT_FALSE(PathExists(strMissing));

    std::vector<TraceRecord> records = Records();
    EXPECT_TRUE(HasMoveFailure(records, 3));
    EXPECT_TRUE(HasDeletion(records, 322, 1));
}

TEST_F(QuarantineFilingTest, MissingUploadFailsTheMoveAndTheDeletion)
{
    DeleteFileA(m_strUpload.c_str());
    EXPECT_FALSE(MoveInfectedFile("PC7", m_strUpload.c_str()));
    EXPECT_TRUE(ListNames(Folder()).empty());

    std::vector<TraceRecord> records = Records();
    EXPECT_TRUE(HasMoveFailure(records, 2));
    EXPECT_TRUE(HasDeletion(records, 322, 0, 2));
}

TEST_F(QuarantineFilingTest, UnresolvablePathDeletesTheUpload)
{
    // A relative folder resolves against the working directory, which makes the absolute
    // target longer than 260 characters.
    std::string strRelative(250, 'r');
    m_pHome->WriteSettings("Quarantine_Folder=" + strRelative + "\n");
    EXPECT_FALSE(MoveInfectedFile("PC7", m_strUpload.c_str()));
    EXPECT_FALSE(PathExists(m_strUpload));

    std::vector<TraceRecord> records = Records();
    EXPECT_EQ((std::vector<int>{312, 314}), Lines(records));
    std::string strCandidate =
        (strRelative + VENDREL_DIR_SEP_STR "PC7_1700000000.0").substr(0, 260);
    EXPECT_TRUE(HasTrace(records, 312, 4,
                         std::string(kPrefix) + "_tfullpath(" + strCandidate + "), _tfullpath(" +
                             strRelative + VENDREL_DIR_SEP_STR ") error"));
    EXPECT_TRUE(HasDeletion(records, 314, 1));
}

// A computer name that makes the candidate longer than 260 characters with nKeep characters
// of the ".<n>" tail left after the cut.
std::string LongComputerName(const std::string& strFolder, size_t nKeep)
{
    size_t nFixed = strFolder.size() + 1 + std::string("_1700000000").size() + nKeep;
    return std::string(260 - nFixed, 'c');
}

TEST_F(QuarantineFilingTest, CutThatRemovesTheNumberEndsTheSearch)
{
    SetSystemCall("GetFileAttributesA", (SYSTEM_CALL_PTR)EverythingExists);
    SetSystemCall("MoveFileA", (SYSTEM_CALL_PTR)MoveAfterCompetitor);
    std::string strComputer = LongComputerName(Folder(), 0);
    EXPECT_FALSE(MoveInfectedFile(strComputer.c_str(), m_strUpload.c_str()));
    // The second candidate is the first one again: the search stops there.
    EXPECT_EQ(1, g_nQueries);
    EXPECT_EQ(0, g_nMoves);
    EXPECT_FALSE(PathExists(m_strUpload));
    std::vector<TraceRecord> records = Records();
    EXPECT_EQ((std::vector<int>{289, 290}), Lines(records));
    EXPECT_TRUE(
        HasTrace(records, 289, 4, std::string(kPrefix) + "no free target name for " + m_strUpload));
    EXPECT_TRUE(HasDeletion(records, 290, 1));
}

TEST_F(QuarantineFilingTest, CutThatLeavesOneDigitEndsWhenTheDigitRepeats)
{
    SetSystemCall("GetFileAttributesA", (SYSTEM_CALL_PTR)EverythingExists);
    // ".0" .. ".9" differ; ".1" for n = 10 is new after ".9", and n = 11 repeats it.
    std::string strComputer = LongComputerName(Folder(), 2);
    EXPECT_FALSE(MoveInfectedFile(strComputer.c_str(), m_strUpload.c_str()));
    EXPECT_EQ(11, g_nQueries);
    EXPECT_FALSE(PathExists(m_strUpload));
    EXPECT_EQ((std::vector<int>{289, 290}), Lines(Records()));
}

TEST_F(QuarantineFilingTest, FullNameSpaceEndsAfterAThousandTries)
{
    SetSystemCall("GetFileAttributesA", (SYSTEM_CALL_PTR)EverythingExists);
    EXPECT_FALSE(MoveInfectedFile("PC7", m_strUpload.c_str()));
    EXPECT_EQ(1000, g_nQueries);
    EXPECT_FALSE(PathExists(m_strUpload));
    EXPECT_EQ((std::vector<int>{289, 290}), Lines(Records()));
}

TEST_F(QuarantineFilingTest, LostRaceGoesOnWithTheNextNumber)
{
    SetSystemCall("MoveFileA", (SYSTEM_CALL_PTR)MoveAfterCompetitor);
    g_nRacesToLose = 1;
    EXPECT_TRUE(MoveInfectedFile("PC7", m_strUpload.c_str()));
    EXPECT_EQ(2, g_nMoves);
    EXPECT_EQ("competitor", ReadWholeFile(Target("PC7", 0)));
    EXPECT_EQ("infected payload", ReadWholeFile(Target("PC7", 1)));
    EXPECT_FALSE(PathExists(m_strUpload));

    std::vector<TraceRecord> records = Records();
    EXPECT_EQ((std::vector<int>{293, 294, 318, 293, 294, 325}), Lines(records));
    EXPECT_TRUE(HasTrace(records, 318, 4,
                         std::string(kPrefix) + "target " + Target("PC7", 0) +
                             " was taken meanwhile, trying the next name"));
    EXPECT_TRUE(HasTrace(records, 325, 4,
                         std::string(kPrefix) + "MoveFile(" + m_strUpload + ", " +
                             Target("PC7", 1) + ") success"));
}

TEST_F(QuarantineFilingTest, LostRaceResumesTheSearchPastTakenNames)
{
    WriteWholeFile(Target("PC7", 1), "older");
    SetSystemCall("MoveFileA", (SYSTEM_CALL_PTR)MoveAfterCompetitor);
    g_nRacesToLose = 1;
    EXPECT_TRUE(MoveInfectedFile("PC7", m_strUpload.c_str()));
    EXPECT_EQ("competitor", ReadWholeFile(Target("PC7", 0)));
    EXPECT_EQ("older", ReadWholeFile(Target("PC7", 1)));
    EXPECT_EQ("infected payload", ReadWholeFile(Target("PC7", 2)));
}

TEST_F(QuarantineFilingTest, FileExistsErrorAlsoCountsAsALostRace)
{
    SetSystemCall("MoveFileA", (SYSTEM_CALL_PTR)MoveFailingWith);
    g_dwMoveError = ERROR_FILE_EXISTS;
    g_nRacesToLose = 3;
    EXPECT_TRUE(MoveInfectedFile("PC7", m_strUpload.c_str()));
    EXPECT_EQ(4, g_nMoves);
    EXPECT_EQ("infected payload", ReadWholeFile(Target("PC7", 3)));
    EXPECT_EQ(3, CountLine(Records(), 318));
}

TEST_F(QuarantineFilingTest, OtherMoveErrorsDelete)
{
    SetSystemCall("MoveFileA", (SYSTEM_CALL_PTR)MoveFailingWith);
    g_dwMoveError = ERROR_ACCESS_DENIED;
    g_nRacesToLose = 1;
    EXPECT_FALSE(MoveInfectedFile("PC7", m_strUpload.c_str()));
    EXPECT_EQ(1, g_nMoves);
    EXPECT_FALSE(PathExists(m_strUpload));
    std::vector<TraceRecord> records = Records();
    EXPECT_TRUE(HasMoveFailure(records, 5));
}

TEST_F(QuarantineFilingTest, RacesLostOnEveryNameEndAfterAThousandTries)
{
    SetSystemCall("MoveFileA", (SYSTEM_CALL_PTR)MoveAfterCompetitor);
    g_nRacesToLose = 5000;
    EXPECT_FALSE(MoveInfectedFile("PC7", m_strUpload.c_str()));
    EXPECT_EQ(1000, g_nMoves);
    EXPECT_FALSE(PathExists(m_strUpload));
    EXPECT_EQ(1000u, ListNames(Folder()).size());
    std::vector<TraceRecord> records = Records();
    EXPECT_EQ(1000, CountLine(records, 318));
    EXPECT_TRUE(
        HasTrace(records, 289, 4, std::string(kPrefix) + "no free target name for " + m_strUpload));
    EXPECT_TRUE(HasDeletion(records, 290, 1));
}

} // namespace
