// vendrel-logd: receives LOG_WRITE records on the log pipe and writes one line a record.
#include "logd_options.h"
#include "pipe_listener.h"
#include "record_writer.h"
#include "serve_loop.h"
#include "stop_signal.h"

#include <cstdio>
#include <memory>

static const char kUsage[] =
    "usage: vendrel-logd [--pipe NAME] [--output FILE] [--format text|jsonl] [--group NAME]\n"
    "  --pipe NAME     the pipe name (default Log_ServerNamePipe)\n"
    "  --output FILE   append to FILE (default standard output); on SIGHUP FILE is closed and\n"
    "                  opened anew, for log rotation (POSIX)\n"
    "  --format        text (default): one readable line a record; jsonl: one JSON object a line\n"
    "  --group NAME    POSIX: the group whose members may connect (the socket has mode 0660;\n"
    "                  default: the server's own group). Windows: ignored with a note, the pipe\n"
    "                  keeps the system's default security\n";

// Log rotation: the output opened anew at its path. Standard output stays as it is.
static void ReopenOutput(const CLogdOptions& options, CRecordWriter* pWriter)
{
    if (options.strOutput.empty())
    {
        return;
    }
    std::string strError;
    if (!pWriter->Reopen(options.strOutput, &strError))
    {
        fprintf(stderr, "vendrel-logd: %s; records go on to the file in use\n", strError.c_str());
        fflush(stderr);
    }
}

int main(int argc, char** argv)
{
    InstallStopSignalHandlers();
    CLogdOptions options;
    std::string strError;
    if (!ParseLogdOptions(argc, argv, &options, &strError))
    {
        fprintf(stderr, "vendrel-logd: %s\n%s", strError.c_str(), kUsage);
        return 2;
    }
    FILE* pOut = stdout;
    if (!options.strOutput.empty())
    {
        pOut = fopen(options.strOutput.c_str(), "ab");
        if (pOut == NULL)
        {
            fprintf(stderr, "vendrel-logd: cannot open %s\n", options.strOutput.c_str());
            return 1;
        }
    }
    else
    {
        UseBinaryStdout();
    }
    // Lives to the end of the process: detached client threads (Windows) may still be writing.
    static CRecordWriter* s_pWriter = new CRecordWriter(pOut, options.eFormat);
    CPipeListener listener;
    if (!listener.Open(options.strPipe, options.strGroup, &strError))
    {
        fprintf(stderr, "vendrel-logd: %s\n", strError.c_str());
        return 1;
    }
    CServeLoop loop(&listener, s_pWriter);
    if (!loop.Start(&strError))
    {
        fprintf(stderr, "vendrel-logd: %s\n", strError.c_str());
        return 1;
    }
    fprintf(stderr, "vendrel-logd: listening on %s\n", listener.Path().c_str());
    fflush(stderr);
    while (WaitForServerSignal() == EServerSignal::Reopen)
    {
        ReopenOutput(options, s_pWriter);
    }
    loop.Stop();
    return 0;
}
