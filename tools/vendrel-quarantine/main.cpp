// vendrel-quarantine: the operator's command for the quarantine folder (see the usage text).
#include "tool.h"

#include "platform.h"

#include <cstdlib>

#ifndef VENDREL_CONFIGURED_HOME
#define VENDREL_CONFIGURED_HOME ""
#endif

int main(int argc, char** argv)
{
    // The same bytes from both builds: prometheus and csv files are written through redirection.
    _setmode(_fileno(stdout), _O_BINARY);

    char szExePath[MAX_PATH] = {0};
    DWORD dwLength = GetModuleFileNameA(nullptr, szExePath, MAX_PATH);
    if (dwLength >= MAX_PATH)
    {
        // Cut: it would name some other place.
        szExePath[0] = '\0';
    }
    SToolEnvironment environment;
    environment.szKelsioHome = getenv("KELSIO_HOME");
    environment.szConfiguredHome = VENDREL_CONFIGURED_HOME;
    environment.szExePath = szExePath;

    COutput out(stdout);
    COutput err(stderr);
    int nStatus = RunTool(argc, argv, environment, &out, &err);
    if (!out.Finish())
    {
        err.Write("vendrel-quarantine: cannot write the output\n");
        err.Finish();
        return nStatus == 0 ? 1 : nStatus;
    }
    err.Finish();
    return nStatus;
}
