// MoveFileA on POSIX: the new name reaches the disk before the call returns, and a move across
// file systems copies under a hidden temporary name that is flushed before the target name
// appears and that no failure or end signal leaves behind. The system-call table stands in for
// a second file system (renameat2 answering EXDEV), for file systems without hard links or
// RENAME_NOREPLACE, and for failing or slow writes and fsyncs.
#include "temp_home.h"
#include "test_files.h"
#include "posix/pal_internal.h"
#include "system_calls.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace
{

// What the stand-ins see and do; reset by every test.
struct CMoveScript
{
    std::string strSource;
    std::string strTarget;
    std::string strTargetDir;
    // renameat2 of the source answers EXDEV: the target lies on another file system.
    bool bOtherFileSystem = false;
    int nLinkErrno = 0;
    int nNoReplaceErrno = 0;
    int nFileFsyncErrno = 0;
    int nDirFsyncErrno = 0;
    // The write call (1-based) at which bWriteFails, bCompetitor or nSignal acts; 0: none.
    int nActAtWrite = 0;
    bool bWriteFails = false;
    // Another process files under the target name in the middle of the copy.
    bool bCompetitor = false;
    int nSignal = 0;
    int nWrites = 0;
    // One line per fsync, in order: "file <size> target:<0|1> temps:<n>" or "dir ...".
    std::vector<std::string> events;
};

CMoveScript s_script;

// Hidden temporary names in szDir.
std::vector<std::string> TempNamesIn(const std::string& strDir)
{
    std::vector<std::string> names;
    for (const std::string& strName : ListNames(strDir))
    {
        if (IsReplacementTemporaryName(strName.c_str()))
        {
            names.push_back(strName);
        }
    }
    return names;
}

std::string StateLine(const char* szKind, long long nSize)
{
    bool bTarget = PathExists(s_script.strTarget);
    return std::string(szKind) + " " + std::to_string(nSize) + " target:" + (bTarget ? "1" : "0") +
           " temps:" + std::to_string(TempNamesIn(s_script.strTargetDir).size());
}

int ScriptedFsync(int nFd)
{
    struct stat st;
    if (fstat(nFd, &st) != 0)
    {
        return -1;
    }
    bool bDir = S_ISDIR(st.st_mode);
    s_script.events.push_back(StateLine(bDir ? "dir" : "file", bDir ? 0 : st.st_size));
    int nErrno = bDir ? s_script.nDirFsyncErrno : s_script.nFileFsyncErrno;
    if (nErrno != 0)
    {
        errno = nErrno;
        return -1;
    }
    return fsync(nFd);
}

int ScriptedLink(const char* szFrom, const char* szTo)
{
    if (s_script.nLinkErrno != 0)
    {
        errno = s_script.nLinkErrno;
        return -1;
    }
    return link(szFrom, szTo);
}

int ScriptedRenameNoReplace(const char* szFrom, const char* szTo)
{
    if (s_script.bOtherFileSystem && s_script.strSource == szFrom)
    {
        errno = EXDEV;
        return -1;
    }
    if (s_script.nNoReplaceErrno != 0)
    {
        errno = s_script.nNoReplaceErrno;
        return -1;
    }
    return PalRenameNoReplace(szFrom, szTo);
}

ssize_t ScriptedWrite(int nFd, const void* pData, size_t nSize)
{
    if (++s_script.nWrites == s_script.nActAtWrite)
    {
        if (s_script.bCompetitor)
        {
            WriteWholeFile(s_script.strTarget, "competitor");
        }
        if (s_script.nSignal != 0)
        {
            kill(getpid(), s_script.nSignal);
        }
        if (s_script.bWriteFails)
        {
            errno = ENOSPC;
            return -1;
        }
    }
    return write(nFd, pData, nSize);
}

// More than one copy buffer, so that a copy takes several writes.
std::string Payload()
{
    std::string strData(300 * 1024, '\0');
    for (size_t i = 0; i < strData.size(); ++i)
    {
        strData[i] = static_cast<char>('a' + (i * 7) % 26);
    }
    return strData;
}

class DurableMoveTest : public CTempDirTest
{
protected:
    void SetUp() override
    {
        CTempDirTest::SetUp();
        s_script = CMoveScript();
        MakeDirectory(Path("from"));
        MakeDirectory(Path("to"));
        s_script.strSource = Path("from/upload");
        s_script.strTargetDir = Path("to");
        s_script.strTarget = Path("to/PC7_100.0");
        m_strData = Payload();
        ASSERT_TRUE(WriteWholeFile(s_script.strSource, m_strData));
        SetSystemCall("fsync", (SYSTEM_CALL_PTR)ScriptedFsync);
        SetSystemCall("link", (SYSTEM_CALL_PTR)ScriptedLink);
        SetSystemCall("PalRenameNoReplace", (SYSTEM_CALL_PTR)ScriptedRenameNoReplace);
        SetSystemCall("write", (SYSTEM_CALL_PTR)ScriptedWrite);
    }
    void TearDown() override
    {
        ResetSystemCalls();
        CTempDirTest::TearDown();
    }
    BOOL Move() { return MoveFileA(s_script.strSource.c_str(), s_script.strTarget.c_str()); }

    // The move failed and left everything as it was: the source whole, no target, no temps.
    void ExpectNothingMoved()
    {
        EXPECT_EQ(ReadWholeFile(s_script.strSource), m_strData);
        EXPECT_FALSE(PathExists(s_script.strTarget));
        EXPECT_EQ(TempNamesIn(s_script.strTargetDir), std::vector<std::string>());
    }
    void ExpectMoved()
    {
        EXPECT_FALSE(PathExists(s_script.strSource));
        EXPECT_EQ(ReadWholeFile(s_script.strTarget), m_strData);
        EXPECT_EQ(ListNames(s_script.strTargetDir), std::vector<std::string>{"PC7_100.0"});
    }

    std::string m_strData;
};

} // namespace

TEST_F(DurableMoveTest, RenameSyncsTheTargetDirectoryOnceTheNameIsThere)
{
    ASSERT_TRUE(Move());
    ExpectMoved();
    EXPECT_EQ(s_script.events, std::vector<std::string>{"dir 0 target:1 temps:0"});
}

TEST_F(DurableMoveTest, NameThatCannotBeMadeDurableIsMovedBack)
{
    s_script.nDirFsyncErrno = EIO;
    EXPECT_FALSE(Move());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_DEVICE));
    ExpectNothingMoved();
}

TEST_F(DurableMoveTest, DirectoriesThatCannotBeSyncedKeepNamesByTheirOwnRules)
{
    for (int nErrno : {EINVAL, EOPNOTSUPP, ENOSYS})
    {
        SetUp();
        s_script.nDirFsyncErrno = nErrno;
        EXPECT_TRUE(Move()) << nErrno;
        ExpectMoved();
        TearDown();
    }
}

TEST_F(DurableMoveTest, CopyIsFlushedUnderAHiddenNameBeforeTheTargetNameAppears)
{
    s_script.bOtherFileSystem = true;
    struct stat stBefore;
    ASSERT_EQ(chmod(s_script.strSource.c_str(), 0640), 0);
    const struct timespec times[2] = {{1000000, 0}, {2000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, s_script.strSource.c_str(), times, 0), 0);
    ASSERT_EQ(stat(s_script.strSource.c_str(), &stBefore), 0);
    ASSERT_TRUE(Move());
    ExpectMoved();
    // The whole copy is on the disk while only its hidden name exists; then the target name
    // alone, on the disk too.
    EXPECT_EQ(s_script.events, (std::vector<std::string>{
                                   "file " + std::to_string(m_strData.size()) + " target:0 temps:1",
                                   "dir 0 target:1 temps:0"}));
    struct stat st;
    ASSERT_EQ(stat(s_script.strTarget.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(st.st_mtim.tv_sec, stBefore.st_mtim.tv_sec);
}

// Every failure of a copy, wherever it strikes, leaves the source whole, nothing under the
// target name and no temporary file, with the error Windows reports for it.
TEST_F(DurableMoveTest, FailedCopyLeavesNothingBehind)
{
    struct CCase
    {
        const char* szName;
        void (*pfnArrange)();
        DWORD dwError;
    };
    const CCase cases[] = {
        {"disk full while writing", [] { s_script.nActAtWrite = 2, s_script.bWriteFails = true; },
         ERROR_DISK_FULL},
        {"flush of the copy fails", [] { s_script.nFileFsyncErrno = EIO; }, ERROR_IO_DEVICE},
        {"new name not durable", [] { s_script.nDirFsyncErrno = EIO; }, ERROR_IO_DEVICE},
        {"no hard links, placing fails",
         [] { s_script.nLinkErrno = EPERM, s_script.nNoReplaceErrno = EIO; }, ERROR_IO_DEVICE},
    };
    for (const CCase& c : cases)
    {
        SCOPED_TRACE(c.szName);
        SetUp();
        s_script.bOtherFileSystem = true;
        c.pfnArrange();
        EXPECT_FALSE(Move());
        EXPECT_EQ(GetLastError(), c.dwError);
        ExpectNothingMoved();
        TearDown();
    }
}

// However the file system puts the copy in place, a file that took the target name meanwhile
// is never replaced, and the copy goes.
TEST_F(DurableMoveTest, CopyNeverReplacesAFileThatTookTheNameMeanwhile)
{
    struct CCase
    {
        const char* szName;
        int nLinkErrno;
        int nNoReplaceErrno;
    };
    const CCase cases[] = {{"hard link", 0, 0},
                           {"no hard links: renameat2", EPERM, 0},
                           {"neither: exclusive claim", EPERM, EINVAL}};
    for (const CCase& c : cases)
    {
        SCOPED_TRACE(c.szName);
        SetUp();
        s_script.bOtherFileSystem = true;
        s_script.nLinkErrno = c.nLinkErrno;
        s_script.nNoReplaceErrno = c.nNoReplaceErrno;
        s_script.nActAtWrite = 2;
        s_script.bCompetitor = true;
        EXPECT_FALSE(Move());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
        EXPECT_EQ(ReadWholeFile(s_script.strTarget), "competitor");
        EXPECT_EQ(ReadWholeFile(s_script.strSource), m_strData);
        EXPECT_EQ(TempNamesIn(s_script.strTargetDir), std::vector<std::string>());

        // Without the competitor the same route files the copy whole.
        ASSERT_EQ(unlink(s_script.strTarget.c_str()), 0);
        s_script.nActAtWrite = 0;
        EXPECT_TRUE(Move());
        ExpectMoved();
        TearDown();
    }
}

TEST_F(DurableMoveTest, SameFileSystemWithoutHardLinksOrNoReplaceRenameNeverReplaces)
{
    s_script.nLinkErrno = EPERM;
    s_script.nNoReplaceErrno = EINVAL;
    ASSERT_TRUE(WriteWholeFile(s_script.strTarget, "old"));
    EXPECT_FALSE(Move());
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(ReadWholeFile(s_script.strTarget), "old");
    ASSERT_EQ(unlink(s_script.strTarget.c_str()), 0);
    EXPECT_TRUE(Move());
    ExpectMoved();
    EXPECT_EQ(s_script.events, std::vector<std::string>{"dir 0 target:1 temps:0"});
}

namespace
{

// The handler a program had before the copy: it leaves a mark, then ends the process with the
// default action, as the CGI library's own clean-up does.
std::string s_strMark;

void MarkAndEnd(int nSignal)
{
    int nFd = open(s_strMark.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (nFd >= 0)
    {
        close(nFd);
    }
    signal(nSignal, SIG_DFL);
    raise(nSignal);
}

void MarkAndEndWithInfo(int nSignal, siginfo_t*, void*)
{
    MarkAndEnd(nSignal);
}

enum EPrevious
{
    kDefault,
    kHandler,
    kInfoHandler,
};

void InstallPrevious(int nSignal, EPrevious ePrevious)
{
    struct sigaction action = {};
    sigemptyset(&action.sa_mask);
    if (ePrevious == kDefault)
    {
        action.sa_handler = SIG_DFL;
    }
    else if (ePrevious == kHandler)
    {
        action.sa_handler = MarkAndEnd;
    }
    else
    {
        action.sa_sigaction = MarkAndEndWithInfo;
        action.sa_flags = SA_SIGINFO;
    }
    sigaction(nSignal, &action, nullptr);
}

// Runs the move in a child that the signal ends in the middle of the copy; its wait status.
int MoveInChildEndedBy(int nSignal, EPrevious ePrevious, const std::string& strSource,
                       const std::string& strTarget)
{
    pid_t nPid = fork();
    if (nPid == 0)
    {
        alarm(20);
        InstallPrevious(nSignal, ePrevious);
        s_script.bOtherFileSystem = true;
        s_script.nActAtWrite = 3;
        s_script.nSignal = nSignal;
        MoveFileA(strSource.c_str(), strTarget.c_str());
        _exit(0);
    }
    int nStatus = 0;
    waitpid(nPid, &nStatus, 0);
    return nStatus;
}

} // namespace

// An end signal in the middle of a copy removes its temporary file and still reaches the
// handler that was there before (or the default action): the process ends by that signal.
TEST_F(DurableMoveTest, EndSignalDuringTheCopyRemovesItsTemporaryFile)
{
    s_strMark = Path("handler-ran");
    for (int nSignal : {SIGTERM, SIGINT, SIGHUP})
    {
        for (EPrevious ePrevious : {kDefault, kHandler, kInfoHandler})
        {
            SCOPED_TRACE("signal " + std::to_string(nSignal) + ", previous " +
                         std::to_string(ePrevious));
            unlink(s_strMark.c_str());
            int nStatus =
                MoveInChildEndedBy(nSignal, ePrevious, s_script.strSource, s_script.strTarget);
            ASSERT_TRUE(WIFSIGNALED(nStatus));
            EXPECT_EQ(WTERMSIG(nStatus), nSignal);
            EXPECT_EQ(PathExists(s_strMark), ePrevious != kDefault) << "handed over";
            ExpectNothingMoved();
        }
    }
}

// SIGKILL cannot be caught: the hidden temporary file stays, partial, for the operator's sweep,
// and the target name never shows it.
TEST_F(DurableMoveTest, KilledCopyLeavesOnlyItsHiddenTemporaryFile)
{
    int nStatus = MoveInChildEndedBy(SIGKILL, kDefault, s_script.strSource, s_script.strTarget);
    ASSERT_TRUE(WIFSIGNALED(nStatus));
    EXPECT_EQ(WTERMSIG(nStatus), SIGKILL);
    EXPECT_FALSE(PathExists(s_script.strTarget));
    EXPECT_EQ(ReadWholeFile(s_script.strSource), m_strData);
    std::vector<std::string> temps = TempNamesIn(s_script.strTargetDir);
    ASSERT_EQ(temps.size(), 1u);
    EXPECT_EQ(temps[0].rfind(".PC7_100.0.~", 0), 0u) << temps[0];
    std::string strLeft = ReadWholeFile(s_script.strTargetDir + "/" + temps[0]);
    EXPECT_LT(strLeft.size(), m_strData.size());
    // Listings never show it.
    WIN32_FIND_DATAA data;
    HANDLE hFind = FindFirstFileA((s_script.strTargetDir + "/*").c_str(), &data);
    ASSERT_NE(hFind, INVALID_HANDLE_VALUE);
    do
    {
        EXPECT_FALSE(IsReplacementTemporaryName(data.cFileName)) << data.cFileName;
    } while (FindNextFileA(hFind, &data));
    FindClose(hFind);
}

namespace
{

struct sigaction s_duringCopy;

ssize_t WriteNotingTheHandler(int nFd, const void* pData, size_t nSize)
{
    sigaction(SIGTERM, nullptr, &s_duringCopy);
    return write(nFd, pData, nSize);
}

void IgnoreMe(int) {}

} // namespace

// The handlers are there only while a copy runs; the program's own come back after it, and an
// ignored signal stays ignored (the copy then goes on and is filed whole).
TEST_F(DurableMoveTest, HandlersAreInPlaceOnlyDuringTheCopy)
{
    struct sigaction own = {};
    own.sa_handler = IgnoreMe;
    sigemptyset(&own.sa_mask);
    struct sigaction saved;
    ASSERT_EQ(sigaction(SIGTERM, &own, &saved), 0);
    s_script.bOtherFileSystem = true;
    SetSystemCall("write", (SYSTEM_CALL_PTR)WriteNotingTheHandler);
    EXPECT_TRUE(Move());
    ExpectMoved();
    EXPECT_NE(s_duringCopy.sa_handler, own.sa_handler);
    struct sigaction after;
    sigaction(SIGTERM, nullptr, &after);
    EXPECT_EQ(after.sa_handler, own.sa_handler);
    sigaction(SIGTERM, &saved, nullptr);

    pid_t nPid = fork();
    if (nPid == 0)
    {
        signal(SIGHUP, SIG_IGN);
        s_script.nActAtWrite = 2;
        s_script.nSignal = SIGHUP;
        std::string strSource = s_script.strTarget;
        std::string strTarget = s_script.strTargetDir + "/PC7_100.1";
        s_script.strSource = strSource;
        s_script.strTarget = strTarget;
        SetSystemCall("write", (SYSTEM_CALL_PTR)ScriptedWrite);
        _exit(MoveFileA(strSource.c_str(), strTarget.c_str()) ? 0 : 1);
    }
    int nStatus = 0;
    waitpid(nPid, &nStatus, 0);
    ASSERT_TRUE(WIFEXITED(nStatus));
    EXPECT_EQ(WEXITSTATUS(nStatus), 0);
    EXPECT_EQ(ReadWholeFile(s_script.strTargetDir + "/PC7_100.1"), m_strData);
    EXPECT_EQ(TempNamesIn(s_script.strTargetDir), std::vector<std::string>());
}
