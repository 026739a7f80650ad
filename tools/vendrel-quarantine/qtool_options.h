// The command line of vendrel-quarantine: one command, its options, and the global --home.
// Parsing changes nothing anywhere; a usage error names the value it could not take.
#pragma once

#include <cstdint>
#include <string>

enum ECommand
{
    kCommandNone,
    kCommandList,
    kCommandStats,
    kCommandSamples,
    kCommandPurge,
    kCommandRescan,
    kCommandCheck,
};

enum EFormat
{
    kFormatText,
    kFormatJson,
    kFormatCsv,
    kFormatPrometheus,
};

struct SToolOptions
{
    ECommand eCommand = kCommandNone;
    bool bHome = false;
    std::string strHome;
    bool bComputer = false;
    std::string strComputer;
    bool bOlderThan = false;
    int64_t nOlderThanSeconds = 0;
    bool bNewerThan = false;
    int64_t nNewerThanSeconds = 0;
    bool bSince = false;
    int64_t nSinceSeconds = 0;
    bool bKeepBytes = false;
    uint64_t nKeepBytes = 0;
    bool bSha256 = false;
    bool bDryRun = false;
    EFormat eFormat = kFormatText;
};

enum EParseResult
{
    kParseRun,
    kParseHelp,
    kParseVersion,
    kParseUsageError,
};

// Reads argv[1..argc-1]. On kParseUsageError *pstrError says what was wrong, naming the value.
EParseResult ParseCommandLine(int argc, const char* const* argv, SToolOptions* pOptions,
                              std::string* pstrError);

// The command's name as typed ("list"), for messages.
const char* CommandName(ECommand eCommand);

// The usage text, with the home the build was configured with (empty: none).
std::string UsageText(const char* szConfiguredHome);
