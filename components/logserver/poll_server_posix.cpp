#include "poll_server_posix.h"

#include "fault_report.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <exception>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
// Bytes read from one connection in one round, so that a client that never stops writing
// cannot keep the others waiting.
const size_t kMaxBytesPerRound = 256 * 1024;
// How long the listening socket rests when no client can be taken at all.
const int kListenPauseMs = 100;

int AcceptNonBlocking(int fdListen)
{
    return accept4(fdListen, NULL, NULL, SOCK_NONBLOCK | SOCK_CLOEXEC);
}

int OpenSpare()
{
    return open("/dev/null", O_RDONLY | O_CLOEXEC);
}

void CloseQuietly(int fd)
{
    if (fd >= 0)
    {
        close(fd);
    }
}
} // namespace

CPollServer::CPollServer(int fdListen, CRecordWriter* pWriter, const CPollServerSettings& settings)
    : m_fdListen(fdListen), m_pWriter(pWriter), m_settings(settings)
{
    if (!m_settings.acceptClient)
    {
        m_settings.acceptClient = AcceptNonBlocking;
    }
}

CPollServer::~CPollServer()
{
    for (CClient& client : m_clients)
    {
        CloseQuietly(client.fd);
    }
    CloseQuietly(m_afdWake[0]);
    CloseQuietly(m_afdWake[1]);
    CloseQuietly(m_fdSpare);
}

bool CPollServer::Init(std::string* pstrError)
{
    if (pipe2(m_afdWake, O_NONBLOCK | O_CLOEXEC) != 0)
    {
        *pstrError = std::string("pipe: ") + strerror(errno);
        return false;
    }
    m_fdSpare = OpenSpare();
    if (m_fdSpare < 0)
    {
        *pstrError = std::string("cannot open /dev/null: ") + strerror(errno);
        return false;
    }
    m_clients.reserve(m_settings.nMaxConnections);
    return true;
}

void CPollServer::Stop()
{
    m_bStopped = true;
    uint8_t bWake = 1;
    ssize_t nWritten = write(m_afdWake[1], &bWake, 1);
    (void)nWritten; // a full pipe wakes the loop as well
}

int CPollServer::PollTimeoutMs(Clock::time_point now) const
{
    Clock::time_point next = Clock::time_point::max();
    for (const CClient& client : m_clients)
    {
        Clock::time_point deadline =
            client.lastHeard + std::chrono::milliseconds(m_settings.nIdleMs);
        next = deadline < next ? deadline : next;
    }
    if (m_listenPausedUntil > now && m_listenPausedUntil < next)
    {
        next = m_listenPausedUntil;
    }
    if (next == Clock::time_point::max())
    {
        return -1;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    // Rounded up, so that the loop does not wake just before a deadline and spin.
    return left < 0 ? 0 : int(left) + 1;
}

void CPollServer::WriteRecords()
{
    // Flushed once a round, before the loop waits again.
    for (const CAssembledRecord& record : m_records)
    {
        m_pWriter->WriteBuffered(record);
    }
    m_records.clear();
}

void CPollServer::CloseClient(CClient* pClient, const char* szIdleFault)
{
    size_t nFirst = m_records.size();
    pClient->assembler.Finish(&m_records);
    if (szIdleFault != NULL)
    {
        for (size_t i = nFirst; i < m_records.size(); i++)
        {
            m_records[i].strFault = szIdleFault;
        }
    }
    WriteRecords();
    close(pClient->fd);
    pClient->fd = -1;
}

bool CPollServer::ServeClient(CClient* pClient)
{
    uint8_t abBuffer[16384];
    size_t nTotal = 0;
    while (nTotal < kMaxBytesPerRound)
    {
        ssize_t nRead = read(pClient->fd, abBuffer, sizeof(abBuffer));
        if (nRead > 0)
        {
            nTotal += size_t(nRead);
            pClient->lastHeard = Clock::now();
            if (m_settings.beforeFeed)
            {
                m_settings.beforeFeed();
            }
            pClient->assembler.Feed(abBuffer, size_t(nRead), &m_records);
            WriteRecords();
            continue;
        }
        if (nRead < 0 && errno == EINTR)
        {
            continue;
        }
        if (nRead < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        {
            return true;
        }
        // The end of the client's bytes, or a failed connection: both end it.
        CloseClient(pClient, NULL);
        return false;
    }
    return true;
}

bool CPollServer::ServeOrDrop(CClient* pClient)
{
    try
    {
        return ServeClient(pClient);
    }
    catch (const std::exception& e)
    {
        DropClient(pClient, e.what());
        return false;
    }
}

void CPollServer::DropClient(CClient* pClient, const char* szWhy)
{
    // No memory for this client's record: it alone is given up.
    m_records.clear();
    CloseQuietly(pClient->fd);
    pClient->fd = -1;
    pClient->assembler = CRecordAssembler();
    ReportClosedConnection("cannot serve a client", szWhy);
}

int CPollServer::AcceptOne()
{
    for (;;)
    {
        int fd = m_settings.acceptClient(m_fdListen);
        if (fd >= 0 || (errno != EINTR && errno != ECONNABORTED))
        {
            return fd;
        }
    }
}

void CPollServer::ShedClient(int nError, Clock::time_point now)
{
    // The spare descriptor makes room to take the waiting client and close it at once.
    CloseQuietly(m_fdSpare);
    m_fdSpare = -1;
    int fd = AcceptNonBlocking(m_fdListen);
    if (fd >= 0)
    {
        close(fd);
        ReportClosedConnection("cannot take a client", strerror(nError));
    }
    m_fdSpare = OpenSpare();
    if (fd < 0 || m_fdSpare < 0)
    {
        // No room even so: let the listen queue wait until descriptors are given back.
        m_listenPausedUntil = now + std::chrono::milliseconds(kListenPauseMs);
    }
}

void CPollServer::AcceptClients(Clock::time_point now)
{
    // Clients served at once take no place in the list, so the round also ends after as many
    // as the list holds: a steady stream of them must not keep the loop from a stop.
    for (size_t nTaken = 0;
         nTaken < m_settings.nMaxConnections && m_clients.size() < m_settings.nMaxConnections;
         nTaken++)
    {
        int fd = AcceptOne();
        if (fd < 0)
        {
            int nError = errno;
            if (nError == EAGAIN || nError == EWOULDBLOCK)
            {
                return;
            }
            if (nError == EMFILE || nError == ENFILE || nError == ENOBUFS || nError == ENOMEM)
            {
                ShedClient(nError, now);
                return;
            }
            fprintf(stderr, "vendrel-logd: accept: %s\n", strerror(nError));
            m_listenPausedUntil = now + std::chrono::milliseconds(kListenPauseMs);
            return;
        }
        CClient client;
        client.fd = fd;
        client.lastHeard = now;
        // A client usually has sent its record and closed by the time it is taken: served at
        // once, it costs no further round. Only while no older connection is open, since one
        // may still hold records that came before this client's.
        if (m_clients.empty() && !ServeOrDrop(&client))
        {
            continue;
        }
        try
        {
            m_clients.push_back(std::move(client));
        }
        catch (const std::exception& e)
        {
            close(fd);
            ReportClosedConnection("cannot take a client", e.what());
            return;
        }
    }
}

void CPollServer::Run()
{
    std::vector<struct pollfd> pollfds;
    pollfds.reserve(m_settings.nMaxConnections + 2);
    while (!m_bStopped)
    {
        Clock::time_point now = Clock::now();
        bool bListen = m_clients.size() < m_settings.nMaxConnections && m_listenPausedUntil <= now;
        pollfds.clear();
        pollfds.push_back({m_afdWake[0], POLLIN, 0});
        pollfds.push_back({bListen ? m_fdListen : -1, POLLIN, 0});
        for (const CClient& client : m_clients)
        {
            pollfds.push_back({client.fd, POLLIN, 0});
        }
        if (poll(pollfds.data(), pollfds.size(), PollTimeoutMs(now)) < 0)
        {
            if (errno != EINTR)
            {
                // Out of memory for the wait itself: no connection is to blame, so none is
                // closed; try again in a moment.
                fprintf(stderr, "vendrel-logd: poll: %s\n", strerror(errno));
                usleep(kListenPauseMs * 1000);
            }
            continue;
        }
        if (pollfds[0].revents != 0)
        {
            uint8_t abDrain[64];
            while (read(m_afdWake[0], abDrain, sizeof(abDrain)) > 0)
            {
            }
        }
        // Older connections first: a process's next connection comes only after its last one
        // has delivered everything, so its records stay in order.
        now = Clock::now();
        size_t nKept = 0;
        for (size_t i = 0; i < m_clients.size(); i++)
        {
            CClient* pClient = &m_clients[i];
            bool bKeep = true;
            try
            {
                if (pollfds[i + 2].revents != 0)
                {
                    bKeep = ServeClient(pClient);
                }
                else if (now - pClient->lastHeard >= std::chrono::milliseconds(m_settings.nIdleMs))
                {
                    CloseClient(pClient, "silent too long before the record's NUL unit");
                    bKeep = false;
                }
            }
            catch (const std::exception& e)
            {
                DropClient(pClient, e.what());
                bKeep = false;
            }
            if (bKeep && nKept != i)
            {
                m_clients[nKept] = std::move(m_clients[i]);
            }
            nKept += bKeep ? 1 : 0;
        }
        m_clients.resize(nKept);
        if (bListen && pollfds[1].revents != 0)
        {
            AcceptClients(now);
        }
        m_pWriter->Flush();
        m_nConnections = m_clients.size();
    }
    for (CClient& client : m_clients)
    {
        try
        {
            CloseClient(&client, NULL);
        }
        catch (const std::exception& e)
        {
            CloseQuietly(client.fd);
            ReportClosedConnection("cannot finish a client", e.what());
        }
    }
    m_clients.clear();
    m_pWriter->Flush();
    m_nConnections = 0;
}
