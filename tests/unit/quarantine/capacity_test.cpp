// Where the folder is, the capacity check and the total after an accepted upload.
#include "quarantine_test_env.h"

#include "kelsio.h"

#include <filesystem>
#include <string>

namespace
{

const int64_t kMegabyte = 1048576;
const char kExceed[] = "[Vendrel:VerifyVirusFolderSize] Quarantine folder size is exceed ";

class QuarantineCapacityTest : public CQuarantineTest
{
protected:
    // A fresh cache holding nSize, so the folder's size is that value without a scan.
    void SetFolderSize(int64_t nSize) const { WriteWholeFile(StorePath(), LittleEndian64(nSize)); }
    int64_t StoredSize() const { return FromLittleEndian64(ReadWholeFile(StorePath())); }
};

TEST_F(QuarantineCapacityTest, UploadFillingTheFolderExactlyFitsOneByteMoreDoesNot)
{
    Configure("Quarantine_Folder_Capacity=3\n");
    SetFolderSize(2 * kMegabyte + 17);
    EXPECT_TRUE(VerifyVirusFolderSize((kMegabyte - 17)));
    EXPECT_EQ(nullptr, FindLine(Records(), 351));
    EXPECT_FALSE(VerifyVirusFolderSize((kMegabyte - 16)));
    // The size before the upload.
    EXPECT_TRUE(HasTrace(Records(), 351, 4, kExceed + std::to_string(2 * kMegabyte + 17)));
    // The check never writes the total.
    EXPECT_EQ(2 * kMegabyte + 17, StoredSize());
}

// An upload of nLargestFit bytes fits, one byte more does not, and the refusal traces the
// folder's size.
struct SBoundary
{
    const char* szName;
    const char* szSettings;
    int64_t nFolderSize;
    int64_t nLargestFit;
    const char* szTracedSize;
};

// Test names show the case by its name, not its bytes.
static void PrintTo(const SBoundary& param, std::ostream* pOut)
{
    *pOut << param.szName;
}

class QuarantineCapacityBoundaryTest : public QuarantineCapacityTest,
                                       public ::testing::WithParamInterface<SBoundary>
{
};

TEST_P(QuarantineCapacityBoundaryTest, LargestFitPassesOneByteMoreIsRefused)
{
    Configure(GetParam().szSettings);
    SetFolderSize(GetParam().nFolderSize);
    EXPECT_TRUE(VerifyVirusFolderSize(GetParam().nLargestFit));
    EXPECT_FALSE(VerifyVirusFolderSize(GetParam().nLargestFit + 1));
    EXPECT_TRUE(HasTrace(Records(), 351, 4, kExceed + std::string(GetParam().szTracedSize)));
}

INSTANTIATE_TEST_SUITE_P(
    Capacity, QuarantineCapacityBoundaryTest,
    ::testing::Values(
        SBoundary{"DefaultCapacityIsTenGigabytes", "", 10240 * kMegabyte - 100, 100, "10737418140"},
        // 4096 MB = 2^32 bytes: a 32-bit product would be 0.
        SBoundary{"LargeCapacityIsComputedInSixtyFourBits", "Quarantine_Folder_Capacity=4096\n",
                  4096 * kMegabyte - 1000, 1000, "4294966296"},
        SBoundary{"FolderAboveTwoToTheThirtyFirstShowsWhole",
                  "Quarantine_Folder_Capacity=2147483647\n", 2147483647LL * kMegabyte, 0,
                  "2251799812636672"},
        // The upload's own size is 64-bit: up to 8 GiB less the folder's 1000 bytes.
        SBoundary{"UploadBeyondThirtyTwoBitsCountsWhole", "Quarantine_Folder_Capacity=8192\n", 1000,
                  8192 * kMegabyte - 1000, "1000"}),
    [](const ::testing::TestParamInfo<SBoundary>& info) { return info.param.szName; });

TEST_F(QuarantineCapacityTest, NegativeUploadSizeIsSubtracted)
{
    Configure("Quarantine_Folder_Capacity=1\n");
    SetFolderSize(kMegabyte + 100);
    EXPECT_FALSE(VerifyVirusFolderSize(-99));
    EXPECT_TRUE(VerifyVirusFolderSize(-100));
    EXPECT_TRUE(VerifyVirusFolderSize(INT32_MIN));
}

TEST_F(QuarantineCapacityTest, ZeroAndNegativeCapacitiesAreUsedAsRead)
{
    Configure("Quarantine_Folder_Capacity=0\n");
    SetFolderSize(0);
    EXPECT_TRUE(VerifyVirusFolderSize(0));
    EXPECT_FALSE(VerifyVirusFolderSize(1));
    EXPECT_TRUE(VerifyVirusFolderSize(-1));

    Configure("Quarantine_Folder_Capacity=-2\n");
    EXPECT_FALSE(VerifyVirusFolderSize(0));
    EXPECT_FALSE(VerifyVirusFolderSize((-2 * kMegabyte + 1)));
    EXPECT_TRUE(VerifyVirusFolderSize((-2 * kMegabyte)));
}

TEST_F(QuarantineCapacityTest, CapacityIsReadAfreshOnEveryCall)
{
    SetFolderSize(5 * kMegabyte);
    Configure("Quarantine_Folder_Capacity=5\n");
    EXPECT_TRUE(VerifyVirusFolderSize(0));
    Configure("Quarantine_Folder_Capacity=4\n");
    EXPECT_FALSE(VerifyVirusFolderSize(0));
}

TEST_F(QuarantineCapacityTest, TotalAtTheTopOfTheRangeDoesNotWrapIntoAFit)
{
    SetFolderSize(INT64_MAX);
    EXPECT_FALSE(VerifyVirusFolderSize(1));
    EXPECT_FALSE(VerifyVirusFolderSize(INT32_MAX));
    EXPECT_FALSE(VerifyVirusFolderSize(INT64_MAX));
    EXPECT_TRUE(HasTrace(Records(), 351, 4, kExceed + std::string("9223372036854775807")));
    // Nor does a large upload into a large folder.
    SetFolderSize(INT64_MAX / 2 + 1);
    EXPECT_FALSE(VerifyVirusFolderSize(INT64_MAX / 2 + 1));
}

TEST_F(QuarantineCapacityTest, MissingFolderPassesAnyUploadUpToTheCapacity)
{
    m_pHome->WriteSettings("Quarantine_Folder=" + m_pHome->Join("absent") +
                           "\nQuarantine_Folder_Capacity=1\n");
    EXPECT_TRUE(VerifyVirusFolderSize((kMegabyte)));
    EXPECT_FALSE(VerifyVirusFolderSize((kMegabyte + 1)));
    EXPECT_TRUE(HasTrace(Records(), 351, 4, kExceed + std::string("0")));
}

TEST_F(QuarantineCapacityTest, UpdateAddsTheUploadAndTracesEachStep)
{
    SetFolderSize(1000);
    EXPECT_TRUE(updateFolderSize(234));
    EXPECT_EQ(1234, StoredSize());
    std::vector<TraceRecord> records = Records();
    EXPECT_EQ((std::vector<int>{577, 404, 583, 587}), Lines(records));
    EXPECT_TRUE(HasTrace(records, 577, 4, "[Vendrel:updateFolderSize] nFileSize=234"));
    EXPECT_TRUE(HasTrace(records, 583, 4, "[Vendrel:updateFolderSize] FolderSize=1000"));
    EXPECT_TRUE(HasTrace(records, 587, 4, "[Vendrel:updateFolderSize] New FolderSize=1234"));
}

TEST_F(QuarantineCapacityTest, UpdateOfMissingCacheScansFirst)
{
    WriteWholeFile(Folder() + VENDREL_DIR_SEP_STR "x.bin", std::string(50, 'x'));
    EXPECT_TRUE(updateFolderSize(10));
    EXPECT_EQ(60, StoredSize());
    std::vector<TraceRecord> records = Records();
    EXPECT_EQ((std::vector<int>{577, 486, 583, 587}), Lines(records));
    EXPECT_TRUE(HasTrace(records, 583, 4, "[Vendrel:updateFolderSize] FolderSize=50"));
}

TEST_F(QuarantineCapacityTest, UpdateCarriesSizesAboveTwoToTheThirtyFirst)
{
    SetFolderSize(5000000000LL);
    EXPECT_TRUE(updateFolderSize(2000000000));
    EXPECT_EQ(7000000000LL, StoredSize());
    std::vector<TraceRecord> records = Records();
    EXPECT_TRUE(HasTrace(records, 577, 4, "[Vendrel:updateFolderSize] nFileSize=2000000000"));
    EXPECT_TRUE(HasTrace(records, 583, 4, "[Vendrel:updateFolderSize] FolderSize=5000000000"));
    EXPECT_TRUE(HasTrace(records, 587, 4, "[Vendrel:updateFolderSize] New FolderSize=7000000000"));
}

TEST_F(QuarantineCapacityTest, NegativeUpdateBelowZeroReadsBackAsZero)
{
    SetFolderSize(100);
    EXPECT_TRUE(updateFolderSize(-300));
    EXPECT_EQ(-200, StoredSize());
    EXPECT_TRUE(HasTrace(Records(), 577, 4, "[Vendrel:updateFolderSize] nFileSize=-300"));
    EXPECT_TRUE(HasTrace(Records(), 587, 4, "[Vendrel:updateFolderSize] New FolderSize=-200"));
    EXPECT_EQ(0, getFolderSize(Folder().c_str()));
}

TEST_F(QuarantineCapacityTest, UpdateIntoMissingFolderFails)
{
    std::string strMissing = m_pHome->Join("absent");
    m_pHome->WriteSettings("Quarantine_Folder=" + strMissing + "\n");
    EXPECT_FALSE(updateFolderSize(5));
    std::vector<TraceRecord> records = Records();
    EXPECT_EQ((std::vector<int>{577, 486, 496, 543, 583, 587, 543}), Lines(records));
    EXPECT_TRUE(HasTrace(records, 587, 4, "[Vendrel:updateFolderSize] New FolderSize=5"));
}

class QuarantineFolderLocationTest : public CQuarantineTest
{
};

TEST_F(QuarantineFolderLocationTest, ConfiguredFolderIsUsedAsIs)
{
    m_pHome->WriteSettings("Quarantine_Folder=" + Folder() + VENDREL_DIR_SEP_STR "\n");
    char szFolder[260];
    getQuarantineFolder(szFolder, 260);
    EXPECT_EQ(Folder() + VENDREL_DIR_SEP_STR, std::string(szFolder));
}

TEST_F(QuarantineFolderLocationTest, DefaultFolderWithoutTrailingSeparatorJoinsDirectly)
{
    m_pHome->WriteSettings("Quarantine_Folder_Capacity=5\n");
    char szFolder[260];
    getQuarantineFolder(szFolder, 260);
    EXPECT_EQ(m_pHome->Path() + "Virus", std::string(szFolder));
}

TEST_F(QuarantineFolderLocationTest, DefaultFolderIsTheHomeTextFollowedByVirus)
{
    m_pHome->WriteSettings("Quarantine_Folder=\n");
    // Whether the home directory text ends in a separator is Kelsio's; "Virus" is appended to
    // that text as it is, with or without a separator set in the environment.
    for (const std::string& strEnv : {m_pHome->Path(), m_pHome->Path() + VENDREL_DIR_SEP_STR})
    {
        SetEnvVar("KELSIO_HOME", strEnv.c_str());
        char szHome[261] = {0};
        getHomeDir(szHome, 261);
        ASSERT_NE('\0', szHome[0]);
        char szFolder[260];
        getQuarantineFolder(szFolder, 260);
        EXPECT_EQ(std::string(szHome) + "Virus", std::string(szFolder)) << strEnv;
    }

    // The size accounting works in the default folder.
    std::string strDefault = m_pHome->Path() + "Virus";
    MakeDirectory(strDefault);
    WriteWholeFile(strDefault + VENDREL_DIR_SEP_STR "v.bin", std::string(42, 'v'));
    EXPECT_TRUE(updateFolderSize(8));
    EXPECT_EQ(50, FromLittleEndian64(ReadWholeFile(strDefault + VENDREL_DIR_SEP_STR ".store")));
    std::error_code error;
    std::filesystem::remove_all(strDefault, error);
}

TEST_F(QuarantineFolderLocationTest, SmallerBufferIsNeverOverrun)
{
    char szFolder[16];
    memset(szFolder, 'x', sizeof(szFolder));
    getQuarantineFolder(szFolder, 8);
    EXPECT_EQ(7u, strlen(szFolder));
    EXPECT_EQ(0, memcmp(szFolder, Folder().c_str(), 7));
    EXPECT_EQ('x', szFolder[8]);
}

} // namespace
