// Splitting, resolving and comparing paths.
#include "platform.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <string>

#define SEP VENDREL_DIR_SEP_STR

struct SSplit
{
    char m_szDrive[_MAX_DRIVE];
    char m_szDir[_MAX_DIR];
    char m_szName[_MAX_FNAME];
    char m_szExt[_MAX_EXT];
    errno_t m_nRet;
};

static SSplit Split(const std::string& strPath)
{
    SSplit split;
    memset(&split, 'Z', sizeof(split));
    split.m_nRet = _splitpath_s(strPath.c_str(), split.m_szDrive, sizeof(split.m_szDrive),
                                split.m_szDir, sizeof(split.m_szDir), split.m_szName,
                                sizeof(split.m_szName), split.m_szExt, sizeof(split.m_szExt));
    return split;
}

TEST(SplitPath, DriveDirectoryNameAndExtension)
{
    SSplit split = Split("C:" SEP "quarantine" SEP "PC7_1700000000.3");
    EXPECT_EQ(0, split.m_nRet);
    EXPECT_STREQ("C:", split.m_szDrive);
    EXPECT_STREQ(SEP "quarantine" SEP, split.m_szDir);
    EXPECT_STREQ("PC7_1700000000", split.m_szName);
    EXPECT_STREQ(".3", split.m_szExt);
}

TEST(SplitPath, ExtensionIsFromTheLastDotOfTheName)
{
    SSplit split = Split("d.x" SEP "a.b.c");
    EXPECT_STREQ("d.x" SEP, split.m_szDir);
    EXPECT_STREQ("a.b", split.m_szName);
    EXPECT_STREQ(".c", split.m_szExt);
    split = Split("d.x" SEP "name");
    EXPECT_STREQ("name", split.m_szName);
    EXPECT_STREQ("", split.m_szExt);
    split = Split("dir" SEP ".store");
    EXPECT_STREQ("", split.m_szName);
    EXPECT_STREQ(".store", split.m_szExt);
}

TEST(SplitPath, NoDriveNoDirectory)
{
    SSplit split = Split("file.txt");
    EXPECT_EQ(0, split.m_nRet);
    EXPECT_STREQ("", split.m_szDrive);
    EXPECT_STREQ("", split.m_szDir);
    EXPECT_STREQ("file", split.m_szName);
    EXPECT_STREQ(".txt", split.m_szExt);
    split = Split(SEP "dir" SEP);
    EXPECT_STREQ(SEP "dir" SEP, split.m_szDir);
    EXPECT_STREQ("", split.m_szName);
}

TEST(SplitPath, PartsWithoutBufferAreSkipped)
{
    char szDir[_MAX_DIR];
    EXPECT_EQ(0, _splitpath_s("a" SEP "b" SEP "c.d", nullptr, 0, szDir, sizeof(szDir), nullptr, 0,
                              nullptr, 0));
    EXPECT_STREQ("a" SEP "b" SEP, szDir);
}

TEST(SplitPath, NameOf255FitsAnd256EmptiesEveryPart)
{
    SSplit split = Split("C:" SEP "d" SEP + std::string(255, 'n') + ".e");
    EXPECT_EQ(0, split.m_nRet);
    EXPECT_EQ(255u, strlen(split.m_szName));
    EXPECT_STREQ(".e", split.m_szExt);
    split = Split("C:" SEP "d" SEP + std::string(256, 'n') + ".e");
    EXPECT_EQ(ERANGE, split.m_nRet);
    EXPECT_STREQ("", split.m_szDrive);
    EXPECT_STREQ("", split.m_szDir);
    EXPECT_STREQ("", split.m_szName);
    EXPECT_STREQ("", split.m_szExt);
}

TEST(SplitPath, DirectoryTooLongEmptiesEveryPart)
{
    SSplit split = Split(SEP + std::string(255, 'd') + SEP "n.e");
    EXPECT_EQ(ERANGE, split.m_nRet);
    EXPECT_STREQ("", split.m_szDir);
    EXPECT_STREQ("", split.m_szName);
    EXPECT_STREQ("", split.m_szExt);
    split = Split(SEP + std::string(253, 'd') + SEP "n.e");
    EXPECT_EQ(0, split.m_nRet);
    EXPECT_STREQ("n", split.m_szName);
}

static std::string Cwd()
{
    return std::filesystem::current_path().string();
}

static std::string Full(const char* szRel)
{
    char szAbs[_MAX_PATH + 1];
    const char* p = _fullpath(szAbs, szRel, sizeof(szAbs));
    return p != nullptr ? p : "(null)";
}

TEST(FullPath, ResolvesAgainstTheCurrentDirectoryAndNormalises)
{
    EXPECT_EQ(Cwd() + SEP "a" SEP "c" SEP, Full("a" SEP "." SEP "b" SEP ".." SEP "c" SEP));
    EXPECT_EQ(Cwd() + SEP "a", Full("a" SEP "b" SEP ".."));
    EXPECT_EQ(Cwd() + SEP "a" SEP "b", Full("a" SEP SEP "b"));
    EXPECT_EQ(Cwd(), Full(""));
    // Nothing is looked up: directories that do not exist resolve all the same.
    EXPECT_EQ(Cwd() + SEP "no" SEP "such" SEP "file", Full("no" SEP "such" SEP "file"));
}

TEST(FullPath, DotDotStopsAtTheRoot)
{
    std::string strRoot = Full(SEP);
    ASSERT_NE("(null)", strRoot);
    EXPECT_EQ(strRoot + "x", Full(SEP ".." SEP ".." SEP "x"));
}

TEST(FullPath, ResultLongerThanTheBufferFails)
{
    std::string strFull = Full("abc");
    std::string strBuf(strFull.size() + 1, 'Z');
    EXPECT_EQ(&strBuf[0], _fullpath(&strBuf[0], "abc", strBuf.size()));
    EXPECT_EQ(strFull, std::string(strBuf.c_str()));
    EXPECT_EQ(nullptr, _fullpath(&strBuf[0], "abc", strFull.size()));
}

TEST(FullPath, NullBufferIsAllocated)
{
    char* p = _fullpath(nullptr, "x", 0);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(Cwd() + SEP "x", std::string(p));
    free(p);
}

static const unsigned char* U(const char* sz)
{
    return reinterpret_cast<const unsigned char*>(sz);
}

TEST(MbsCompare, OrdersBytesUnsigned)
{
    EXPECT_EQ(0, _mbscmp(U("abc"), U("abc")));
    EXPECT_LT(_mbscmp(U("abc"), U("abd")), 0);
    EXPECT_GT(_mbscmp(U("b"), U("a")), 0);
    EXPECT_GT(_mbscmp(U("\xe9"), U("z")), 0);
    EXPECT_LT(_mbscmp(U("ab"), U("abc")), 0);
    EXPECT_EQ(0, _mbsicmp(U(SEP "srv" SEP "TEMP" SEP), U(SEP "srv" SEP "TEMP" SEP)));
    EXPECT_NE(0, _mbsicmp(U(SEP "srv" SEP "TEMP" SEP), U(SEP "srv" SEP "TMP" SEP)));
}
