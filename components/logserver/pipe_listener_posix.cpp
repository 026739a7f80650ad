// The log pipe as a Unix stream socket named after the pipe in the pipe directory.
#include "pipe_listener.h"

#include "platform.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

struct CPipeListener::CImpl
{
    int m_fd = -1;
    std::string m_strPath;
    bool m_bOwnsPath = false;
    std::atomic<bool> m_bStopped{false};
};

namespace
{
class CSocketConnection : public CPipeConnection
{
public:
    explicit CSocketConnection(int fd) : m_fd(fd) {}
    ~CSocketConnection() override { close(m_fd); }

    size_t Read(void* pBuffer, size_t nSize) override
    {
        for (;;)
        {
            ssize_t nRead = read(m_fd, pBuffer, nSize);
            if (nRead >= 0)
            {
                return size_t(nRead);
            }
            if (errno != EINTR)
            {
                return 0;
            }
        }
    }

private:
    int m_fd;
};

// Every directory of strDir that is missing, made so that any local program may connect.
bool MakeDirectories(const std::string& strDir)
{
    for (size_t nPos = 1; nPos <= strDir.size(); nPos++)
    {
        if (nPos == strDir.size() || strDir[nPos] == '/')
        {
            std::string strPart = strDir.substr(0, nPos);
            if (mkdir(strPart.c_str(), 0777) != 0 && errno != EEXIST)
            {
                return false;
            }
        }
    }
    struct stat st;
    return stat(strDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// A socket file that nobody listens on any more is stale.
bool IsStaleSocket(const sockaddr_un& addr)
{
    int fd = socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0)
    {
        return false;
    }
    bool bStale = connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) != 0 &&
                  errno == ECONNREFUSED;
    close(fd);
    return bStale;
}

// The group the socket belongs to: strGroup, or the server's own group when empty.
bool FindGroup(const std::string& strGroup, gid_t* pGid, std::string* pstrError)
{
    if (strGroup.empty())
    {
        *pGid = getegid();
        return true;
    }
    char szBuffer[16384];
    struct group grp;
    struct group* pFound = NULL;
    int nError = getgrnam_r(strGroup.c_str(), &grp, szBuffer, sizeof(szBuffer), &pFound);
    if (pFound == NULL)
    {
        *pstrError = "unknown group " + strGroup +
                     (nError != 0 ? std::string(": ") + strerror(nError) : std::string());
        return false;
    }
    *pGid = pFound->gr_gid;
    return true;
}

// Binds with no permission for others from the first moment on: clients of other users must
// not connect and forge records. The socket is the owner's alone until it belongs to its
// group. Only the start-up thread runs here, so the process-wide umask may change for a
// moment.
bool BindPrivately(int fd, const sockaddr_un& addr, gid_t gid, std::string* pstrError)
{
    static const mode_t kOwnerOnlyMode = 0600;
    static const mode_t kSocketMode = 0660;
    mode_t oldMask = umask(0777 & ~kOwnerOnlyMode);
    int nBound = bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr));
    int nBindError = errno;
    umask(oldMask);
    if (nBound != 0)
    {
        *pstrError = std::string("bind ") + addr.sun_path + ": " + strerror(nBindError);
        return false;
    }
    if (chown(addr.sun_path, (uid_t)-1, gid) != 0 || chmod(addr.sun_path, kSocketMode) != 0)
    {
        *pstrError =
            std::string("cannot give ") + addr.sun_path + " its group and mode: " + strerror(errno);
        unlink(addr.sun_path);
        return false;
    }
    return true;
}
} // namespace

CPipeListener::CPipeListener() : m_pImpl(new CImpl) {}

CPipeListener::~CPipeListener()
{
    if (m_pImpl->m_fd >= 0)
    {
        close(m_pImpl->m_fd);
    }
    if (m_pImpl->m_bOwnsPath)
    {
        unlink(m_pImpl->m_strPath.c_str());
    }
}

bool CPipeListener::Open(const std::string& strName, const std::string& strGroup,
                         std::string* pstrError)
{
    gid_t gid = 0;
    if (!FindGroup(strGroup, &gid, pstrError))
    {
        return false;
    }
    std::string strDir = PalPipeDirectory();
    m_pImpl->m_strPath = strDir + "/" + strName;
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    if (m_pImpl->m_strPath.size() >= sizeof(addr.sun_path))
    {
        *pstrError = "socket path too long: " + m_pImpl->m_strPath;
        return false;
    }
    memcpy(addr.sun_path, m_pImpl->m_strPath.c_str(), m_pImpl->m_strPath.size() + 1);
    if (!MakeDirectories(strDir))
    {
        *pstrError = "cannot create the pipe directory " + strDir + ": " + strerror(errno);
        return false;
    }
    struct stat st;
    if (lstat(m_pImpl->m_strPath.c_str(), &st) == 0)
    {
        if (!S_ISSOCK(st.st_mode))
        {
            *pstrError = m_pImpl->m_strPath + " exists and is not a socket";
            return false;
        }
        if (!IsStaleSocket(addr))
        {
            *pstrError = "another log server listens on " + m_pImpl->m_strPath;
            return false;
        }
        unlink(m_pImpl->m_strPath.c_str());
    }
    m_pImpl->m_fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (m_pImpl->m_fd < 0)
    {
        *pstrError = std::string("socket: ") + strerror(errno);
        return false;
    }
    if (!BindPrivately(m_pImpl->m_fd, addr, gid, pstrError))
    {
        return false;
    }
    m_pImpl->m_bOwnsPath = true;
    if (listen(m_pImpl->m_fd, SOMAXCONN) != 0)
    {
        *pstrError = std::string("listen: ") + strerror(errno);
        return false;
    }
    return true;
}

int CPipeListener::Descriptor() const
{
    return m_pImpl->m_fd;
}

void* CPipeListener::ReleaseFirstInstance()
{
    return nullptr;
}

const std::string& CPipeListener::Path() const
{
    return m_pImpl->m_strPath;
}

std::unique_ptr<CPipeConnection> CPipeListener::Accept()
{
    while (!m_pImpl->m_bStopped)
    {
        // The socket does not block: wait here, where Stop's shutdown wakes the wait.
        struct pollfd pfd = {m_pImpl->m_fd, POLLIN, 0};
        if (poll(&pfd, 1, -1) < 0 && errno != EINTR)
        {
            break;
        }
        int fd = accept4(m_pImpl->m_fd, NULL, NULL, SOCK_CLOEXEC);
        if (fd >= 0)
        {
            if (m_pImpl->m_bStopped)
            {
                close(fd);
                break;
            }
            return std::unique_ptr<CPipeConnection>(new CSocketConnection(fd));
        }
        if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN || errno == EWOULDBLOCK)
        {
            continue;
        }
        if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
        {
            // Out of descriptors for a moment: let connections close, then go on.
            usleep(10000);
            continue;
        }
        break;
    }
    return nullptr;
}

void CPipeListener::Stop()
{
    m_pImpl->m_bStopped = true;
    // Wakes a thread blocked in accept().
    shutdown(m_pImpl->m_fd, SHUT_RDWR);
}
