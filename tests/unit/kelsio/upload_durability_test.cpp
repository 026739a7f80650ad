// Upload files reach the disk before the library names them to the program: each is flushed
// (FlushFileBuffers) while still open, after its last byte, and a flush that fails refuses the
// request like a failed write, leaving nothing behind. This test carries the library's code in
// its own process, so that its system-call table is the library's.
#include "kelsio_test_support.h"
#include "system_calls.h"

#include <gtest/gtest.h>

#include <vector>

namespace
{

struct CFlushRecord
{
    HANDLE hFile;
    BOOL bResult;
};

std::vector<CFlushRecord> s_flushes;
// The flush (1-based) that fails with a full disk; 0: none.
size_t s_nFailingFlush = 0;

BOOL WINAPI RecordingFlush(HANDLE hFile)
{
    if (s_flushes.size() + 1 == s_nFailingFlush)
    {
        s_flushes.push_back({hFile, FALSE});
        SetLastError(ERROR_DISK_FULL);
        return FALSE;
    }
    // The system's own flush answers whether the handle was still open and writable.
    BOOL bResult = FlushFileBuffers(hFile);
    s_flushes.push_back({hFile, bResult});
    return bResult;
}

class UploadDurability : public ::testing::Test
{
protected:
    void SetUp() override
    {
        s_flushes.clear();
        s_nFailingFlush = 0;
        SetSystemCall("FlushFileBuffers", (SYSTEM_CALL_PTR)RecordingFlush);
    }
    void TearDown() override { ResetSystemCalls(); }

    CFakeRequest Request() const
    {
        std::string strBig(200000, 'b');
        return PostRequest(m_home.Path(), "multipart/form-data; boundary=Bx",
                           MultipartBody("Bx", {FilePart("TempFileName", "a.bin", "first upload"),
                                                FieldPart("ComputerName", "PC7"),
                                                FilePart("Extra", "b.bin", strBig)}));
    }

    CTempHome m_home;
};

} // namespace

TEST_F(UploadDurability, EveryUploadIsFlushedWhileOpenBeforeTheArrayNamesIt)
{
    CFakeRequest request = Request();
    bool bParsed = false;
    CVarPairs vars = request.Parse(bParsed);
    ASSERT_TRUE(bParsed);
    ASSERT_EQ(s_flushes.size(), 2u);
    for (const CFlushRecord& flush : s_flushes)
        EXPECT_TRUE(flush.bResult) << "flushed through an open handle";
    EXPECT_NE(s_flushes[0].hFile, INVALID_HANDLE_VALUE);
    ASSERT_EQ(vars.size(), 3u);
    EXPECT_EQ(ReadWholeFile(vars[0].second), "first upload");
    EXPECT_EQ(ReadWholeFile(vars[2].second).size(), 200000u);
}

TEST_F(UploadDurability, FailedFlushRefusesTheRequestAndLeavesNothing)
{
    for (size_t nFailing : {1u, 2u})
    {
        SCOPED_TRACE(nFailing);
        s_flushes.clear();
        s_nFailingFlush = nFailing;
        CFakeRequest request = Request();
        bool bParsed = true;
        request.Parse(bParsed);
        EXPECT_FALSE(bParsed);
        EXPECT_EQ(s_flushes.size(), nFailing) << "the request stops at the failed flush";
        EXPECT_EQ(m_home.TempFiles(), std::vector<std::string>());
    }
}
