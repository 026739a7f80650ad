// The filing form of quarantined files' names and the shape of writers' hidden temporary names.
#include "filing_name.h"

#include <gtest/gtest.h>

#include <string>

namespace
{

struct SNameCase
{
    const char* szName;
    bool bFiling;
    const char* szComputer;
    int64_t nSeconds;
    uint32_t nNumber;
};

const SNameCase kNameCases[] = {
    {"PC7_1700000000.0", true, "PC7", 1700000000, 0},
    {"PC7_1700000000.12", true, "PC7", 1700000000, 12},
    // The last underscore ends the computer name.
    {"HOST_A_B_1700000000.3", true, "HOST_A_B", 1700000000, 3},
    {"PC.local_1700000000.1", true, "PC.local", 1700000000, 1},
    // An empty computer name is filed as it came.
    {"_1700000000.0", true, "", 1700000000, 0},
    {"PC_0.0", true, "PC", 0, 0},
    {"PC_253402300799.2147483647", true, "PC", 253402300799, 2147483647u},
    {"PC_253402300800.0", false, "", 0, 0},
    {"PC_1700000000.2147483648", false, "", 0, 0},
    {"PC_99999999999999999999999.0", false, "", 0, 0},
    {"PC_1700000000", false, "", 0, 0},
    {"PC_1700000000.", false, "", 0, 0},
    {"PC_.0", false, "", 0, 0},
    {"PC_1700000000.0.1", false, "", 0, 0},
    {"PC_1700000000.0x", false, "", 0, 0},
    {"PC_01700000000.0", false, "", 0, 0},
    {"PC_1700000000.00", false, "", 0, 0},
    {"PC_-1700000000.0", false, "", 0, 0},
    {"PC_+1700000000.0", false, "", 0, 0},
    {"PC_1700000000.0_x", false, "", 0, 0},
    {"PC1700000000.0", false, "", 0, 0},
    {".store", false, "", 0, 0},
    {"..store.~abc123", false, "", 0, 0},
    {".PC7_1700000000.0.~k3j9x2", false, "", 0, 0},
    {"", false, "", 0, 0},
};

class FilingNameTest : public ::testing::TestWithParam<SNameCase>
{
};

TEST_P(FilingNameTest, TakesOnlyTheFormFilingWrites)
{
    const SNameCase& c = GetParam();
    SFilingName name = {99, -1, 99};
    ASSERT_EQ(c.bFiling, ParseFilingName(c.szName, &name)) << c.szName;
    if (c.bFiling)
    {
        EXPECT_EQ(c.szComputer, std::string(c.szName, name.nComputerLength));
        EXPECT_EQ(c.nSeconds, name.nSeconds);
        EXPECT_EQ(c.nNumber, name.nNumber);
    }
}

INSTANTIATE_TEST_SUITE_P(Names, FilingNameTest, ::testing::ValuesIn(kNameCases));

TEST(FilingNameTest, NullIsNoName)
{
    EXPECT_FALSE(ParseFilingName(nullptr, nullptr));
    EXPECT_TRUE(ParseFilingName("PC_1.0", nullptr));
}

} // namespace
