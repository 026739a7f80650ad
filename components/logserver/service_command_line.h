// The command line that the log server's Windows service is registered with.
#pragma once

#include "logd_options.h"

#include <string>

// The name the service is registered under, and the name the service manager shows.
extern const char kLogdServiceName[];
extern const char kLogdServiceDisplayName[];

// strArg quoted for a Windows command line so that the C runtime's splitting (and
// CommandLineToArgvW) gives it back unchanged: as it is when it holds no blank or quote,
// else in quotes with every quote and the backslashes before a quote escaped.
std::string QuoteWindowsArgument(const std::string& strArg);
// "EXE" --service and every serving option that options holds (--pipe, --output, --format,
// --group, --max-size, --keep), each quoted, in that order.
std::string ServiceCommandLine(const std::string& strExePath, const CLogdOptions& options);
