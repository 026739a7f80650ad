// The size update under one exclusive hold of ".store": read and rewritten in place while no
// other open gets in, waiting out a short hold of others, falling back to the listing when the
// hold stays out of reach, never through a link; and the reader that keeps the cache open while
// its age is judged.
#include "quarantine_test_env.h"

#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace
{

const uint64_t kSecond = 10000000u;

// The identity of the file behind a name (volume and index), to tell a file rewritten in place
// from one replaced by a new file.
std::string FileIdentity(const std::string& strPath)
{
    HANDLE h =
        CreateFileA(strPath.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        return "<none>";
    }
    BY_HANDLE_FILE_INFORMATION info;
    std::string strId = "<unknown>";
    if (GetFileInformationByHandle(h, &info))
    {
        strId = std::to_string(info.dwVolumeSerialNumber) + ":" +
                std::to_string(info.nFileIndexHigh) + ":" + std::to_string(info.nFileIndexLow);
    }
    CloseHandle(h);
    return strId;
}

// What another process meets when it opens ".store" at the moment the stand-in clock is asked:
// the open's error for a reader and for a writer (0 when it got in).
std::string g_strProbePath;
DWORD g_dwReaderError = 0;
DWORD g_dwWriterError = 0;
int g_nProbes = 0;

DWORD ProbeOpen(DWORD dwAccess, DWORD dwShare)
{
    HANDLE h = CreateFileA(g_strProbePath.c_str(), dwAccess, dwShare, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        return GetLastError();
    }
    CloseHandle(h);
    return 0;
}

void WINAPI ProbingSystemTime(LPFILETIME pTime)
{
    ++g_nProbes;
    g_dwReaderError = ProbeOpen(GENERIC_READ, FILE_SHARE_READ);
    g_dwWriterError = ProbeOpen(GENERIC_WRITE, 0);
    GetSystemTimeAsFileTime(pTime);
}

// Every chunk of a trace record that goes to the log pipe: whether another process could have
// held ".store" alone at that moment.
int g_nTraceWrites = 0;
int g_nTraceWritesWhileHeld = 0;

BOOL WINAPI ProbingWriteFile(HANDLE hFile, LPCVOID pBuffer, DWORD dwToWrite, LPDWORD pdwWritten,
                             LPOVERLAPPED pOverlapped)
{
    ++g_nTraceWrites;
    if (ProbeOpen(GENERIC_READ | GENERIC_WRITE, 0) == ERROR_SHARING_VIOLATION)
    {
        ++g_nTraceWritesWhileHeld;
    }
    return WriteFile(hFile, pBuffer, dwToWrite, pdwWritten, pOverlapped);
}

// Another process holding ".store": it lets go once the pauses of the waiting open add up to
// g_dwHoldMs.
HANDLE g_hHolder = INVALID_HANDLE_VALUE;
DWORD g_dwHoldMs = 0;
DWORD g_dwSleptMs = 0;

void WINAPI HolderSleep(DWORD dwMilliseconds)
{
    g_dwSleptMs += dwMilliseconds;
    if (g_hHolder != INVALID_HANDLE_VALUE && g_dwSleptMs >= g_dwHoldMs)
    {
        CloseHandle(g_hHolder);
        g_hHolder = INVALID_HANDLE_VALUE;
    }
}

class QuarantineHeldUpdateTest : public CQuarantineTest
{
protected:
    void SetUp() override
    {
        CQuarantineTest::SetUp();
        g_strProbePath = StorePath();
        g_dwReaderError = g_dwWriterError = 0;
        g_nProbes = 0;
        g_hHolder = INVALID_HANDLE_VALUE;
        g_dwSleptMs = 0;
        SetSystemCall("Sleep", (SYSTEM_CALL_PTR)HolderSleep);
    }
    void TearDown() override
    {
        if (g_hHolder != INVALID_HANDLE_VALUE)
        {
            CloseHandle(g_hHolder);
            g_hHolder = INVALID_HANDLE_VALUE;
        }
        CQuarantineTest::TearDown();
    }
    void WriteStore(const std::string& strBytes) const { WriteWholeFile(StorePath(), strBytes); }
    int64_t StoredSize() const { return FromLittleEndian64(ReadWholeFile(StorePath())); }
    std::string FolderFile(const std::string& strName) const
    {
        return Folder() + VENDREL_DIR_SEP_STR + strName;
    }
    // Opens ".store" as a writer (no sharing) or a reader would, held for dwHoldMs of pauses.
    void Hold(bool bAsWriter, DWORD dwHoldMs)
    {
        g_dwHoldMs = dwHoldMs;
        g_hHolder = CreateFileA(StorePath().c_str(), bAsWriter ? GENERIC_WRITE : GENERIC_READ,
                                bAsWriter ? 0 : FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, g_hHolder);
    }
};

TEST_F(QuarantineHeldUpdateTest, FreshTotalIsReadAndRewrittenInPlaceWhileNoOtherOpenGetsIn)
{
    WriteStore(LittleEndian64(1000));
    std::string strBefore = FileIdentity(StorePath());
    SetSystemCall("GetSystemTimeAsFileTime", (SYSTEM_CALL_PTR)ProbingSystemTime);
    EXPECT_TRUE(updateFolderSize(234));
    EXPECT_EQ(1234, StoredSize());
    EXPECT_EQ(8u, ReadWholeFile(StorePath()).size());
    // The clock is asked once the hold is taken: neither a reader nor a writer got in then.
    ASSERT_EQ(1, g_nProbes);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), g_dwReaderError);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), g_dwWriterError);
    // The same file, rewritten in place: never replaced, so never seen missing or short.
    EXPECT_EQ(strBefore, FileIdentity(StorePath()));
    EXPECT_EQ((std::vector<int>{577, 404, 583, 587}), Lines(Records()));
}

// The processes queued on ".store" wait for no trace record: the update and the reader trace
// what they found only once they have let the file go, in the same order.
TEST_F(QuarantineHeldUpdateTest, NoTraceIsSentWhileTheCacheIsHeld)
{
    WriteStore(LittleEndian64(1000));
    g_nTraceWrites = g_nTraceWritesWhileHeld = 0;
    SetSystemCall("WriteFile", (SYSTEM_CALL_PTR)ProbingWriteFile);
    EXPECT_TRUE(VerifyVirusFolderSize(10));
    EXPECT_TRUE(updateFolderSize(10));
    EXPECT_EQ(1010, getFolderSize(Folder().c_str()));
    SetSystemCall("WriteFile", nullptr);
    EXPECT_GE(g_nTraceWrites, 6);
    EXPECT_EQ(0, g_nTraceWritesWhileHeld);
    EXPECT_EQ((std::vector<int>{404, 577, 404, 583, 587, 404}), Lines(Records()));
}

TEST_F(QuarantineHeldUpdateTest, StaleTotalIsListedAndWrittenUnderTheSameHold)
{
    WriteWholeFile(FolderFile("a.bin"), std::string(100, 'a'));
    WriteStore(LittleEndian64(999999));
    ShiftLastWriteTime(StorePath(), -3600);
    std::string strBefore = FileIdentity(StorePath());
    EXPECT_TRUE(updateFolderSize(20));
    // The listing counts ".store" itself (8 bytes) and the file; the upload is added to that.
    EXPECT_EQ(100 + 8 + 20, StoredSize());
    EXPECT_EQ(strBefore, FileIdentity(StorePath()));
    std::vector<TraceRecord> records = Records();
    EXPECT_EQ((std::vector<int>{577, 404, 471, 583, 587}), Lines(records));
    EXPECT_TRUE(
        HasTrace(records, 471, 73, "getFolderSize - .store is out of date, need to recalculate"));
    EXPECT_TRUE(HasTrace(records, 583, 4, "[Vendrel:updateFolderSize] FolderSize=108"));
    // Fresh again for the next reader.
    EXPECT_FALSE(IsFileOutOfDate(StorePath().c_str()));
}

// A cache that is short or longer than 8 bytes: the value is its first 8 bytes, and afterwards
// the file is the 8 bytes of the new total, as a newly written one is.
TEST_F(QuarantineHeldUpdateTest, ShortAndLongerFilesAreRewrittenByTheirFirstEightBytes)
{
    const struct
    {
        std::string strBytes;
        int64_t nRead;
        size_t nSizeAfter;
    } aCases[] = {{"", 0, 8},
                  {LittleEndian64(4096).substr(0, 3), 0, 8},
                  {LittleEndian64(-5), 0, 8},
                  {LittleEndian64(700) + "tail bytes", 700, 8}};
    for (const auto& c : aCases)
    {
        WriteStore(c.strBytes);
        m_pCapture->Clear();
        EXPECT_TRUE(updateFolderSize(50)) << c.strBytes.size();
        EXPECT_EQ(c.nRead + 50, StoredSize()) << c.strBytes.size();
        EXPECT_EQ(c.nSizeAfter, ReadWholeFile(StorePath()).size());
        EXPECT_EQ(c.nRead + 50, getFolderSize(Folder().c_str()));
        EXPECT_TRUE(HasTrace(Records(), 583, 4,
                             "[Vendrel:updateFolderSize] FolderSize=" + std::to_string(c.nRead)));
    }
}

TEST_F(QuarantineHeldUpdateTest, ShortHoldOfAReaderOrWriterIsWaitedOut)
{
    for (bool bWriter : {false, true})
    {
        WriteStore(LittleEndian64(5000));
        m_pCapture->Clear();
        g_dwSleptMs = 0;
        Hold(bWriter, 10);
        EXPECT_TRUE(updateFolderSize(5)) << bWriter;
        EXPECT_EQ(INVALID_HANDLE_VALUE, g_hHolder);
        EXPECT_GE(g_dwSleptMs, 10u);
        EXPECT_EQ(5005, StoredSize());
        EXPECT_EQ((std::vector<int>{577, 404, 583, 587}), Lines(Records()));
    }
}

// Others hold ".store" past the whole wait: the update traces the sharing violation as a reader
// that finds no cache does, lists the folder and tries to write; the holder's file is left alone.
TEST_F(QuarantineHeldUpdateTest, HoldOutOfReachFallsBackToTheListingAndSaysWhy)
{
    WriteWholeFile(FolderFile("a.bin"), std::string(3, 'a'));
    WriteStore(LittleEndian64(5000));
    Hold(true, 1000000);
    EXPECT_FALSE(updateFolderSize(7));
    std::vector<TraceRecord> records = Records();
    EXPECT_EQ((std::vector<int>{577, 486, 543, 583, 587, 543}), Lines(records));
    EXPECT_TRUE(
        HasTrace(records, 486, 87,
                 "getFolderSize - CreateFile(" + StorePath() + ") failed with win32 error (32)"));
    EXPECT_TRUE(HasTrace(records, 583, 4, "[Vendrel:updateFolderSize] FolderSize=11"));
    // Three bounded waits: the hold, then the two writes.
    EXPECT_GE(g_dwSleptMs, 3 * 40u);
    EXPECT_LE(g_dwSleptMs, 3 * 60u);
    CloseHandle(g_hHolder);
    g_hHolder = INVALID_HANDLE_VALUE;
    EXPECT_EQ(5000, StoredSize());
}

TEST_F(QuarantineHeldUpdateTest, MissingCacheIsCreatedFromTheListingThenAdded)
{
    WriteWholeFile(FolderFile("a.bin"), std::string(40, 'a'));
    EXPECT_TRUE(updateFolderSize(2));
    EXPECT_EQ(42, StoredSize());
    std::vector<TraceRecord> records = Records();
    EXPECT_EQ((std::vector<int>{577, 486, 583, 587}), Lines(records));
    EXPECT_TRUE(
        HasTrace(records, 486, 87,
                 "getFolderSize - CreateFile(" + StorePath() + ") failed with win32 error (2)"));
    DWORD dwAttributes = GetFileAttributesA(StorePath().c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, dwAttributes);
    EXPECT_NE(0u, dwAttributes & FILE_ATTRIBUTE_HIDDEN);
}

TEST_F(QuarantineHeldUpdateTest, DirectoryAtTheCacheIsNeitherHeldNorWritten)
{
    MakeDirectory(StorePath());
    EXPECT_FALSE(updateFolderSize(9));
    std::vector<TraceRecord> records = Records();
    EXPECT_EQ((std::vector<int>{577, 486, 543, 583, 587, 543}), Lines(records));
    EXPECT_TRUE(
        HasTrace(records, 486, 87,
                 "getFolderSize - CreateFile(" + StorePath() + ") failed with win32 error (5)"));
    EXPECT_TRUE(ListNames(StorePath()).empty());
}

// The age of the cache is judged while the reader still holds it open: a writer cannot replace
// the file between the age test and the read of its value.
TEST_F(QuarantineHeldUpdateTest, ReaderHoldsTheCacheWhileItsAgeIsJudged)
{
    WriteStore(LittleEndian64(321));
    SetSystemCall("GetSystemTimeAsFileTime", (SYSTEM_CALL_PTR)ProbingSystemTime);
    EXPECT_EQ(321, getFolderSize(Folder().c_str()));
    ASSERT_EQ(1, g_nProbes);
    // Other readers share it; a writer is kept out.
    EXPECT_EQ(0u, g_dwReaderError);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), g_dwWriterError);
    EXPECT_EQ((std::vector<int>{404}), Lines(Records()));
}

TEST_F(QuarantineHeldUpdateTest, UploadSizesBeyondThirtyTwoBitsAreAddedWhole)
{
    WriteStore(LittleEndian64(5000000000LL));
    EXPECT_TRUE(updateFolderSize(6000000000LL));
    EXPECT_EQ(11000000000LL, StoredSize());
    std::vector<TraceRecord> records = Records();
    EXPECT_TRUE(HasTrace(records, 577, 4, "[Vendrel:updateFolderSize] nFileSize=6000000000"));
    EXPECT_TRUE(HasTrace(records, 587, 4, "[Vendrel:updateFolderSize] New FolderSize=11000000000"));
    // Saturating at the top of the range rather than wrapping into a small total.
    WriteStore(LittleEndian64(INT64_MAX - 10));
    EXPECT_TRUE(updateFolderSize(6000000000LL));
    EXPECT_EQ(INT64_MAX, StoredSize());
}

#ifndef _WIN32
// A link planted at ".store" is never written through by the update, whatever it points at.
TEST_F(QuarantineHeldUpdateTest, LinkAtTheCacheIsNeverWrittenThrough)
{
    std::string strOutside = m_pHome->Join("outside.bin");
    WriteWholeFile(strOutside, LittleEndian64(77) + "outside");
    ASSERT_EQ(0, symlink(strOutside.c_str(), StorePath().c_str()));
    EXPECT_FALSE(updateFolderSize(9));
    EXPECT_EQ(LittleEndian64(77) + "outside", ReadWholeFile(strOutside));
    EXPECT_TRUE(
        HasTrace(Records(), 486, 87,
                 "getFolderSize - CreateFile(" + StorePath() + ") failed with win32 error (5)"));
    EXPECT_EQ(2, CountLine(Records(), 543));
}
#endif

} // namespace
