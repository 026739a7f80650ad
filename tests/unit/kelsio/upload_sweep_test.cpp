// The stale sweep judges an upload file by its last write. A time in the future (a clock that
// was set back, a file copied in from another machine) is no sign of an abandoned upload: such a
// file is kept, whatever the age that counts as stale.
#include "kelsio_test_support.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <ostream>

namespace fs = std::filesystem;

namespace
{

struct SFutureCase
{
    const char* szName;
    std::chrono::seconds ahead;
    int nStaleMinutes;
};

void PrintTo(const SFutureCase& param, std::ostream* pOut)
{
    *pOut << param.szName;
}

class SweepOfFutureTimes : public ::testing::TestWithParam<SFutureCase>
{
protected:
    std::string InTemp(const std::string& strName) const
    {
        return m_home.Temp() + VENDREL_DIR_SEP_STR + strName;
    }
    void WriteDated(const std::string& strName, std::chrono::seconds offset)
    {
        ASSERT_TRUE(WriteWholeFile(InTemp(strName), strName));
        fs::last_write_time(InTemp(strName), fs::file_time_type::clock::now() + offset);
    }

    CTempHome m_home;
};

} // namespace

TEST_P(SweepOfFutureTimes, KeepTheFile)
{
    const std::string strFuture = "upload_00000000000000f0";
    const std::string strStale = "upload_00000000000000a0";
    WriteDated(strFuture, GetParam().ahead);
    // An abandoned upload beside it shows that the sweep did run.
    WriteDated(strStale, -std::chrono::minutes(GetParam().nStaleMinutes + 10));

    EXPECT_EQ(KelsioSweepStaleUploads(m_home.Path().c_str(), GetParam().nStaleMinutes), 1);
    EXPECT_EQ(m_home.TempFiles(), std::vector<std::string>{strFuture});
    EXPECT_EQ(ReadWholeFile(InTemp(strFuture)), strFuture);
}

INSTANTIATE_TEST_SUITE_P(
    Kelsio, SweepOfFutureTimes,
    ::testing::Values(SFutureCase{"SecondsAhead", std::chrono::seconds(30), 1},
                      SFutureCase{"AMinuteAheadOfAnHourLimit", std::chrono::minutes(1), 60},
                      SFutureCase{"MoreThanTheLimitAhead", std::chrono::minutes(61), 60},
                      SFutureCase{"ADayAhead", std::chrono::hours(24), 1},
                      SFutureCase{"YearsAhead", std::chrono::hours(24 * 365 * 20), 5}),
    [](const ::testing::TestParamInfo<SFutureCase>& info) { return info.param.szName; });
