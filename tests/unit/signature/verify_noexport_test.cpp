// Run from a directory whose engine library lacks the export.
#include "verify.h"

#include "trace_capture.h"
#include "upload_signature.h"

#include <gtest/gtest.h>

#include <string>

TEST(VerifyWithoutExport, FailsAfterLoadingWithTwoTraces)
{
    CTraceCapture capture;
    EXPECT_FALSE(VerifyPassPort("whatever.bin", "PC7", "1bc4d6717a72f27cb6ddffcd0ea385ed"));
    std::vector<TraceRecord> records = capture.Records();
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0].nLine, 203);
    EXPECT_EQ(records[1].nLine, 208);
    EXPECT_EQ(records[1].nLevel, 4);
    EXPECT_EQ(records[1].strSource, ".\\Vendrel");
    const std::string strText =
        "[Vendrel:VerifyPassPort] GetProcAddress \"PelixGetBackupFileInfoW\" failed.";
    const std::string& strMessage = records[1].strMessage;
    EXPECT_TRUE(strMessage.size() >= strText.size() &&
                strMessage.compare(strMessage.size() - strText.size(), strText.size(), strText) ==
                    0)
        << strMessage;
}

TEST(VerifyWithoutExport, LoaderReportsTheMissingExport)
{
    PFN_PelixGetBackupFileInfoW pReadFunc = nullptr;
    EXPECT_EQ(LoadBackupInfoReader(&pReadFunc), EEngineLoad::ExportMissing);
    EXPECT_EQ(pReadFunc, nullptr);
}
