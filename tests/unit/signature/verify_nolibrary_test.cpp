// Run from a directory without the engine library.
#include "verify.h"

#include "trace_capture.h"
#include "upload_signature.h"

#include <gtest/gtest.h>

#include <string>

TEST(VerifyWithoutLibrary, FailsWithTheLoadTraceOnly)
{
    CTraceCapture capture;
    EXPECT_FALSE(VerifyPassPort("whatever.bin", "PC7", "1bc4d6717a72f27cb6ddffcd0ea385ed"));
    std::vector<TraceRecord> records = capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].nLine, 200);
    EXPECT_EQ(records[0].nLevel, 4);
    EXPECT_EQ(records[0].strSource, ".\\Vendrel");
    const std::string strText = "[Vendrel:VerifyPassPort] LoadLibrary pelix32.dll failed.";
    const std::string& strMessage = records[0].strMessage;
    EXPECT_TRUE(strMessage.size() >= strText.size() &&
                strMessage.compare(strMessage.size() - strText.size(), strText.size(), strText) ==
                    0)
        << strMessage;
}

TEST(VerifyWithoutLibrary, LoaderReportsTheMissingLibrary)
{
    PFN_PelixGetBackupFileInfoW pReadFunc = nullptr;
    EXPECT_EQ(LoadBackupInfoReader(&pReadFunc), EEngineLoad::LibraryMissing);
    EXPECT_EQ(pReadFunc, nullptr);
}
