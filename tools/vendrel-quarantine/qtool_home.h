// Which installation the command works on: --home, else $KELSIO_HOME, else the home the build
// was configured with, else two levels above the command's own directory. Once found, the
// process's KELSIO_HOME names it, so that the CGI support library reads that home's server.ini
// by the program's own rules.
#pragma once

#include <string>

enum EHomeSource
{
    kHomeFromOption,
    kHomeFromEnvironment,
    kHomeConfigured,
    kHomeBesideCommand,
    kHomeNone,
};

// The home as given (no separator added or removed except trailing ones); kHomeNone when
// nothing names one. szOption: the --home value or null; szConfigured: the build's, may be
// empty; szExePath: the command's own path.
EHomeSource FindHome(const char* szOption, const char* szEnvironment, const char* szConfigured,
                     const char* szExePath, std::string* pstrHome);

// Whether szHome names an existing directory (links followed).
bool IsExistingDirectory(const char* szHome);

// Points this process's KELSIO_HOME at szHome; false when the environment cannot take it.
bool UseHome(const char* szHome);

const char* HomeSourceText(EHomeSource eSource);
