// Composing a trace message: one body for both character types, with per-type helpers.
#include "trace_message.h"

#include "module_name.h"
#include "trace_state.h"

#include <string.h>

// "[" tag "][" name "]" takes the lengths of both plus these four characters.
static const size_t kPrefixBrackets = 4;
// The longest tag and name that the message takes, each without its terminator.
static const size_t kMaxTagUnits = sizeof(g_szModuleTag) - 1;
static const size_t kMaxNameUnits = MAX_PATH - 1;

static const char* ModuleTag(const char*)
{
    return g_szModuleTag;
}

static const WCHAR* ModuleTag(const WCHAR*)
{
    return g_wszModuleTag;
}

static const char* ExeName(const char*)
{
    if (!g_bExeNameReady)
    {
        memset(g_szExeName, 0, sizeof(g_szExeName));
        getModuleBaseName(g_szExeName);
        g_bExeNameReady = TRUE;
    }
    return g_szExeName;
}

static const WCHAR* ExeName(const WCHAR*)
{
    if (!g_bExeNameReadyW)
    {
        memset(g_wszExeName, 0, sizeof(g_wszExeName));
        getModuleBaseNameW(g_wszExeName);
        g_bExeNameReadyW = TRUE;
    }
    return g_wszExeName;
}

// The formatters cut at the bound without failing.
static void FormatText(char* szOut, size_t nRoom, const char* szFormat, va_list args)
{
    _vsnprintf(szOut, nRoom, szFormat, args);
}

static void FormatText(WCHAR* wszOut, size_t nRoom, const WCHAR* wszFormat, va_list args)
{
    _vsnwprintf(wszOut, nRoom, wszFormat, args);
}

template <typename TChar> static size_t LengthBounded(const TChar* pszText, size_t nMax)
{
    size_t nLength = 0;
    while (nLength < nMax && pszText[nLength] != 0)
    {
        nLength++;
    }
    return nLength;
}

template <typename TChar>
static void FormatMessageOf(TChar* pszMessage, const TChar* pszFormat, va_list args)
{
    memset(pszMessage, 0, TRACE_MESSAGE_UNITS * sizeof(TChar));
    const TChar* pszName = ExeName(pszMessage);
    const TChar* pszTag = ModuleTag(pszMessage);
    size_t nTag = LengthBounded(pszTag, kMaxTagUnits);
    size_t nName = LengthBounded(pszName, kMaxNameUnits);
    size_t nPos = 0;
    pszMessage[nPos++] = '[';
    memcpy(pszMessage + nPos, pszTag, nTag * sizeof(TChar));
    nPos += nTag;
    pszMessage[nPos++] = ']';
    pszMessage[nPos++] = '[';
    memcpy(pszMessage + nPos, pszName, nName * sizeof(TChar));
    nPos += nName;
    pszMessage[nPos++] = ']';
    size_t nRoom = TRACE_MESSAGE_UNITS - 1 - kPrefixBrackets - nTag - nName;
    FormatText(pszMessage + nPos, nRoom, pszFormat, args);
    pszMessage[TRACE_MESSAGE_UNITS - 1] = 0;
}

void FormatTraceMessage(char* szMessage, const char* szFormat, va_list args)
{
    FormatMessageOf(szMessage, szFormat, args);
}

void FormatTraceMessage(WCHAR* wszMessage, const WCHAR* wszFormat, va_list args)
{
    FormatMessageOf(wszMessage, wszFormat, args);
}
