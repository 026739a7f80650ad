// The log server's command line.
#pragma once

#include "record_writer.h"

#include <cstdint>
#include <string>

// What the command line asks the process to do.
enum class ELogdAction
{
    Serve,          // serve the pipe until stopped
    Help,           // --help: usage on standard output
    Version,        // --version: the package version on standard output
    InstallService, // --install-service: register a service that serves with the other options
    RemoveService,  // --remove-service: stop and delete that service
    RunService      // --service: started by the service manager (the installed command line)
};

// Output rotation by size: the largest --max-size, in megabytes, and the bounds of --keep.
const uint64_t kBytesPerMegabyte = 1024 * 1024;
const unsigned kMaxSizeLimitMb = 1024 * 1024;
const unsigned kMaxKeptGenerations = 1000;
// Generations kept when --max-size is given without --keep.
const unsigned kDefaultKeptGenerations = 8;

struct CLogdOptions
{
    ELogdAction eAction = ELogdAction::Serve;
    std::string strPipe = "Log_ServerNamePipe";
    std::string strOutput; // empty: standard output
    ELogFormat eFormat = ELogFormat::Text;
    std::string strGroup;           // empty: the server's own group
    uint64_t nMaxSizeBytes = 0;     // 0: no rotation by size
    unsigned nKeep = 0;             // generations FILE.1 ... FILE.nKeep kept by size rotation
    bool bServeOptionGiven = false; // any of the options above was given
};

// The usage text that --help prints and a usage error follows.
extern const char kLogdUsage[];

// vendrel-logd [--pipe NAME] [--output FILE] [--format text|jsonl] [--group NAME]
// [--max-size MB [--keep N]] [--install-service | --remove-service | --service] | --help |
// --version. Arguments are read from the left: --help and --version answer at once unless an
// argument before them is wrong. On a usage error pstrError names the argument and what is
// wrong; the caller prints it with the usage and exits with status 2.
bool ParseLogdOptions(int argc, char** argv, CLogdOptions* pOptions, std::string* pstrError);
