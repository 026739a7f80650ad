// The in-use check of DeleteFileA and MoveFileA on POSIX: only a regular file can be in use, a
// link in the last component is never followed, and a FIFO, socket or device is never opened,
// so a planted entry neither blocks the call nor lets it act on, or be refused for, what the
// entry leads to. inotify tells whether the entry a link leads to was opened at all.
#include "bounded_child.h"
#include "temp_home.h"
#include "test_files.h"
#include "posix/pal_internal.h"
#include "system_calls.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <string>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{

// How long a call may take before the test calls it blocked.
const int kBlockedAfterSeconds = 10;

// Counts the opens of one file system entry from its creation on.
class COpenWatch
{
public:
    explicit COpenWatch(const std::string& strPath)
    {
        m_nFd = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        if (m_nFd >= 0)
        {
            inotify_add_watch(m_nFd, strPath.c_str(), IN_OPEN);
        }
    }
    ~COpenWatch()
    {
        if (m_nFd >= 0)
        {
            close(m_nFd);
        }
    }
    bool Ready() const { return m_nFd >= 0; }
    // Opens seen since the last call.
    int Opens()
    {
        int nOpens = 0;
        alignas(struct inotify_event) char buf[4096];
        ssize_t nGot;
        while ((nGot = read(m_nFd, buf, sizeof(buf))) > 0)
        {
            for (char* p = buf; p < buf + nGot;)
            {
                const struct inotify_event* pEvent = reinterpret_cast<inotify_event*>(p);
                nOpens += (pEvent->mask & IN_OPEN) != 0 ? 1 : 0;
                p += sizeof(struct inotify_event) + pEvent->len;
            }
        }
        return nOpens;
    }

private:
    int m_nFd = -1;
};

int BindUnixSocket(const std::string& strPath)
{
    int nFd = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof(addr.sun_path), "%s", strPath.c_str());
    if (nFd < 0 || bind(nFd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0)
    {
        return -1;
    }
    return nFd;
}

// Answers fnCall's exit status in a child, or -1 when it blocked (it is killed).
int RunPromptly(const std::function<int()>& fnCall)
{
    return RunInBoundedChild(fnCall, kBlockedAfterSeconds * 1000);
}

// EXDEV for every rename: the target lies on another file system.
int RenameAcrossFileSystems(const char*, const char*)
{
    errno = EXDEV;
    return -1;
}

class InUseCheckTest : public CTempDirTest
{
protected:
    void TearDown() override
    {
        ResetSystemCalls();
        CTempDirTest::TearDown();
    }
    bool IsLink(const std::string& strPath)
    {
        struct stat st;
        return lstat(strPath.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
    }
};

} // namespace

// A link to a file that another handle holds is no file in use: deleting or moving the link
// acts on the link alone, and the file it leads to stays as it was.
TEST_F(InUseCheckTest, LinkToAHeldFileIsDeletedOrMovedAsTheLinkItself)
{
    ASSERT_TRUE(WriteWholeFile(Path("held"), "held data"));
    HANDLE hHeld = OpenForWrite(Path("held"), OPEN_EXISTING);
    ASSERT_NE(hHeld, INVALID_HANDLE_VALUE);
    ASSERT_EQ(symlink(Path("held").c_str(), Path("link").c_str()), 0);
    ASSERT_EQ(symlink(Path("held").c_str(), Path("link2").c_str()), 0);

    EXPECT_TRUE(MoveFileA(Path("link2").c_str(), Path("moved").c_str())) << GetLastError();
    EXPECT_TRUE(IsLink(Path("moved")));
    EXPECT_TRUE(DeleteFileA(Path("link").c_str())) << GetLastError();
    EXPECT_FALSE(PathExists(Path("link")));
    CloseHandle(hHeld);
    EXPECT_EQ(ReadWholeFile(Path("held")), "held data");
    // The held file itself is refused while held, as on Windows.
    hHeld = OpenForWrite(Path("held"), OPEN_EXISTING);
    EXPECT_FALSE(DeleteFileA(Path("held").c_str()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    CloseHandle(hHeld);
}

// Links to a FIFO, to a socket and to /dev/zero, and the FIFO and socket themselves: deleted or
// moved at once, never opened, never blocking.
TEST_F(InUseCheckTest, FifosSocketsAndLinksToDevicesAreNeverOpened)
{
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    COpenWatch fifoWatch(Path("fifo"));
    ASSERT_TRUE(fifoWatch.Ready());
    int nSocket = BindUnixSocket(Path("sock"));
    ASSERT_GE(nSocket, 0);
    struct CCase
    {
        const char* szName;
        std::string strTarget;
    };
    const CCase links[] = {
        {"to-fifo", Path("fifo")}, {"to-sock", Path("sock")}, {"to-zero", "/dev/zero"}};
    for (const CCase& c : links)
    {
        SCOPED_TRACE(c.szName);
        std::string strLink = Path(c.szName);
        std::string strMoved = strLink + ".moved";
        ASSERT_EQ(symlink(c.strTarget.c_str(), strLink.c_str()), 0);
        EXPECT_EQ(RunPromptly([&] { return MoveFileA(strLink.c_str(), strMoved.c_str()) ? 0 : 1; }),
                  0);
        EXPECT_TRUE(IsLink(strMoved));
        EXPECT_EQ(RunPromptly([&] { return DeleteFileA(strMoved.c_str()) ? 0 : 1; }), 0);
        EXPECT_FALSE(PathExists(strMoved));
    }
    EXPECT_EQ(fifoWatch.Opens(), 0) << "the FIFO behind the link was opened";

    EXPECT_EQ(
        RunPromptly([&] { return MoveFileA(Path("fifo").c_str(), Path("fifo2").c_str()) ? 0 : 1; }),
        0);
    EXPECT_EQ(fifoWatch.Opens(), 0);
    EXPECT_EQ(RunPromptly([&] { return DeleteFileA(Path("fifo2").c_str()) ? 0 : 1; }), 0);
    EXPECT_EQ(fifoWatch.Opens(), 0);
    EXPECT_FALSE(PathExists(Path("fifo2")));
    EXPECT_EQ(
        RunPromptly([&] { return MoveFileA(Path("sock").c_str(), Path("sock2").c_str()) ? 0 : 1; }),
        0);
    EXPECT_EQ(RunPromptly([&] { return DeleteFileA(Path("sock2").c_str()) ? 0 : 1; }), 0);
    EXPECT_FALSE(PathExists(Path("sock2")));
    close(nSocket);
}

// Across file systems nothing but a regular file is copied: a FIFO or a link is refused at once,
// unopened, and stays.
TEST_F(InUseCheckTest, MoveAcrossFileSystemsRefusesFifosAndLinksUnopened)
{
    ASSERT_EQ(mkfifo(Path("fifo").c_str(), 0600), 0);
    COpenWatch fifoWatch(Path("fifo"));
    ASSERT_TRUE(fifoWatch.Ready());
    ASSERT_EQ(symlink(Path("fifo").c_str(), Path("link").c_str()), 0);
    ASSERT_EQ(symlink("/dev/zero", Path("zero").c_str()), 0);
    MakeDirectory(Path("other"));
    SetSystemCall("PalRenameNoReplace", (SYSTEM_CALL_PTR)RenameAcrossFileSystems);
    for (const char* szName : {"fifo", "link", "zero"})
    {
        SCOPED_TRACE(szName);
        std::string strFrom = Path(szName);
        std::string strTo = Path("other/") + szName;
        EXPECT_EQ(RunPromptly(
                      [&]
                      {
                          return !MoveFileA(strFrom.c_str(), strTo.c_str()) &&
                                         GetLastError() == ERROR_NOT_SAME_DEVICE
                                     ? 0
                                     : 1;
                      }),
                  0);
        EXPECT_TRUE(PathExists(strFrom));
    }
    EXPECT_EQ(ListNames(Path("other")), std::vector<std::string>());
    EXPECT_EQ(fifoWatch.Opens(), 0);
}
