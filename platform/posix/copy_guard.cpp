// The hidden temporary files of copies in progress, removed when the process is ended by SIGTERM,
// SIGINT or SIGHUP in the middle of a copy. The handlers are in place only while a copy runs;
// each removes the files and then hands the signal to whatever handled it before (the CGI
// library's own clean-up, a program's handler, or the default action that ends the process).
// The program and its CGI library each carry a copy of this layer: each copy keeps its own list
// and the handler it replaced, and the chain runs through the kernel's record of handlers, so
// the copies never need to know of each other.
#include "copy_guard.h"

#include <atomic>
#include <cerrno>
#include <pthread.h>
#include <unistd.h>

namespace
{

// One process copies at most a few files at a time: one per thread that files an upload.
const int kCopySlots = 8;
const int s_aEndSignals[] = {SIGTERM, SIGINT, SIGHUP};
const int kEndSignalCount = sizeof(s_aEndSignals) / sizeof(s_aEndSignals[0]);

struct SCopySlot
{
    std::atomic<bool> m_bTaken;
    // Set only once the name is complete and the file exists: a handler removes only these.
    std::atomic<bool> m_bTemp;
    char m_szTemp[PATH_MAX];
};

SCopySlot s_aSlots[kCopySlots];

pthread_mutex_t s_mutex = PTHREAD_MUTEX_INITIALIZER;
int s_nCopies = 0;
// What handled each end signal before the guard; read by the handler, written only while no
// handler of the guard is in place for that signal.
struct sigaction s_aPrevious[kEndSignalCount];
bool s_abInstalled[kEndSignalCount];

int IndexOfSignal(int nSignal)
{
    for (int i = 0; i < kEndSignalCount; ++i)
    {
        if (s_aEndSignals[i] == nSignal)
        {
            return i;
        }
    }
    return -1;
}

// Only unlink, sigaction and raise: all async-signal-safe.
void OnEndSignal(int nSignal, siginfo_t* pInfo, void* pContext)
{
    int nSavedErrno = errno;
    for (SCopySlot& slot : s_aSlots)
    {
        if (slot.m_bTemp.load(std::memory_order_acquire))
        {
            unlink(slot.m_szTemp);
        }
    }
    errno = nSavedErrno;
    int nIndex = IndexOfSignal(nSignal);
    if (nIndex < 0)
    {
        return;
    }
    const struct sigaction& previous = s_aPrevious[nIndex];
    if ((previous.sa_flags & SA_SIGINFO) != 0)
    {
        previous.sa_sigaction(nSignal, pInfo, pContext);
    }
    else if (previous.sa_handler == SIG_DFL)
    {
        struct sigaction action = {};
        action.sa_handler = SIG_DFL;
        sigemptyset(&action.sa_mask);
        sigaction(nSignal, &action, nullptr);
        // Blocked while this handler runs: delivered, with the default action, once it returns.
        raise(nSignal);
    }
    else if (previous.sa_handler != SIG_IGN)
    {
        previous.sa_handler(nSignal);
    }
}

bool IsOurs(const struct sigaction& action)
{
    return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == OnEndSignal;
}

void InstallHandlers()
{
    for (int i = 0; i < kEndSignalCount; ++i)
    {
        struct sigaction current = {};
        s_abInstalled[i] = false;
        if (sigaction(s_aEndSignals[i], nullptr, &current) != 0 ||
            ((current.sa_flags & SA_SIGINFO) == 0 && current.sa_handler == SIG_IGN))
        {
            // An ignored signal does not end the process: the copy goes on and needs its file.
            continue;
        }
        s_aPrevious[i] = current;
        struct sigaction action = {};
        action.sa_sigaction = OnEndSignal;
        sigemptyset(&action.sa_mask);
        for (int nOther : s_aEndSignals)
        {
            sigaddset(&action.sa_mask, nOther);
        }
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        s_abInstalled[i] = sigaction(s_aEndSignals[i], &action, nullptr) == 0;
    }
}

void RemoveHandlers()
{
    for (int i = 0; i < kEndSignalCount; ++i)
    {
        struct sigaction current = {};
        // A handler that somebody put in place meanwhile stays.
        if (s_abInstalled[i] && sigaction(s_aEndSignals[i], nullptr, &current) == 0 &&
            IsOurs(current))
        {
            sigaction(s_aEndSignals[i], &s_aPrevious[i], nullptr);
        }
        s_abInstalled[i] = false;
    }
}

} // namespace

CCopyGuard::CCopyGuard() : m_nSlot(-1)
{
    pthread_mutex_lock(&s_mutex);
    for (int i = 0; i < kCopySlots; ++i)
    {
        bool bExpected = false;
        if (s_aSlots[i].m_bTaken.compare_exchange_strong(bExpected, true))
        {
            m_nSlot = i;
            break;
        }
    }
    if (m_nSlot >= 0 && s_nCopies++ == 0)
    {
        InstallHandlers();
    }
    pthread_mutex_unlock(&s_mutex);
}

CCopyGuard::~CCopyGuard()
{
    if (m_nSlot < 0)
    {
        return;
    }
    SCopySlot& slot = s_aSlots[m_nSlot];
    slot.m_bTemp.store(false, std::memory_order_release);
    pthread_mutex_lock(&s_mutex);
    if (--s_nCopies == 0)
    {
        RemoveHandlers();
    }
    slot.m_bTaken.store(false, std::memory_order_release);
    pthread_mutex_unlock(&s_mutex);
}

void CCopyGuard::SetTemp(const char* szTemp)
{
    if (m_nSlot < 0)
    {
        return;
    }
    SCopySlot& slot = s_aSlots[m_nSlot];
    slot.m_bTemp.store(false, std::memory_order_release);
    size_t nLen = szTemp == nullptr ? 0 : strlen(szTemp);
    if (szTemp == nullptr || nLen >= sizeof(slot.m_szTemp))
    {
        return;
    }
    memcpy(slot.m_szTemp, szTemp, nLen + 1);
    slot.m_bTemp.store(true, std::memory_order_release);
}

CEndSignalsBlocked::CEndSignalsBlocked(bool bBlock) : m_bBlocked(bBlock)
{
    if (!bBlock)
    {
        return;
    }
    sigset_t block;
    sigemptyset(&block);
    for (int nSignal : s_aEndSignals)
    {
        sigaddset(&block, nSignal);
    }
    pthread_sigmask(SIG_BLOCK, &block, &m_previous);
}

CEndSignalsBlocked::~CEndSignalsBlocked()
{
    if (!m_bBlocked)
    {
        return;
    }
    pthread_sigmask(SIG_SETMASK, &m_previous, nullptr);
}
