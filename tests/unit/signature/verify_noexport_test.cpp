// Run from a directory whose engine library lacks the export.
#include "verify.h"

#include "trace_capture.h"
#include "trace_lookup.h"
#include "upload_signature.h"

#include <gtest/gtest.h>

#include <string>

TEST(VerifyWithoutExport, FailsAfterLoadingWithTwoTraces)
{
    CTraceCapture capture;
    EXPECT_FALSE(VerifyPassPort("whatever.bin", "PC7", "1bc4d6717a72f27cb6ddffcd0ea385ed"));
    std::vector<TraceRecord> records = capture.Records();
    EXPECT_EQ((std::vector<int>{203, 208}), Lines(records));
    EXPECT_TRUE(
        HasTrace(records, 208, 4,
                 "[Vendrel:VerifyPassPort] GetProcAddress \"PelixGetBackupFileInfoW\" failed."));
}

TEST(VerifyWithoutExport, LoaderReportsTheMissingExport)
{
    PFN_PelixGetBackupFileInfoW pReadFunc = nullptr;
    EXPECT_EQ(LoadBackupInfoReader(&pReadFunc), EEngineLoad::ExportMissing);
    EXPECT_EQ(pReadFunc, nullptr);
}
