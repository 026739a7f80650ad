// POSIX: no service of our own; the option parser refuses the service options before any of
// these could run.
#include "logd_service.h"

#include <cstdio>

static int NoServiceHere()
{
    fprintf(stderr, "vendrel-logd: Windows services do not exist here\n");
    return 2;
}

bool LogdServicesSupported()
{
    return false;
}

int InstallLogdService(const CLogdOptions&)
{
    return NoServiceHere();
}

int RemoveLogdService()
{
    return NoServiceHere();
}

int RunLogdService(const LogdServeFunction&)
{
    return NoServiceHere();
}
