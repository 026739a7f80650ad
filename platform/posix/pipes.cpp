// The client end of named pipes: \\.\pipe\NAME is the Unix stream socket NAME in the pipe
// directory.
#include "pal_internal.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

const char* PalPipeDirectory()
{
    // Read on every call: tests and the log server set it while the process runs.
    const char* szDir = getenv("VENDREL_PIPE_DIR");
    return (szDir != nullptr && szDir[0] != '\0') ? szDir : "/run/vendrel";
}

bool PalIsPipePath(LPCWSTR wszPath, LPCWSTR* pwszName)
{
    static const char szPrefix[] = "\\\\.\\pipe\\";
    for (size_t i = 0; i + 1 < sizeof(szPrefix); ++i)
    {
        WCHAR wc = wszPath[i];
        if (wc >= u'A' && wc <= u'Z')
        {
            wc = static_cast<WCHAR>(wc - u'A' + u'a');
        }
        if (wc != static_cast<WCHAR>(szPrefix[i]))
        {
            return false;
        }
    }
    *pwszName = wszPath + sizeof(szPrefix) - 1;
    return true;
}

// The socket path for a pipe name; false with the last error set when it cannot be one.
static bool SocketAddressFor(LPCWSTR wszName, struct sockaddr_un* pAddr)
{
    char szName[256];
    if (!PalWideNameToUtf8(wszName, szName, sizeof(szName)))
    {
        return false;
    }
    // The name stays one entry inside the pipe directory.
    if (szName[0] == '\0' || strchr(szName, '/') != nullptr || strcmp(szName, ".") == 0 ||
        strcmp(szName, "..") == 0)
    {
        SetLastError(ERROR_INVALID_NAME);
        return false;
    }
    // "<directory>/<name>", which must fit with its terminator.
    const char* szDir = PalPipeDirectory();
    size_t nDir = strlen(szDir);
    size_t nName = strlen(szName);
    if (nDir + 1 + nName >= sizeof(pAddr->sun_path))
    {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return false;
    }
    memset(pAddr, 0, sizeof(*pAddr));
    pAddr->sun_family = AF_UNIX;
    memcpy(pAddr->sun_path, szDir, nDir);
    pAddr->sun_path[nDir] = '/';
    memcpy(pAddr->sun_path + nDir + 1, szName, nName + 1);
    return true;
}

// One non-blocking connection attempt: the connected socket, or -1 with the last
// error ERROR_FILE_NOT_FOUND (no server), ERROR_PIPE_BUSY (backlog full) or another code.
static int TryConnect(const struct sockaddr_un& addr)
{
    int nFd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (nFd < 0)
    {
        PalSetErrorFromErrno(errno);
        return -1;
    }
    int nRet;
    do
    {
        nRet = connect(nFd, reinterpret_cast<const struct sockaddr*>(&addr), sizeof(addr));
    } while (nRet != 0 && errno == EINTR);
    if (nRet != 0)
    {
        int nErrno = errno;
        close(nFd);
        if (nErrno == ENOENT || nErrno == ECONNREFUSED || nErrno == ENOTDIR || nErrno == ENOTSOCK)
        {
            SetLastError(ERROR_FILE_NOT_FOUND);
        }
        else if (nErrno == EAGAIN || nErrno == EINPROGRESS)
        {
            SetLastError(ERROR_PIPE_BUSY);
        }
        else
        {
            PalSetErrorFromErrno(nErrno);
        }
        return -1;
    }
    // Left non-blocking: ReadFile and WriteFile wait on pipe handles themselves.
    return nFd;
}

// The connection that a successful WaitNamedPipeW made, kept for the next CreateFileW of the
// same name in this thread: connecting is what proves a free slot, and dropping it would hand
// the server an empty connection.
class CPendingPipe
{
public:
    ~CPendingPipe() { Drop(); }
    void Keep(const char* szPath, int nFd)
    {
        Drop();
        snprintf(m_szPath, sizeof(m_szPath), "%s", szPath);
        m_nFd = nFd;
    }
    // The kept connection for szPath when the server has not closed it meanwhile, else -1.
    int Take(const char* szPath)
    {
        if (m_nFd < 0 || strcmp(m_szPath, szPath) != 0)
        {
            return -1;
        }
        int nFd = m_nFd;
        m_nFd = -1;
        struct pollfd pfd = {nFd, POLLRDHUP, 0};
        if (poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0)
        {
            close(nFd);
            return -1;
        }
        return nFd;
    }

private:
    void Drop()
    {
        if (m_nFd >= 0)
        {
            close(m_nFd);
        }
        m_nFd = -1;
    }
    char m_szPath[sizeof(sockaddr_un::sun_path)] = {0};
    int m_nFd = -1;
};

static thread_local CPendingPipe t_pendingPipe;

HANDLE PalOpenPipeClient(LPCWSTR wszName)
{
    struct sockaddr_un addr;
    if (!SocketAddressFor(wszName, &addr))
    {
        return INVALID_HANDLE_VALUE;
    }
    int nFd = t_pendingPipe.Take(addr.sun_path);
    if (nFd < 0)
    {
        nFd = TryConnect(addr);
    }
    if (nFd < 0)
    {
        return INVALID_HANDLE_VALUE;
    }
    HANDLE h = PalNewHandle(PAL_HANDLE_PIPE, nFd, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        close(nFd);
        return h;
    }
    SetLastError(ERROR_SUCCESS);
    return h;
}

static uint64_t MonotonicNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
}

BOOL WaitNamedPipeW(LPCWSTR lpNamedPipeName, DWORD nTimeOut)
{
    LPCWSTR wszName = nullptr;
    if (lpNamedPipeName == nullptr || !PalIsPipePath(lpNamedPipeName, &wszName))
    {
        SetLastError(ERROR_BAD_PATHNAME);
        return FALSE;
    }
    struct sockaddr_un addr;
    if (!SocketAddressFor(wszName, &addr))
    {
        return FALSE;
    }
    // No server sets a default here; 50 ms is what Windows servers usually give.
    uint64_t nWaitMs = nTimeOut == NMPWAIT_USE_DEFAULT_WAIT ? 50 : nTimeOut;
    bool bForever = nTimeOut == NMPWAIT_WAIT_FOREVER;
    uint64_t nStart = MonotonicNs();
    for (;;)
    {
        int nFd = TryConnect(addr);
        if (nFd >= 0)
        {
            t_pendingPipe.Keep(addr.sun_path, nFd);
            SetLastError(ERROR_SUCCESS);
            return TRUE;
        }
        if (GetLastError() != ERROR_PIPE_BUSY)
        {
            return FALSE;
        }
        if (!bForever && MonotonicNs() - nStart >= nWaitMs * 1000000u)
        {
            SetLastError(ERROR_SEM_TIMEOUT);
            return FALSE;
        }
        struct timespec ts = {0, 2 * 1000 * 1000};
        nanosleep(&ts, nullptr);
    }
}

BOOL SetNamedPipeHandleState(HANDLE hNamedPipe, LPDWORD lpMode, LPDWORD lpMaxCollectionCount,
                             LPDWORD lpCollectDataTimeout)
{
    // A stream socket keeps the order of bytes; message boundaries are the reader's business.
    (void)lpMode;
    (void)lpMaxCollectionCount;
    (void)lpCollectDataTimeout;
    return PalHandleOf(hNamedPipe, PAL_HANDLE_PIPE) != nullptr ? TRUE : FALSE;
}
