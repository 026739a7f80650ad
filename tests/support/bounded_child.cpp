#include "bounded_child.h"

#include <csignal>
#include <sys/wait.h>
#include <unistd.h>

static const int kPollMs = 10;
// The child's own alarm, beyond the limit: a child that outlives a killed parent still ends.
static const int kChildAlarmExtraSeconds = 5;

int RunInBoundedChild(const std::function<int()>& fnChild, int nLimitMs)
{
    pid_t nPid = fork();
    if (nPid < 0)
    {
        return -1;
    }
    if (nPid == 0)
    {
        alarm(static_cast<unsigned>(nLimitMs / 1000 + kChildAlarmExtraSeconds));
        _exit(fnChild());
    }
    for (int nWaitedMs = 0; nWaitedMs < nLimitMs; nWaitedMs += kPollMs)
    {
        int nStatus = 0;
        if (waitpid(nPid, &nStatus, WNOHANG) == nPid)
        {
            return WIFEXITED(nStatus) ? WEXITSTATUS(nStatus) : 128 + WTERMSIG(nStatus);
        }
        usleep(kPollMs * 1000);
    }
    kill(nPid, SIGKILL);
    waitpid(nPid, nullptr, 0);
    return -1;
}
