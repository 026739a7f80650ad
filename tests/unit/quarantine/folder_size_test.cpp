// The size cache file: reading, the age test, the scan and the rewrite.
#include "quarantine_test_env.h"

#include <string>

namespace
{

const uint64_t kSecond = 10000000u;

std::string CreateFailedText(const std::string& strPath, int nError)
{
    return "getFolderSize - CreateFile(" + strPath + ") failed with win32 error (" +
           std::to_string(nError) + ")";
}

std::string WriteFailedText(const std::string& strStore)
{
    return "[Vendrel:writeFolderSize] write Folder Size into file \"" + strStore + "\" failed";
}

class QuarantineFolderSizeTest : public CQuarantineTest
{
protected:
    std::string FolderFile(const std::string& strName) const
    {
        return Folder() + VENDREL_DIR_SEP_STR + strName;
    }
    // A cache file written just now holding these bytes.
    void WriteStore(const std::string& strBytes) const { WriteWholeFile(StorePath(), strBytes); }
};

TEST_F(QuarantineFolderSizeTest, MissingCacheIsTracedScannedAndWrittenHidden)
{
    WriteWholeFile(FolderFile("a.bin"), std::string(1000, 'a'));
    WriteWholeFile(FolderFile("b.bin"), std::string(234, 'b'));
    MakeDirectory(FolderFile("sub"));
    WriteWholeFile(FolderFile("sub") + VENDREL_DIR_SEP_STR "deep.bin", std::string(5000, 'd'));

    EXPECT_EQ(1234, getFolderSize(Folder().c_str()));

    std::vector<TraceRecord> records = Records();
    EXPECT_TRUE(HasTrace(records, 486, 87, CreateFailedText(StorePath(), 2)));
    EXPECT_EQ(nullptr, FindLine(records, 496));
    EXPECT_EQ(nullptr, FindLine(records, 543));
    std::string strStore = ReadWholeFile(StorePath());
    ASSERT_EQ(8u, strStore.size());
    EXPECT_EQ(1234, FromLittleEndian64(strStore));
    DWORD dwAttributes = GetFileAttributesA(StorePath().c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, dwAttributes);
    EXPECT_NE(0u, dwAttributes & FILE_ATTRIBUTE_HIDDEN);
}

TEST_F(QuarantineFolderSizeTest, LaterScanCountsTheCacheFileItself)
{
    WriteWholeFile(FolderFile("a.bin"), std::string(100, 'a'));
    EXPECT_EQ(100, getFolderSize(Folder().c_str()));
    // Stale from here on: the next call scans again and now lists ".store" too.
    ShiftLastWriteTime(StorePath(), -3600);
    EXPECT_EQ(108, getFolderSize(Folder().c_str()));
    EXPECT_TRUE(
        HasTrace(Records(), 471, 73, "getFolderSize - .store is out of date, need to recalculate"));
    EXPECT_EQ(108, FromLittleEndian64(ReadWholeFile(StorePath())));
}

TEST_F(QuarantineFolderSizeTest, EmptyFolderHoldsZeroAndIsNotScannedAgain)
{
    EXPECT_EQ(0, getFolderSize(Folder().c_str()));
    EXPECT_EQ(0, FromLittleEndian64(ReadWholeFile(StorePath())));
    // A file arriving within the cache life is not seen: the stored 0 is trusted.
    WriteWholeFile(FolderFile("late.bin"), std::string(77, 'x'));
    m_pCapture->Clear();
    EXPECT_EQ(0, getFolderSize(Folder().c_str()));
    std::vector<TraceRecord> records = Records();
    EXPECT_EQ(nullptr, FindLine(records, 486));
    EXPECT_EQ(nullptr, FindLine(records, 471));
    EXPECT_EQ(0, FromLittleEndian64(ReadWholeFile(StorePath())));
}

TEST_F(QuarantineFolderSizeTest, MissingFolderTracesOpenListingAndWriteAndGivesZero)
{
    std::string strMissing = m_pHome->Join("nosuch");
    std::string strStore = strMissing + VENDREL_DIR_SEP_STR ".store";
    std::string strPattern = strMissing + VENDREL_DIR_SEP_STR "*";

    EXPECT_EQ(0, getFolderSize(strMissing.c_str()));

    std::vector<TraceRecord> records = Records();
    EXPECT_TRUE(HasTrace(records, 486, 87, CreateFailedText(strStore, 3)));
    EXPECT_TRUE(
        HasTrace(records, 496, 87,
                 "getFolderSize - FindFirstFile(" + strPattern + ") failed with win32 error (3)"));
    EXPECT_TRUE(HasTrace(records, 543, 4, WriteFailedText(strStore)));
    EXPECT_EQ((std::vector<int>{486, 496, 543}), Lines(records));
    EXPECT_FALSE(PathExists(strMissing));
}

TEST_F(QuarantineFolderSizeTest, InvalidFreshValuesReadAsZeroWithoutScanOrRewrite)
{
    WriteWholeFile(FolderFile("a.bin"), std::string(500, 'a'));
    const std::string cases[] = {LittleEndian64(0), LittleEndian64(-5), LittleEndian64(INT64_MIN),
                                 LittleEndian64(4096).substr(0, 7), std::string()};
    for (const std::string& strBytes : cases)
    {
        WriteStore(strBytes);
        m_pCapture->Clear();
        EXPECT_EQ(0, getFolderSize(Folder().c_str())) << strBytes.size() << " bytes";
        std::vector<TraceRecord> records = Records();
        EXPECT_EQ(nullptr, FindLine(records, 486));
        EXPECT_EQ(nullptr, FindLine(records, 471));
        EXPECT_EQ(nullptr, FindLine(records, 496));
        EXPECT_EQ(strBytes, ReadWholeFile(StorePath()));
    }
}

TEST_F(QuarantineFolderSizeTest, ValueIsLittleEndianAndLongerFileIsReadByItsFirstEightBytes)
{
    WriteStore(std::string("\x01\x02\x03\x04\x05\x06\x07\x00", 8));
    EXPECT_EQ(0x0007060504030201LL, getFolderSize(Folder().c_str()));

    WriteStore(LittleEndian64(123456789012345LL) + std::string("trailing bytes"));
    EXPECT_EQ(123456789012345LL, getFolderSize(Folder().c_str()));
    EXPECT_EQ(22u, ReadWholeFile(StorePath()).size());
}

TEST_F(QuarantineFolderSizeTest, WriteIsEightLittleEndianBytesReplacingLongerFile)
{
    WriteStore(std::string(40, 'z'));
    ASSERT_TRUE(writeFolderSize(Folder().c_str(), 0x0102030405060708LL));
    EXPECT_EQ(std::string("\x08\x07\x06\x05\x04\x03\x02\x01", 8), ReadWholeFile(StorePath()));
    ASSERT_TRUE(writeFolderSize(Folder().c_str(), -2));
    EXPECT_EQ(std::string(8, '\xff').replace(0, 1, 1, '\xfe'), ReadWholeFile(StorePath()));
    EXPECT_EQ(nullptr, FindLine(Records(), 543));
}

TEST_F(QuarantineFolderSizeTest, WriteIntoMissingFolderFails)
{
    std::string strMissing = m_pHome->Join("gone");
    EXPECT_FALSE(writeFolderSize(strMissing.c_str(), 10));
    EXPECT_TRUE(
        HasTrace(Records(), 543, 4, WriteFailedText(strMissing + VENDREL_DIR_SEP_STR ".store")));
}

TEST_F(QuarantineFolderSizeTest, FutureLastWriteTimeIsOutOfDate)
{
    WriteWholeFile(FolderFile("a.bin"), std::string(10, 'a'));
    WriteStore(LittleEndian64(999));
    ShiftLastWriteTime(StorePath(), 3600);
    EXPECT_TRUE(IsFileOutOfDate(StorePath().c_str()));
    // The rescan lists the stale ".store" as well.
    EXPECT_EQ(10 + 8, getFolderSize(Folder().c_str()));
    EXPECT_TRUE(
        HasTrace(Records(), 471, 73, "getFolderSize - .store is out of date, need to recalculate"));
}

TEST_F(QuarantineFolderSizeTest, FutureLastWriteTimeWrapsToHugeAge)
{
    WriteStore(LittleEndian64(1));
    g_nFakeNow = FileTimeValue(LastWriteTime(StorePath())) - kSecond;
    SetSystemCall("GetSystemTimeAsFileTime", (SYSTEM_CALL_PTR)FakeSystemTime);
    EXPECT_TRUE(IsFileOutOfDate(StorePath().c_str()));
    // (2^64 - 10^7) / 10^7 = 1844674407369, whose low 32 bits are 2133437385.
    EXPECT_TRUE(HasTrace(Records(), 404, 68,
                         "IsFileOutOfDate - File was updated (35557289) minute (45) second ago"));
}

TEST_F(QuarantineFolderSizeTest, RealClockWithinAndBeyondTheLife)
{
    Configure("Quarantine_Folder_Cache_Life=2\n");
    WriteStore(LittleEndian64(1));
    ShiftLastWriteTime(StorePath(), -(120 - 30));
    EXPECT_FALSE(IsFileOutOfDate(StorePath().c_str()));
    ShiftLastWriteTime(StorePath(), -60);
    EXPECT_TRUE(IsFileOutOfDate(StorePath().c_str()));
}

class QuarantineCacheLifeTest : public QuarantineFolderSizeTest
{
protected:
    // Whether the cache is out of date when "now" is exactly nSeconds (plus nTicks of 100 ns)
    // after its last write.
    bool OutOfDateAfter(uint64_t nSeconds, uint64_t nTicks = 0)
    {
        g_nFakeNow = FileTimeValue(LastWriteTime(StorePath())) + nSeconds * kSecond + nTicks;
        SetSystemCall("GetSystemTimeAsFileTime", (SYSTEM_CALL_PTR)FakeSystemTime);
        return IsFileOutOfDate(StorePath().c_str());
    }
    void SetUp() override
    {
        QuarantineFolderSizeTest::SetUp();
        WriteStore(LittleEndian64(1));
    }
};

TEST_F(QuarantineCacheLifeTest, ExactlyTheLifeIsFreshOneSecondMoreIsStale)
{
    Configure("Quarantine_Folder_Cache_Life=7\n");
    EXPECT_FALSE(OutOfDateAfter(420));
    EXPECT_FALSE(OutOfDateAfter(420, kSecond - 1));
    EXPECT_TRUE(OutOfDateAfter(421));
    std::vector<TraceRecord> records = Records();
    ASSERT_EQ(3, CountLine(records, 404));
    EXPECT_TRUE(EndsWith(records[0].strMessage,
                         "IsFileOutOfDate - File was updated (7) minute (0) second ago"));
    EXPECT_TRUE(EndsWith(records[2].strMessage,
                         "IsFileOutOfDate - File was updated (7) minute (1) second ago"));
    EXPECT_EQ(68, records[2].nLevel);
}

TEST_F(QuarantineCacheLifeTest, DefaultLifeIsTwentyMinutes)
{
    EXPECT_FALSE(OutOfDateAfter(1200));
    EXPECT_TRUE(OutOfDateAfter(1201));
}

TEST_F(QuarantineCacheLifeTest, ZeroOrNegativeLifeMeansTwentyMinutes)
{
    for (const char* szLife : {"0", "-1", "-2147483648"})
    {
        Configure(std::string("Quarantine_Folder_Cache_Life=") + szLife + "\n");
        EXPECT_FALSE(OutOfDateAfter(1200)) << szLife;
        EXPECT_TRUE(OutOfDateAfter(1201)) << szLife;
    }
}

TEST_F(QuarantineCacheLifeTest, LongLifeDoesNotOverflow)
{
    // 40,000,000 minutes are 2,400,000,000 seconds, past the signed 32-bit range.
    Configure("Quarantine_Folder_Cache_Life=40000000\n");
    EXPECT_FALSE(OutOfDateAfter(2200000000u));
    EXPECT_FALSE(OutOfDateAfter(2400000000u));
    EXPECT_TRUE(OutOfDateAfter(2400000001u));
    // The age shown is the low 32 bits as a signed number: -2094967296 s.
    EXPECT_TRUE(HasTrace(Records(), 404, 68,
                         "IsFileOutOfDate - File was updated (-34916121) minute (-36) second ago"));
}

TEST_F(QuarantineCacheLifeTest, LifeIsReadAfreshOnEveryCall)
{
    Configure("Quarantine_Folder_Cache_Life=1\n");
    EXPECT_TRUE(OutOfDateAfter(61));
    Configure("Quarantine_Folder_Cache_Life=2\n");
    EXPECT_FALSE(OutOfDateAfter(61));
}

TEST_F(QuarantineFolderSizeTest, AgeTestOfMissingFileIsOutOfDate)
{
    std::string strPath = FolderFile("absent");
    EXPECT_TRUE(IsFileOutOfDate(strPath.c_str()));
    EXPECT_TRUE(
        HasTrace(Records(), 426, 87,
                 "IsFileOutOfDate - CreateFile(" + strPath + ") failed with win32 error (2)"));
}

TEST_F(QuarantineFolderSizeTest, ScanCarriesSizesAboveFourGigabytes)
{
    const uint64_t nBig = 5ull * 1024 * 1024 * 1024 + 3;
    MakeSparseFile(FolderFile("big1.bin"), nBig);
    MakeSparseFile(FolderFile("big2.bin"), nBig);
    WriteWholeFile(FolderFile("small.bin"), std::string(7, 's'));
    EXPECT_EQ(static_cast<int64_t>(2 * nBig + 7), getFolderSize(Folder().c_str()));
    EXPECT_EQ(static_cast<int64_t>(2 * nBig + 7), FromLittleEndian64(ReadWholeFile(StorePath())));
}

// Another process holding the cache file for a while: the pause between tries stands in for the
// time that passes, and lets the holder go once it has held the file for g_dwHoldMs.
HANDLE g_hHolder = INVALID_HANDLE_VALUE;
DWORD g_dwHoldMs = 0;
DWORD g_dwSleptMs = 0;
int g_nSleeps = 0;

void WINAPI HolderSleep(DWORD dwMilliseconds)
{
    ++g_nSleeps;
    g_dwSleptMs += dwMilliseconds;
    if (g_hHolder != INVALID_HANDLE_VALUE && g_dwSleptMs >= g_dwHoldMs)
    {
        CloseHandle(g_hHolder);
        g_hHolder = INVALID_HANDLE_VALUE;
    }
}

class QuarantineHeldCacheTest : public QuarantineFolderSizeTest
{
protected:
    void SetUp() override
    {
        QuarantineFolderSizeTest::SetUp();
        g_hHolder = INVALID_HANDLE_VALUE;
        g_dwSleptMs = 0;
        g_nSleeps = 0;
        SetSystemCall("Sleep", (SYSTEM_CALL_PTR)HolderSleep);
    }
    void TearDown() override
    {
        if (g_hHolder != INVALID_HANDLE_VALUE)
        {
            CloseHandle(g_hHolder);
            g_hHolder = INVALID_HANDLE_VALUE;
        }
        QuarantineFolderSizeTest::TearDown();
    }
    // Opens the cache file as a writer (no sharing) or a reader would, held for dwHoldMs of pauses.
    void Hold(bool bAsWriter, DWORD dwHoldMs)
    {
        g_dwHoldMs = dwHoldMs;
        g_hHolder = CreateFileA(StorePath().c_str(), bAsWriter ? GENERIC_WRITE : GENERIC_READ,
                                bAsWriter ? 0 : FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, g_hHolder);
    }
};

TEST_F(QuarantineHeldCacheTest, ReaderWaitsOutAShortWriteAndReadsTheCache)
{
    WriteWholeFile(FolderFile("a.bin"), std::string(3, 'a'));
    WriteStore(LittleEndian64(5000));
    Hold(true, 10);
    EXPECT_EQ(5000, getFolderSize(Folder().c_str()));

    std::vector<TraceRecord> records = Records();
    EXPECT_EQ(0, CountLine(records, 486));
    EXPECT_EQ(0, CountLine(records, 426));
    EXPECT_EQ(0, CountLine(records, 471));
    EXPECT_EQ(0, CountLine(records, 543));
    EXPECT_EQ(1, CountLine(records, 404));
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_hHolder);
    EXPECT_GE(g_dwSleptMs, 10u);
    // Not rewritten by a listing.
    EXPECT_EQ(5000, FromLittleEndian64(ReadWholeFile(StorePath())));
}

TEST_F(QuarantineHeldCacheTest, AgeTestWaitsOutAShortWrite)
{
    WriteStore(LittleEndian64(5000));
    Hold(true, 10);
    EXPECT_FALSE(IsFileOutOfDate(StorePath().c_str()));
    EXPECT_EQ(0, CountLine(Records(), 426));
    EXPECT_EQ(INVALID_HANDLE_VALUE, g_hHolder);
}

// The clock a waiting reader sees: "now" moves past the writer's rewrite while it waits.
uint64_t g_nNowAfterWait = 0;

void WINAPI HolderSleepMovingTheClock(DWORD dwMilliseconds)
{
    HolderSleep(dwMilliseconds);
    if (g_hHolder == INVALID_HANDLE_VALUE)
    {
        g_nFakeNow = g_nNowAfterWait;
    }
}

TEST_F(QuarantineHeldCacheTest, AgeAfterWaitingForAWriterCountsFromTheEndOfTheWait)
{
    WriteStore(LittleEndian64(5000));
    uint64_t nLastWrite = FileTimeValue(LastWriteTime(StorePath()));
    // "Now" was taken before the writer's rewrite, which the wait then lets finish.
    g_nFakeNow = nLastWrite - 2 * kSecond;
    g_nNowAfterWait = nLastWrite + kSecond;
    SetSystemCall("GetSystemTimeAsFileTime", (SYSTEM_CALL_PTR)FakeSystemTime);
    SetSystemCall("Sleep", (SYSTEM_CALL_PTR)HolderSleepMovingTheClock);
    Hold(true, 10);
    EXPECT_FALSE(IsFileOutOfDate(StorePath().c_str()));
    EXPECT_TRUE(HasTrace(Records(), 404, 68,
                         "IsFileOutOfDate - File was updated (0) minute (1) second ago"));
}

TEST_F(QuarantineHeldCacheTest, WriterWaitsOutAShortRead)
{
    WriteStore(LittleEndian64(5000));
    Hold(false, 10);
    EXPECT_TRUE(writeFolderSize(Folder().c_str(), 777));
    EXPECT_EQ(0, CountLine(Records(), 543));
    EXPECT_EQ(777, FromLittleEndian64(ReadWholeFile(StorePath())));
}

TEST_F(QuarantineHeldCacheTest, WriterHeldPastTheBoundLeadsToTraceAndListing)
{
    WriteWholeFile(FolderFile("a.bin"), std::string(3, 'a'));
    WriteStore(LittleEndian64(5000));
    Hold(true, 1000000);
    EXPECT_EQ(3 + 8, getFolderSize(Folder().c_str()));

    std::vector<TraceRecord> records = Records();
    EXPECT_TRUE(HasTrace(records, 486, 87, CreateFailedText(StorePath(), 32)));
    EXPECT_TRUE(HasTrace(records, 543, 4, WriteFailedText(StorePath())));
    EXPECT_EQ((std::vector<int>{486, 543}), Lines(records));
    // Two bounded waits (the read, then the write back), each about 50 ms of pauses.
    EXPECT_GE(g_dwSleptMs, 2 * 40u);
    EXPECT_LE(g_dwSleptMs, 2 * 60u);
    EXPECT_LE(g_nSleeps, 2 * 60);
    EXPECT_NE(INVALID_HANDLE_VALUE, g_hHolder);
}

TEST_F(QuarantineHeldCacheTest, OtherOpenFailuresAreNotWaitedFor)
{
    // No cache file: the reader lists at once, without a pause.
    WriteWholeFile(FolderFile("a.bin"), std::string(3, 'a'));
    EXPECT_EQ(3, getFolderSize(Folder().c_str()));
    EXPECT_TRUE(HasTrace(Records(), 486, 87, CreateFailedText(StorePath(), 2)));
    EXPECT_EQ(0, g_nSleeps);
}

TEST_F(QuarantineFolderSizeTest, CacheReadWhileAnotherProcessWritesLeadsToScan)
{
    WriteWholeFile(FolderFile("a.bin"), std::string(3, 'a'));
    WriteStore(LittleEndian64(5000));
    // A writer holds the file with no sharing: the reader cannot open it and scans.
    HANDLE hWriter = CreateFileA(StorePath().c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, hWriter);
    EXPECT_EQ(3 + 8, getFolderSize(Folder().c_str()));
    std::vector<TraceRecord> records = Records();
    EXPECT_TRUE(HasTrace(records, 486, 87, CreateFailedText(StorePath(), 32)));
    EXPECT_TRUE(HasTrace(records, 543, 4, WriteFailedText(StorePath())));
    CloseHandle(hWriter);
    EXPECT_EQ(5000, FromLittleEndian64(ReadWholeFile(StorePath())));
}

} // namespace
