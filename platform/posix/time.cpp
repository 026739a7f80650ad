// Clocks and the identity of the running process and thread.
#include "pal_internal.h"

#include <pthread.h>
#include <unistd.h>

DWORD GetTickCount()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t nMs =
        static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    // Wraps after 49.7 days, as on Windows; callers subtract in 32 bits.
    return static_cast<DWORD>(nMs & 0xffffffffu);
}

void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime)
{
    if (lpSystemTimeAsFileTime == nullptr)
    {
        return;
    }
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    *lpSystemTimeAsFileTime = PalFileTimeFromTimespec(ts);
}

// The identities are asked for with every trace record, and never change but across fork():
// the child's handler forgets them, so the child asks the system again.
static pid_t s_nCachedPid = 0;
static thread_local pid_t t_nCachedTid = 0;
static pthread_once_t s_forkHandlerOnce = PTHREAD_ONCE_INIT;

static void ForgetIdentitiesInChild()
{
    // The child runs only the thread that forked, so its entry is the one to forget.
    s_nCachedPid = 0;
    t_nCachedTid = 0;
}

static void InstallForkHandler()
{
    pthread_atfork(nullptr, nullptr, ForgetIdentitiesInChild);
}

DWORD GetCurrentProcessId()
{
    pthread_once(&s_forkHandlerOnce, InstallForkHandler);
    if (s_nCachedPid == 0)
    {
        s_nCachedPid = getpid();
    }
    return static_cast<DWORD>(s_nCachedPid);
}

DWORD GetCurrentThreadId()
{
    pthread_once(&s_forkHandlerOnce, InstallForkHandler);
    if (t_nCachedTid == 0)
    {
        t_nCachedTid = gettid();
    }
    return static_cast<DWORD>(t_nCachedTid);
}
