// The log server's command line.
#pragma once

#include "record_writer.h"

#include <string>

struct CLogdOptions
{
    std::string strPipe = "Log_ServerNamePipe";
    std::string strOutput; // empty: standard output
    ELogFormat eFormat = ELogFormat::Text;
    std::string strGroup; // empty: the server's own group
};

// vendrel-logd [--pipe NAME] [--output FILE] [--format text|jsonl] [--group NAME]. On a bad
// argument pstrError says which.
bool ParseLogdOptions(int argc, char** argv, CLogdOptions* pOptions, std::string* pstrError);
