// The trace set-up at start: module tag, install directory, the debug settings file and the
// optional trace library.
#pragma once

#include "platform.h"

// Works out the install directory from the executable's path (levels above its directory) and
// stores the module tag, always in pipe mode. Answers 1 when the set-up ran, 0 when the
// executable's path was not available or holds too few separators (then nothing is set).
int InitDebugTrace(const char* szSettingsFile, const char* szLibraryFile, int nLevelsUp,
                   const char* szModuleTag, BOOL bLibraryInInstallDir);

// Stores the module tag and the executable's file name; without bPipeMode also loads the trace
// library and resolves its entry points. Answers true only when the library's initialisation
// entry point was found and called.
BOOL LoadTraceLibrary(const char* szSettingsPath, const char* szLibraryPath,
                      const char* szModuleTag, BOOL bPipeMode);

// The install directory of szExePath: its leading part up to and including the
// (nLevelsUp + 1)-th separator from the end. Answers false when the path holds fewer.
BOOL GetInstallDirectory(const char* szExePath, int nLevelsUp, char* szInstallDir,
                         size_t nInstallDirSize);

// The debug settings path (install directory + settings file) and the library path (the
// library file alone, or in the install directory) for an executable path, each in a
// MAX_PATH buffer. A path that would not fit is left empty rather than cut into the name of
// some other file. Answers false when the install directory cannot be had.
BOOL FormTracePaths(const char* szExePath, int nLevelsUp, const char* szSettingsFile,
                    const char* szLibraryFile, BOOL bLibraryInInstallDir, char* szSettingsPath,
                    char* szLibraryPath);
