#include "pal.h"

#include <cerrno>
#include <time.h>

void Sleep(DWORD dwMilliseconds)
{
    struct timespec ts;
    ts.tv_sec = time_t(dwMilliseconds / 1000);
    ts.tv_nsec = long(dwMilliseconds % 1000) * 1000000L;
    // Resumed after a signal for the time that was left.
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR)
    {
    }
}
