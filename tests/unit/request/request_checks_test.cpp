#include "cgi_vars.h"
#include "test_env.h"
#include "test_files.h"
#include "upload_checks.h"

#include "platform.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

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

// Only a file on disk is an upload, and its own size is what counts; what is not one is refused
// without being read.
class RegularUploadFile : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_strDir = "regular_upload_test_" + std::to_string(GetCurrentProcessId());
        std::filesystem::remove_all(m_strDir);
        ASSERT_TRUE(std::filesystem::create_directory(m_strDir));
    }
    void TearDown() override { std::filesystem::remove_all(m_strDir); }
    std::string In(const std::string& strName) const
    {
        return m_strDir + VENDREL_DIR_SEP_STR + strName;
    }
    // Whether the check takes strPath; its size, -1 when refused (and then 0 from the check).
    static int64_t SizeTaken(const std::string& strPath)
    {
        int64_t nSize = -7;
        if (!IsRegularUploadFile(strPath.c_str(), &nSize))
        {
            EXPECT_EQ(0, nSize) << strPath;
            return -1;
        }
        return nSize;
    }

    std::string m_strDir;
};

TEST_F(RegularUploadFile, RegularFilesAreTakenWithTheirOwnSize)
{
    ASSERT_TRUE(WriteWholeFile(In("upload_1"), "content"));
    ASSERT_TRUE(WriteWholeFile(In("empty.bin"), ""));
    ASSERT_TRUE(WriteWholeFile(In(".hidden"), std::string(4096, 'h')));
    EXPECT_EQ(7, SizeTaken(In("upload_1")));
    EXPECT_EQ(0, SizeTaken(In("empty.bin")));
    EXPECT_EQ(4096, SizeTaken(In(".hidden")));
}

TEST_F(RegularUploadFile, WhatIsNoFileOnDiskIsRefused)
{
    ASSERT_TRUE(WriteWholeFile(In("upload_1"), "content"));
    std::filesystem::create_directory(In("sub"));
    const std::string aRefused[] = {
        m_strDir + VENDREL_DIR_SEP_STR, m_strDir, In("."), In(".."), In("sub"), In("missing"), "",
        // A stream of an existing file, or a device's name with a stream, is no file of its own.
        In("upload_1:stream"), In("upload_1::$DATA"), In("NUL::$DATA"), In("upload_1:")};
    for (const std::string& strPath : aRefused)
    {
        EXPECT_EQ(-1, SizeTaken(strPath)) << strPath;
    }
    // The file the refused streams named is still there, untouched.
    EXPECT_EQ("content", ReadWholeFile(In("upload_1")));
}

// Files of 2 GiB and more count in full: a hole of 5 GiB reads back as its size.
TEST_F(RegularUploadFile, SizeAboveTwoGigabytesCountsInFull)
{
    const uint64_t nSize = 5ull * 1024 * 1024 * 1024 + 3;
    HANDLE h = CreateFileA(In("huge").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    LONG lHigh = static_cast<LONG>((nSize - 1) >> 32);
    SetFilePointer(h, static_cast<LONG>((nSize - 1) & 0xffffffffu), &lHigh, FILE_BEGIN);
    DWORD dwWritten = 0;
    ASSERT_TRUE(WriteFile(h, "!", 1, &dwWritten, nullptr));
    CloseHandle(h);
    EXPECT_EQ(static_cast<int64_t>(nSize), SizeTaken(In("huge")));
}

#ifdef _WIN32
// Names that Windows maps to devices, in every spelling: refused at once, none of them read.
TEST_F(RegularUploadFile, DeviceNamesAreRefused)
{
    for (const char* szName : {"COM1", "AUX.txt", "NUL", "nul.txt", "NUL.", "NUL ", "CON", "PRN",
                               "com9", "LPT1", "lpt9.dat", "CON.", "aux "})
    {
        EXPECT_EQ(-1, SizeTaken(In(szName))) << szName;
    }
}
#else
// FIFOs, sockets, devices and links: refused, and a FIFO without a writer does not block.
TEST_F(RegularUploadFile, SpecialEntriesAndLinksAreRefused)
{
    ASSERT_TRUE(WriteWholeFile(In("target"), "target"));
    ASSERT_EQ(0, mkfifo(In("fifo").c_str(), 0600));
    ASSERT_EQ(0, symlink(In("target").c_str(), In("link").c_str()));
    ASSERT_EQ(0, symlink("/dev/zero", In("zero").c_str()));
    for (const std::string& strPath :
         {In("fifo"), In("link"), In("zero"), std::string("/dev/null"), std::string("/dev/zero")})
    {
        EXPECT_EQ(-1, SizeTaken(strPath)) << strPath;
    }
    EXPECT_EQ(6, SizeTaken(In("target")));
}
#endif
