// Run from a directory without the engine library.
#include "verify.h"

#include "trace_capture.h"
#include "trace_lookup.h"
#include "upload_signature.h"

#include <gtest/gtest.h>

#include <string>

TEST(VerifyWithoutLibrary, FailsWithTheLoadTraceOnly)
{
    CTraceCapture capture;
    EXPECT_FALSE(VerifyPassPort("whatever.bin", "PC7", "1bc4d6717a72f27cb6ddffcd0ea385ed"));
    std::vector<TraceRecord> records = capture.Records();
    EXPECT_EQ((std::vector<int>{200}), Lines(records));
    EXPECT_TRUE(
        HasTrace(records, 200, 4, "[Vendrel:VerifyPassPort] LoadLibrary pelix32.dll failed."));
}

TEST(VerifyWithoutLibrary, LoaderReportsTheMissingLibrary)
{
    PFN_PelixGetBackupFileInfoW pReadFunc = nullptr;
    EXPECT_EQ(LoadBackupInfoReader(&pReadFunc), EEngineLoad::LibraryMissing);
    EXPECT_EQ(pReadFunc, nullptr);
}
