#include "cgi_vars.h"
#include "test_env.h"
#include "test_files.h"
#include "upload_checks.h"

#include "platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace
{

// The home directory as a path of this build: C:\Home on Windows, /srv/Home on POSIX.
std::string HomeDir()
{
    return std::string(VENDREL_DIR_SEP == '\\' ? "C:" : "/srv") + VENDREL_DIR_SEP_STR + "Home";
}

std::string InHome(const std::string& strRest)
{
    return HomeDir() + VENDREL_DIR_SEP_STR + strRest;
}

bool InUploadDir(const std::string& strPath)
{
    char szRecombined[MAX_PATH];
    char szUploadDir[MAX_PATH];
    return IsInUploadDirectory(strPath.c_str(), szRecombined, szUploadDir);
}

} // namespace

TEST(CgiVarLookup, FirstExactCaseSensitiveNameWins)
{
    char szA[] = "TempFileName", szB[] = "one", szC[] = "tempfilename", szD[] = "two",
         szE[] = "TempFileName", szF[] = "three", szG[] = "Empty", szH[] = "";
    char* ppVars[] = {szC, szD, szA, szB, szE, szF, szG, szH, nullptr};
    EXPECT_STREQ(getCgiVar(ppVars, "TempFileName"), "one");
    EXPECT_STREQ(getCgiVar(ppVars, "tempfilename"), "two");
    EXPECT_STREQ(getCgiVar(ppVars, "Empty"), "");
    EXPECT_EQ(getCgiVar(ppVars, "TEMPFILENAME"), nullptr);
    EXPECT_EQ(getCgiVar(ppVars, "one"), nullptr) << "values are never taken for names";
}

TEST(CgiVarLookup, EmptyArrayHasNothing)
{
    char* ppVars[] = {nullptr};
    EXPECT_EQ(getCgiVar(ppVars, "Verify"), nullptr);
}

TEST(ComputerNameCheck, RefusesSeparatorsAndPercentBytewise)
{
    EXPECT_TRUE(IsComputerNameAcceptable(""));
    EXPECT_TRUE(IsComputerNameAcceptable("PC7"));
    EXPECT_FALSE(IsComputerNameAcceptable("PC%41"));
    EXPECT_FALSE(IsComputerNameAcceptable("a/b"));
    EXPECT_FALSE(IsComputerNameAcceptable("a\\b"));
    // A double-byte character whose trail byte is the code of '\' (0x5C).
    EXPECT_FALSE(IsComputerNameAcceptable("PC\x95\x5C"));
}

TEST(UploadSizeRule, ReadsLikeStrtolWithinInt32)
{
    EXPECT_EQ(ReadUploadSize("abc"), 0);
    EXPECT_EQ(ReadUploadSize(" 42kB"), 42);
    EXPECT_EQ(ReadUploadSize("99999999999"), 2147483647);
    EXPECT_EQ(ReadUploadSize("-99999999999"), -2147483647 - 1);
    EXPECT_EQ(ReadUploadSize("-100"), -100);
    EXPECT_EQ(ReadUploadSize("+7"), 7);
    EXPECT_EQ(ReadUploadSize(""), 0);
}

TEST(LocationCheck, AdmitsOnlyFilesDirectlyInTheUploadDirectory)
{
    SetEnvVar("KELSIO_HOME", HomeDir().c_str());
    const std::string strSep = VENDREL_DIR_SEP_STR;
    EXPECT_TRUE(InUploadDir(InHome("TEMP" + strSep + "up.dat")));
    EXPECT_FALSE(InUploadDir(InHome("TEMP" + strSep + "sub" + strSep + "up.dat")));
    EXPECT_FALSE(InUploadDir(InHome("TEMP" + strSep + ".." + strSep + "up.dat")));
    EXPECT_FALSE(InUploadDir(InHome("TEMP" + strSep + strSep + "up.dat")));
    EXPECT_FALSE(InUploadDir("up.dat"));
    EXPECT_FALSE(InUploadDir(InHome("up.dat")));
}

TEST(LocationCheck, TracesBothDirectoriesOfAFailure)
{
    SetEnvVar("KELSIO_HOME", HomeDir().c_str());
    char szRecombined[MAX_PATH];
    char szUploadDir[MAX_PATH];
    const std::string strPath = InHome(std::string("Other") + VENDREL_DIR_SEP_STR + "up.dat");
    EXPECT_FALSE(IsInUploadDirectory(strPath.c_str(), szRecombined, szUploadDir));
    EXPECT_EQ(std::string(szRecombined), InHome("Other" VENDREL_DIR_SEP_STR));
    EXPECT_EQ(std::string(szUploadDir), InHome("TEMP" VENDREL_DIR_SEP_STR));
}

TEST(LocationCheck, NameOf256BytesEmptiesAllParts)
{
    SetEnvVar("KELSIO_HOME", HomeDir().c_str());
    char szRecombined[MAX_PATH];
    char szUploadDir[MAX_PATH];
    const std::string strPath = InHome("TEMP" VENDREL_DIR_SEP_STR + std::string(256, 'n'));
    EXPECT_FALSE(IsInUploadDirectory(strPath.c_str(), szRecombined, szUploadDir));
    EXPECT_STREQ(szRecombined, "");
    EXPECT_TRUE(InUploadDir(InHome("TEMP" VENDREL_DIR_SEP_STR + std::string(255, 'n'))));
}

#ifdef _WIN32
// Windows paths compare without regard to case, and '/' is not '\'.
TEST(LocationCheck, WindowsCaseAndSeparators)
{
    SetEnvVar("KELSIO_HOME", "C:\\Home");
    EXPECT_TRUE(InUploadDir("c:\\home\\temp\\up.dat"));
    EXPECT_FALSE(InUploadDir("C:/Home/TEMP/up.dat"));
}
#else
// The POSIX file system tells case apart, so a differently cased directory is another one.
TEST(LocationCheck, PosixIsCaseSensitiveAndBackslashIsAByte)
{
    SetEnvVar("KELSIO_HOME", "/srv/Home");
    EXPECT_FALSE(InUploadDir("/srv/home/temp/up.dat"));
    EXPECT_TRUE(InUploadDir("/srv/Home/TEMP/a\\b"));
    EXPECT_FALSE(InUploadDir("\\srv\\Home\\TEMP\\up.dat"));
}
#endif

// Only a regular file is an upload; what is not one is refused without being read.
TEST(RegularUploadFile, OnlyARegularFileWithANameIsAdmitted)
{
    const std::string strDir = "regular_upload_test_" + std::to_string(GetCurrentProcessId());
    std::filesystem::remove_all(strDir);
    ASSERT_TRUE(std::filesystem::create_directory(strDir));
    const std::string strFile = strDir + VENDREL_DIR_SEP_STR + "upload_1";
    ASSERT_TRUE(WriteWholeFile(strFile, "content"));

    EXPECT_TRUE(IsRegularUploadFile(strFile.c_str()));
    EXPECT_FALSE(IsRegularUploadFile((strDir + VENDREL_DIR_SEP_STR).c_str()));
    EXPECT_FALSE(IsRegularUploadFile(strDir.c_str()));
    EXPECT_FALSE(IsRegularUploadFile((strDir + VENDREL_DIR_SEP_STR ".").c_str()));
    EXPECT_FALSE(IsRegularUploadFile((strDir + VENDREL_DIR_SEP_STR "missing").c_str()));
    EXPECT_FALSE(IsRegularUploadFile(""));

    std::filesystem::remove_all(strDir);
}
