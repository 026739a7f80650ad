#include "kelsio.h"
#include "kelsio_test_support.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

namespace
{

std::string HomeDir(int nSize = 260)
{
    char szHome[600];
    memset(szHome, 'X', sizeof(szHome));
    int nLength = getHomeDir(szHome, nSize);
    EXPECT_EQ(static_cast<size_t>(nLength), strlen(szHome));
    return szHome;
}

std::string ExeBasedHome()
{
    char szExe[1024] = {0};
    EXPECT_GT(GetModuleFileNameA(nullptr, szExe, sizeof(szExe)), 0u);
    std::filesystem::path exe(szExe);
    return exe.parent_path().parent_path().parent_path().string();
}

class HomeDirectory : public ::testing::Test
{
protected:
    void TearDown() override { UnsetEnvVar("KELSIO_HOME"); }
};

} // namespace

TEST_F(HomeDirectory, FromEnvironmentWithoutTrailingSeparator)
{
    std::string strSep = VENDREL_DIR_SEP_STR;
    std::string strHome = VENDREL_DIR_SEP == '\\' ? "C:\\Srv\\Vendrel" : "/srv/vendrel";
    SetEnvVar("KELSIO_HOME", strHome.c_str());
    EXPECT_EQ(HomeDir(), strHome);
    SetEnvVar("KELSIO_HOME", (strHome + strSep + strSep).c_str());
    EXPECT_EQ(HomeDir(), strHome) << "separators at the end are dropped";
    SetEnvVar("KELSIO_HOME", (strHome + "/").c_str());
    EXPECT_EQ(HomeDir(), strHome);
}

TEST_F(HomeDirectory, TooSmallBufferGivesEmptyTextNotACutPath)
{
    SetEnvVar("KELSIO_HOME", VENDREL_DIR_SEP == '\\' ? "C:\\abcdefgh" : "/abcdefghij");
    EXPECT_EQ(HomeDir(12), VENDREL_DIR_SEP == '\\' ? "C:\\abcdefgh" : "/abcdefghij");
    EXPECT_EQ(HomeDir(11), "");
    char cUntouched = 'Q';
    EXPECT_EQ(getHomeDir(&cUntouched, 0), 0);
    EXPECT_EQ(cUntouched, 'Q');
}

TEST_F(HomeDirectory, TwoLevelsAboveTheExecutablesDirectory)
{
    UnsetEnvVar("KELSIO_HOME");
    char szExe[1024] = {0};
    ASSERT_GT(GetModuleFileNameA(nullptr, szExe, sizeof(szExe)), 0u);
    std::string strHome = HomeDir(600);
    EXPECT_EQ(strHome, ExeBasedHome());
    ASSERT_FALSE(strHome.empty());
    EXPECT_NE(strHome.back(), VENDREL_DIR_SEP);
    EXPECT_EQ(std::string(szExe).compare(0, strHome.size(), strHome), 0);
}

TEST_F(HomeDirectory, EmptyEnvironmentValueCountsAsUnset)
{
    SetEnvVar("KELSIO_HOME", "");
    EXPECT_EQ(HomeDir(600), ExeBasedHome());
}
