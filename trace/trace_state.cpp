// The process-wide trace state and its reset.
#include "trace_state.h"

#include <string.h>

BOOL g_bTraceEnabled = TRUE;
int g_nDropCount = 0;
DWORD g_dwLastFailTick = 0;

char g_szModuleTag[TRACE_MODULE_TAG_UNITS];
WCHAR g_wszModuleTag[TRACE_MODULE_TAG_UNITS];

char g_szExeName[MAX_PATH];
BOOL g_bExeNameReady = FALSE;
WCHAR g_wszExeName[MAX_PATH];
BOOL g_bExeNameReadyW = FALSE;

HMODULE g_hTraceLib = NULL;
PFN_SD_INITDEBUG_WITH_INI_0200 g_pfnInitDebugWithIni = NULL;
PFN_SD_UNUSED g_pfnTraceW0200 = NULL;
PFN_SD_TRACEA_0200 g_pfnTraceA0200 = NULL;
PFN_SD_TRACEW g_pfnTraceW = NULL;
PFN_SD_UNUSED g_pfnSetDebugMsg = NULL;
PFN_SD_UNUSED g_pfnDbLogTrace = NULL;

BOOL g_bServerHintShown = FALSE;

void ResetTraceState()
{
    g_bTraceEnabled = TRUE;
    g_nDropCount = 0;
    g_dwLastFailTick = 0;
    memset(g_szModuleTag, 0, sizeof(g_szModuleTag));
    memset(g_wszModuleTag, 0, sizeof(g_wszModuleTag));
    memset(g_szExeName, 0, sizeof(g_szExeName));
    g_bExeNameReady = FALSE;
    memset(g_wszExeName, 0, sizeof(g_wszExeName));
    g_bExeNameReadyW = FALSE;
    g_hTraceLib = NULL;
    g_pfnInitDebugWithIni = NULL;
    g_pfnTraceW0200 = NULL;
    g_pfnTraceA0200 = NULL;
    g_pfnTraceW = NULL;
    g_pfnSetDebugMsg = NULL;
    g_pfnDbLogTrace = NULL;
    g_bServerHintShown = FALSE;
}
