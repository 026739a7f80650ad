// Clocks and the identity of the running process and thread.
#include "pal_internal.h"

#include <atomic>
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
static std::atomic<pid_t> s_nCachedPid(0);
static thread_local pid_t t_nCachedTid = 0;

static void ForgetIdentitiesInChild()
{
    // The child runs only the thread that forked, so its entry is the one to forget.
    s_nCachedPid.store(0, std::memory_order_relaxed);
    t_nCachedTid = 0;
}

// Registered when the program or library holding this layer is loaded.
static const int s_nForkHandler = pthread_atfork(nullptr, nullptr, ForgetIdentitiesInChild);

DWORD GetCurrentProcessId()
{
    pid_t nPid = s_nCachedPid.load(std::memory_order_relaxed);
    if (nPid == 0)
    {
        nPid = getpid();
        s_nCachedPid.store(nPid, std::memory_order_relaxed);
    }
    return static_cast<DWORD>(nPid);
}

DWORD GetCurrentThreadId()
{
    if (t_nCachedTid == 0)
    {
        t_nCachedTid = gettid();
    }
    return static_cast<DWORD>(t_nCachedTid);
}
