// From the command line to one command's run.
#include "tool.h"

#include "commands.h"
#include "qtool_trace.h"
#include "quarantine.h"
#include "system_calls.h"
#include "vendrel_version.h"

#include "platform.h"

int RunTool(int argc, const char* const* argv, const SToolEnvironment& environment, COutput* pOut,
            COutput* pErr)
{
    SToolContext context;
    context.pOut = pOut;
    context.pErr = pErr;
    std::string strError;
    switch (ParseCommandLine(argc, argv, &context.options, &strError))
    {
    case kParseHelp:
        pOut->Write(UsageText(environment.szConfiguredHome));
        return kExitOk;
    case kParseVersion:
        pOut->Write("vendrel-quarantine " VENDREL_VERSION_STRING "\n");
        return kExitOk;
    case kParseUsageError:
        ReportError(context, strError);
        pErr->Write("Try 'vendrel-quarantine --help'.\n");
        return kExitUsage;
    case kParseRun:
        break;
    }

    context.eHomeSource = FindHome(
        context.options.bHome ? context.options.strHome.c_str() : nullptr, environment.szKelsioHome,
        environment.szConfiguredHome, environment.szExePath, &context.strHome);
    if (context.eHomeSource == kHomeNone)
    {
        ReportError(context, "no home directory: give --home DIR or set KELSIO_HOME");
        return kExitUsage;
    }
    if (!IsExistingDirectory(context.strHome.c_str()))
    {
        ReportError(context, "home directory '" + context.strHome + "' (from " +
                                 HomeSourceText(context.eHomeSource) +
                                 ") does not exist or is not a directory");
        return kExitUsage;
    }
    if (!UseHome(context.strHome.c_str()))
    {
        ReportError(context, "cannot set KELSIO_HOME for the settings");
        return kExitFailed;
    }
    SetUpToolTrace();

    char szFolder[MAX_PATH] = {0};
    getQuarantineFolder(szFolder, MAX_PATH);
    context.strFolder = szFolder;
    context.nNow = static_cast<int64_t>(osTime(nullptr));

    switch (context.options.eCommand)
    {
    case kCommandList:
        return RunList(context);
    case kCommandStats:
        return RunStats(context);
    case kCommandSamples:
        return RunSamples(context);
    case kCommandPurge:
        return RunPurge(context);
    case kCommandRescan:
        return RunRescan(context);
    case kCommandCheck:
        return RunCheck(context);
    case kCommandNone:
        break;
    }
    return kExitUsage;
}
