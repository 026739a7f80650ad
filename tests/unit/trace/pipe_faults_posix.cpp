#include "pipe_faults.h"

#include "capture_pipe_dir.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

struct CBusyLogPipe::CImpl
{
    CPipeDirectoryScope scope;
    int fdListen = -1;
    std::vector<int> fillers;
    sockaddr_un addr;
};

CBusyLogPipe::CBusyLogPipe() : m_pImpl(new CImpl) {}

CBusyLogPipe::~CBusyLogPipe()
{
    for (int fd : m_pImpl->fillers)
    {
        close(fd);
    }
    if (m_pImpl->fdListen >= 0)
    {
        close(m_pImpl->fdListen);
    }
    LeavePipeDirectory(&m_pImpl->scope);
}

bool CBusyLogPipe::Occupy()
{
    EnterPipeDirectory(&m_pImpl->scope);
    memset(&m_pImpl->addr, 0, sizeof(m_pImpl->addr));
    m_pImpl->addr.sun_family = AF_UNIX;
    std::string strPath = m_pImpl->scope.strDir + "/Log_ServerNamePipe";
    snprintf(m_pImpl->addr.sun_path, sizeof(m_pImpl->addr.sun_path), "%s", strPath.c_str());
    m_pImpl->fdListen = socket(AF_UNIX, SOCK_STREAM, 0);
    const sockaddr* pAddr = reinterpret_cast<const sockaddr*>(&m_pImpl->addr);
    if (bind(m_pImpl->fdListen, pAddr, sizeof(m_pImpl->addr)) != 0 ||
        listen(m_pImpl->fdListen, 0) != 0)
    {
        return false;
    }
    // Connections nobody accepts fill the backlog until the next one would have to wait.
    for (int i = 0; i < 64; i++)
    {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        if (connect(fd, pAddr, sizeof(m_pImpl->addr)) != 0)
        {
            bool bFull = errno == EAGAIN;
            close(fd);
            return bFull;
        }
        m_pImpl->fillers.push_back(fd);
    }
    return false;
}

std::string CBusyLogPipe::ReleaseAndReceive()
{
    for (int fd : m_pImpl->fillers)
    {
        close(fd);
    }
    m_pImpl->fillers.clear();
    // The fillers come first in the queue and say nothing; the client that waited writes.
    for (int nAccepted = 0; nAccepted < 70; nAccepted++)
    {
        pollfd pfd = {m_pImpl->fdListen, POLLIN, 0};
        if (poll(&pfd, 1, 10000) <= 0)
        {
            break;
        }
        int fd = accept(m_pImpl->fdListen, NULL, NULL);
        if (fd < 0)
        {
            break;
        }
        std::string strData;
        char abBuffer[4096];
        ssize_t nRead = 0;
        while ((nRead = read(fd, abBuffer, sizeof(abBuffer))) > 0)
        {
            strData.append(abBuffer, size_t(nRead));
        }
        close(fd);
        if (!strData.empty())
        {
            return strData;
        }
    }
    return std::string();
}

struct CRefusingLogPipe::CImpl
{
    CPipeDirectoryScope scope;
    CSavedEnvVar saved;
};

CRefusingLogPipe::CRefusingLogPipe() : m_pImpl(new CImpl) {}

CRefusingLogPipe::~CRefusingLogPipe()
{
    RestoreEnvVar(m_pImpl->saved);
}

bool CRefusingLogPipe::Start()
{
    m_pImpl->saved = SaveEnvVar("VENDREL_PIPE_DIR");
    // A socket path longer than a socket address holds cannot be opened at all.
    SetEnvVar("VENDREL_PIPE_DIR", ("/tmp/" + std::string(200, 'p')).c_str());
    return true;
}
