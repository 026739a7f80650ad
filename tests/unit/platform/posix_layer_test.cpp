// Choices of the POSIX layer that the Windows build has no counterpart for: the text-mode stream
// buffer, UTF-8 as the ANSI code page, case-sensitive paths, the errno mapping, moves across file
// systems.
#include "temp_home.h"
#include "test_files.h"
#include "test_requirements.h"
#include "posix/stdstreams.h"

#include <cerrno>
#include <fcntl.h>
#include <iostream>
#include <ostream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// Everything that can be read from fd without blocking once the writer is closed.
static std::string Drain(int nFd)
{
    std::string str;
    char buf[4096];
    ssize_t nGot;
    while ((nGot = read(nFd, buf, sizeof(buf))) > 0)
    {
        str.append(buf, static_cast<size_t>(nGot));
    }
    return str;
}

TEST(TextModeStream, EveryLineFeedBecomesCrLf)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    {
        CTextModeStreamBuf buf(fds[1]);
        std::ostream out(&buf);
        out << "Content-type: text/html\n\n";
        out << "Vendrel_OK\r\n";
        out.put('\n');
        out << 'x';
    }
    close(fds[1]);
    EXPECT_EQ("Content-type: text/html\r\n\r\nVendrel_OK\r\r\n\r\nx", Drain(fds[0]));
    close(fds[0]);
}

TEST(TextModeStream, LongTextIsWrittenWhole)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    // Larger than the stream buffer's staging area, and all line feeds: twice the bytes out.
    std::string strIn(3000, '\n');
    strIn += "end";
    std::string strOut;
    std::thread reader([&] { strOut = Drain(fds[0]); });
    {
        CTextModeStreamBuf buf(fds[1]);
        std::ostream out(&buf);
        out << strIn;
        EXPECT_TRUE(out.good());
    }
    close(fds[1]);
    reader.join();
    close(fds[0]);
    std::string strExpected;
    for (int i = 0; i < 3000; ++i)
    {
        strExpected += "\r\n";
    }
    EXPECT_EQ(strExpected + "end", strOut);
}

TEST(TextModeStream, SetModeSwitchesStandardOutput)
{
    int fds[2];
    ASSERT_EQ(0, pipe(fds));
    std::cout.flush();
    int nSaved = dup(STDOUT_FILENO);
    dup2(fds[1], STDOUT_FILENO);
    EXPECT_EQ(_O_BINARY, _setmode(_fileno(stdout), _O_TEXT));
    std::cout << "A\n";
    EXPECT_EQ(_O_TEXT, _setmode(_fileno(stdout), _O_TEXT));
    EXPECT_EQ(_O_TEXT, _setmode(_fileno(stdout), _O_BINARY));
    std::cout << "B\n" << std::flush;
    dup2(nSaved, STDOUT_FILENO);
    close(nSaved);
    close(fds[1]);
    EXPECT_EQ("A\r\nB\n", Drain(fds[0]));
    close(fds[0]);
}

TEST(TextModeStream, SetModeChecksItsArguments)
{
    EXPECT_EQ(STDOUT_FILENO, _fileno(stdout));
    EXPECT_EQ(_O_BINARY, _setmode(_fileno(stdin), _O_BINARY));
    errno = 0;
    EXPECT_EQ(-1, _setmode(-1, _O_TEXT));
    EXPECT_EQ(EBADF, errno);
    EXPECT_EQ(-1, _setmode(_fileno(stdin), 12345));
    EXPECT_EQ(EINVAL, errno);
}

TEST(PosixCodePage, AnsiIsUtf8)
{
    EXPECT_EQ(static_cast<UINT>(CP_UTF8), GetACP());
    WCHAR wsz[8];
    ASSERT_EQ(4, MultiByteToWideChar(CP_ACP, 0, "\xc3\xa9\xf0\x9f\x98\x80", -1, wsz, 8));
    EXPECT_EQ(0xe9, wsz[0]);
    EXPECT_EQ(0xd83d, wsz[1]);
    EXPECT_EQ(0xde00, wsz[2]);
}

TEST(PosixCodePage, FileNamesWithLoneSurrogatesAreRefused)
{
    const WCHAR wszName[] = {u'/', u't', u'm', u'p', u'/', 0xd800, 0};
    EXPECT_EQ(INVALID_HANDLE_VALUE, CreateFileW(wszName, GENERIC_READ, FILE_SHARE_READ, nullptr,
                                                OPEN_EXISTING, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_NAME), GetLastError());
}

TEST(PosixPaths, ComparisonIsCaseSensitive)
{
    const unsigned char* szUpper = reinterpret_cast<const unsigned char*>("/srv/TEMP/");
    const unsigned char* szLower = reinterpret_cast<const unsigned char*>("/srv/temp/");
    EXPECT_NE(0, _mbsicmp(szUpper, szLower));
    EXPECT_EQ(_NLSCMPERROR, _mbsicmp(nullptr, szLower));
}

TEST(PosixPaths, BackslashIsAnOrdinaryByte)
{
    char szDrive[_MAX_DRIVE];
    char szDir[_MAX_DIR];
    char szName[_MAX_FNAME];
    char szExt[_MAX_EXT];
    EXPECT_EQ(0, _splitpath_s("/q/a\\b.c", szDrive, sizeof(szDrive), szDir, sizeof(szDir), szName,
                              sizeof(szName), szExt, sizeof(szExt)));
    EXPECT_STREQ("/q/", szDir);
    EXPECT_STREQ("a\\b", szName);
    EXPECT_STREQ(".c", szExt);
    char szFull[_MAX_PATH];
    EXPECT_STREQ("/q/a\\..\\b", _fullpath(szFull, "/q/./a\\..\\b", sizeof(szFull)));
}

TEST(PosixPaths, MissingBufferWithSizeIsAnInvalidParameter)
{
    char szDir[_MAX_DIR] = "keep";
    EXPECT_EQ(EINVAL,
              _splitpath_s("/a/b", nullptr, 3, szDir, sizeof(szDir), nullptr, 0, nullptr, 0));
    EXPECT_STREQ("", szDir);
    EXPECT_EQ(EINVAL,
              _splitpath_s(nullptr, nullptr, 0, szDir, sizeof(szDir), nullptr, 0, nullptr, 0));
}

TEST(PosixErrors, ErrnoMapsToTheWin32Codes)
{
    static const struct
    {
        int nErrno;
        DWORD dwError;
    } kMap[] = {
        {ENOENT, ERROR_FILE_NOT_FOUND},
        {ENOTDIR, ERROR_PATH_NOT_FOUND},
        {EACCES, ERROR_ACCESS_DENIED},
        {EPERM, ERROR_ACCESS_DENIED},
        {EROFS, ERROR_ACCESS_DENIED},
        {EEXIST, ERROR_ALREADY_EXISTS},
        {ENOSPC, ERROR_DISK_FULL},
        {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
        {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
        {ENOBUFS, ERROR_NO_SYSTEM_RESOURCES},
        {ECONNREFUSED, ERROR_FILE_NOT_FOUND},
        {EPIPE, ERROR_NO_DATA},
        {0, ERROR_SUCCESS},
    };
    for (const auto& entry : kMap)
    {
        EXPECT_EQ(entry.dwError, PalWin32ErrorFromErrno(entry.nErrno)) << "errno " << entry.nErrno;
    }
}

// The last unit of a cut path is its terminator, so that no caller reads past the buffer.
TEST(PosixModulePath, CutPathIsTerminated)
{
    char szFull[MAX_PATH];
    GetModuleFileNameA(nullptr, szFull, sizeof(szFull));
    char szCut[6];
    memset(szCut, 'Z', sizeof(szCut));
    EXPECT_EQ(5u, GetModuleFileNameA(nullptr, szCut, 5));
    EXPECT_EQ(std::string(szFull, 4), std::string(szCut));
}

TEST(PosixPaths, FullPathTooLongSetsErange)
{
    char szBuf[4];
    errno = 0;
    EXPECT_EQ(nullptr, _fullpath(szBuf, "abc", sizeof(szBuf)));
    EXPECT_EQ(ERANGE, errno);
}

TEST(PosixCodePage, SurrogatePairNeverSplits)
{
    WCHAR wsz[2] = {u'Z', u'Z'};
    EXPECT_EQ(0, MultiByteToWideChar(CP_UTF8, 0, "\xf0\x9f\x98\x80", 4, wsz, 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), GetLastError());
    EXPECT_EQ(u'Z', wsz[1]);
}

TEST(PosixIdentity, ProcessIdIsThePid)
{
    EXPECT_EQ(static_cast<DWORD>(getpid()), GetCurrentProcessId());
    EXPECT_EQ(static_cast<DWORD>(gettid()), GetCurrentThreadId());
}

// The identities are remembered: a forked child and another thread still get their own.
TEST(PosixIdentity, ForkedChildAndOtherThreadsGetTheirOwnIds)
{
    DWORD dwParentPid = GetCurrentProcessId();
    DWORD dwParentTid = GetCurrentThreadId();
    pid_t nChild = fork();
    ASSERT_GE(nChild, 0);
    if (nChild == 0)
    {
        bool bOwn = GetCurrentProcessId() == static_cast<DWORD>(getpid()) &&
                    GetCurrentThreadId() == static_cast<DWORD>(gettid()) &&
                    GetCurrentProcessId() != dwParentPid && GetCurrentThreadId() != dwParentTid;
        _exit(bOwn ? 0 : 1);
    }
    int nStatus = -1;
    ASSERT_EQ(nChild, waitpid(nChild, &nStatus, 0));
    EXPECT_TRUE(WIFEXITED(nStatus) && WEXITSTATUS(nStatus) == 0) << nStatus;

    DWORD dwOtherTid = 0;
    std::thread other([&dwOtherTid] { dwOtherTid = GetCurrentThreadId(); });
    other.join();
    EXPECT_NE(0u, dwOtherTid);
    EXPECT_NE(dwParentTid, dwOtherTid);
    EXPECT_EQ(dwParentPid, GetCurrentProcessId());
    EXPECT_EQ(dwParentTid, GetCurrentThreadId());
}

// A conversion the layer does not know (flags, widths, pointers...) is copied as it stands with
// the rest of the format, and the arguments after it are never read.
TEST(PosixFormat, UnknownConversionEndsTheConversions)
{
    const char* szFormat = "%s=%d %5d %s";
    char sz[32];
    EXPECT_EQ(10, _snprintf(sz, sizeof(sz), szFormat, "n", 7));
    EXPECT_STREQ("n=7 %5d %s", sz);
    WCHAR wsz[32];
    const WCHAR* wszFormat = u"%d%p%s%";
    EXPECT_EQ(7, _snwprintf(wsz, 32, wszFormat, 42));
    EXPECT_EQ(std::u16string(u"42%p%s%"), std::u16string(wsz));
    EXPECT_EQ(4, _snwprintf(wsz, 32, u"%ls|", u"x"));
    EXPECT_EQ(std::u16string(u"%ls|"), std::u16string(wsz));
}

class PosixFilesTest : public CTempDirTest
{
};

TEST_F(PosixFilesTest, HandlesAreNotInherited)
{
    ASSERT_TRUE(WriteWholeFile(Path("f"), "x"));
    int nBefore = dup(0);
    close(nBefore);
    HANDLE h = OpenForRead(Path("f"));
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    // The lowest free descriptor is the one the handle took.
    int nFlags = fcntl(nBefore, F_GETFD);
    EXPECT_NE(0, nFlags & FD_CLOEXEC);
    CloseHandle(h);
}

TEST_F(PosixFilesTest, ListingDoesNotFollowLinks)
{
    ASSERT_TRUE(WriteWholeFile(Path("target"), std::string(1000, 'x')));
    ASSERT_EQ(0, symlink("target", Path("link").c_str()));
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(Path("li*").c_str(), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_STREQ("link", data.cFileName);
    EXPECT_EQ(6u, data.nFileSizeLow);
    FindClose(h);
}

TEST_F(PosixFilesTest, MoveAcrossFileSystemsCopiesAndNeverReplaces)
{
    std::string strOther = "/dev/shm/vendrel_pal_move_" + std::to_string(getpid());
    struct stat stShm;
    struct stat stTmp;
    if (stat("/dev/shm", &stShm) != 0 || stat(m_strDir.c_str(), &stTmp) != 0 ||
        stShm.st_dev == stTmp.st_dev)
    {
        VENDREL_CANNOT_RUN("no second file system to move across: /dev/shm and " << m_strDir
                                                                                 << " are one");
    }
    ASSERT_TRUE(WriteWholeFile(strOther, "across"));
    chmod(strOther.c_str(), 0640);
    struct timespec times[2] = {{1000000000, 0}, {1000000000, 0}};
    utimensat(AT_FDCWD, strOther.c_str(), times, 0);
    ASSERT_TRUE(WriteWholeFile(Path("taken"), "old"));
    EXPECT_FALSE(MoveFileA(strOther.c_str(), Path("taken").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ("old", ReadWholeFile(Path("taken")));
    ASSERT_TRUE(MoveFileA(strOther.c_str(), Path("moved").c_str()));
    EXPECT_EQ("across", ReadWholeFile(Path("moved")));
    struct stat st;
    EXPECT_NE(0, stat(strOther.c_str(), &st));
    ASSERT_EQ(0, stat(Path("moved").c_str(), &st));
    EXPECT_EQ(0640u, st.st_mode & 0777);
    EXPECT_EQ(1000000000, st.st_mtim.tv_sec);
    unlink(strOther.c_str());
}
