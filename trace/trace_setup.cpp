// The trace set-up at start: install directory, settings and library paths, module tag.
#include "trace_setup.h"

#include "module_name.h"
#include "system_calls.h"
#include "trace_state.h"

#include <string.h>

// What the trace library is told about the build it serves.
static const char kBuildDate[] = "Mar 27 2019";
static const char kBuildTime[] = "00:57:56";

BOOL GetInstallDirectory(const char* szExePath, int nLevelsUp, char* szInstallDir,
                         size_t nInstallDirSize)
{
    if (nInstallDirSize == 0)
    {
        return FALSE;
    }
    szInstallDir[0] = '\0';
    if (nLevelsUp < 0)
    {
        return FALSE;
    }
    size_t nLength = strlen(szExePath);
    long long llWanted = (long long)nLevelsUp + 1;
    long long llSeen = 0;
    size_t nCut = 0;
    for (size_t i = nLength; i > 0; i--)
    {
        if (szExePath[i - 1] == VENDREL_DIR_SEP && ++llSeen == llWanted)
        {
            nCut = i;
            break;
        }
    }
    if (llSeen < llWanted || nCut >= nInstallDirSize)
    {
        return FALSE;
    }
    memcpy(szInstallDir, szExePath, nCut);
    szInstallDir[nCut] = '\0';
    return TRUE;
}

// szOut (MAX_PATH bytes) = szFirst + szSecond, or empty when that would not fit.
static void JoinPath(const char* szFirst, const char* szSecond, char* szOut)
{
    size_t nFirst = strlen(szFirst);
    size_t nSecond = strlen(szSecond);
    szOut[0] = '\0';
    if (nFirst + nSecond >= MAX_PATH)
    {
        return;
    }
    memcpy(szOut, szFirst, nFirst);
    memcpy(szOut + nFirst, szSecond, nSecond + 1);
}

BOOL FormTracePaths(const char* szExePath, int nLevelsUp, const char* szSettingsFile,
                    const char* szLibraryFile, BOOL bLibraryInInstallDir, char* szSettingsPath,
                    char* szLibraryPath)
{
    char szInstallDir[MAX_PATH];
    szSettingsPath[0] = '\0';
    szLibraryPath[0] = '\0';
    if (!GetInstallDirectory(szExePath, nLevelsUp, szInstallDir, sizeof(szInstallDir)))
    {
        return FALSE;
    }
    JoinPath(bLibraryInInstallDir ? szInstallDir : "", szLibraryFile, szLibraryPath);
    JoinPath(szInstallDir, szSettingsFile, szSettingsPath);
    return TRUE;
}

int InitDebugTrace(const char* szSettingsFile, const char* szLibraryFile, int nLevelsUp,
                   const char* szModuleTag, BOOL bLibraryInInstallDir)
{
    char szExePath[MAX_PATH];
    memset(szExePath, 0, sizeof(szExePath));
    DWORD dwLength = osGetModuleFileNameA(NULL, szExePath, MAX_PATH);
    if (dwLength == 0)
    {
        return 0;
    }
    // A path longer than the buffer comes back cut to it (and, on older systems, without its
    // terminator): the cut path still serves, as far as its separators reach.
    szExePath[MAX_PATH - 1] = '\0';
    char szSettingsPath[MAX_PATH];
    char szLibraryPath[MAX_PATH];
    if (!FormTracePaths(szExePath, nLevelsUp, szSettingsFile, szLibraryFile, bLibraryInInstallDir,
                        szSettingsPath, szLibraryPath))
    {
        return 0;
    }
    LoadTraceLibrary(szSettingsPath, szLibraryPath, szModuleTag, TRUE);
    return 1;
}

// Looks up one entry point as the untyped pointer the state keeps for it.
template <typename T> static T LookUp(HMODULE hLib, const char* szName)
{
    // Through void(*)() so that the conversion between function types is explicit.
    return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(hLib, szName)));
}

static void StoreModuleTag(const char* szModuleTag)
{
    if (szModuleTag == NULL)
    {
        g_szModuleTag[0] = '\0';
        return;
    }
    size_t nLength = strnlen(szModuleTag, sizeof(g_szModuleTag) - 1);
    memcpy(g_szModuleTag, szModuleTag, nLength);
    g_szModuleTag[nLength] = '\0';
    g_szModuleTag[sizeof(g_szModuleTag) - 1] = '\0';
    // Converted by length into at most kTagChars units, so a tag of the full kTagChars characters
    // keeps all of them and still ends in a terminator.
    const int kTagChars = int(TRACE_MODULE_TAG_UNITS - 1);
    int nUnits = 0;
    if (nLength > 0)
    {
        nUnits =
            MultiByteToWideChar(CP_ACP, 0, g_szModuleTag, int(nLength), g_wszModuleTag, kTagChars);
    }
    g_wszModuleTag[nUnits > 0 ? nUnits : 0] = 0;
    g_wszModuleTag[kTagChars] = 0;
}

BOOL LoadTraceLibrary(const char* szSettingsPath, const char* szLibraryPath,
                      const char* szModuleTag, BOOL bPipeMode)
{
    BOOL bResult = FALSE;
    StoreModuleTag(szModuleTag);
    if (!bPipeMode)
    {
        g_hTraceLib = LoadLibraryA(szLibraryPath);
        if (g_hTraceLib != NULL)
        {
            g_pfnInitDebugWithIni =
                LookUp<PFN_SD_INITDEBUG_WITH_INI_0200>(g_hTraceLib, "SD_InitDebug_with_Ini_0200");
            if (g_pfnInitDebugWithIni != NULL)
            {
                g_pfnInitDebugWithIni(szSettingsPath, kBuildDate, kBuildTime);
                bResult = TRUE;
            }
            g_pfnTraceW0200 = LookUp<PFN_SD_UNUSED>(g_hTraceLib, "SD_TraceW_0200");
            g_pfnTraceA0200 = LookUp<PFN_SD_TRACEA_0200>(g_hTraceLib, "SD_TraceA_0200");
            g_pfnTraceW = LookUp<PFN_SD_TRACEW>(g_hTraceLib, "SD_TraceW");
            g_pfnSetDebugMsg = LookUp<PFN_SD_UNUSED>(g_hTraceLib, "SD_SetDebugMsg");
            g_pfnDbLogTrace = LookUp<PFN_SD_UNUSED>(g_hTraceLib, "SD_DbLogTrace");
        }
    }
    memset(g_szExeName, 0, sizeof(g_szExeName));
    getModuleBaseName(g_szExeName);
    return bResult;
}
