// vendrel-logd: receives LOG_WRITE records on the log pipe and writes one line a record.
#include "logd_options.h"
#include "logd_service.h"
#include "output_file.h"
#include "pipe_listener.h"
#include "record_writer.h"
#include "serve_loop.h"
#include "stop_signal.h"
#include "vendrel_version.h"

#include <cstdio>
#include <functional>

// Exit status of a usage error, as every command of the product gives it.
static const int kUsageExit = 2;

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

// Serves the pipe until a stop signal; onListening runs once clients can connect.
static int Serve(const CLogdOptions& options, const std::function<void()>& onListening)
{
    FILE* pOut = stdout;
    std::string strError;
    if (!options.strOutput.empty())
    {
        pOut = OpenOutputFile(options.strOutput, &strError);
        if (pOut == NULL)
        {
            fprintf(stderr, "vendrel-logd: cannot open %s: %s\n", options.strOutput.c_str(),
                    strError.c_str());
            return 1;
        }
    }
    CRecordWriter writer(pOut, options.eFormat);
    if (options.nMaxSizeBytes != 0)
    {
        writer.EnableRotation(options.strOutput, options.nMaxSizeBytes, options.nKeep);
    }
    CPipeListener listener;
    if (!listener.Open(options.strPipe, options.strGroup, &strError))
    {
        fprintf(stderr, "vendrel-logd: %s\n", strError.c_str());
        return 1;
    }
    CServeLoop loop(&listener, &writer);
    if (!loop.Start(&strError))
    {
        fprintf(stderr, "vendrel-logd: %s\n", strError.c_str());
        return 1;
    }
    fprintf(stderr, "vendrel-logd: listening on %s\n", listener.Path().c_str());
    fflush(stderr);
    onListening();
    while (WaitForServerSignal() == EServerSignal::Reopen)
    {
        ReopenOutput(options, &writer);
    }
    // Every connection is finished before the output is closed.
    loop.Stop();
    writer.Close();
    return 0;
}

int main(int argc, char** argv)
{
    InstallStopSignalHandlers();
    // The same bytes on both builds: records, usage and version end their lines in LF.
    UseBinaryStdout();
    CLogdOptions options;
    std::string strError;
    if (!ParseLogdOptions(argc, argv, &options, &strError))
    {
        fprintf(stderr, "vendrel-logd: %s\n%s", strError.c_str(), kLogdUsage);
        return kUsageExit;
    }
    switch (options.eAction)
    {
    case ELogdAction::Help:
        fputs(kLogdUsage, stdout);
        return fflush(stdout) == 0 ? 0 : 1;
    case ELogdAction::Version:
        printf("vendrel-logd %s\n", VENDREL_VERSION_STRING);
        return fflush(stdout) == 0 ? 0 : 1;
    case ELogdAction::InstallService:
        return InstallLogdService(options);
    case ELogdAction::RemoveService:
        return RemoveLogdService();
    case ELogdAction::RunService:
        return RunLogdService([&options](const std::function<void()>& onListening)
                              { return Serve(options, onListening); });
    case ELogdAction::Serve:
        break;
    }
    return Serve(options, []() {});
}
