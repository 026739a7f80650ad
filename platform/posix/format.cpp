// Bounded formatting with the C runtime's cut, in narrow and in UTF-16 text.
#include "pal_internal.h"

#include <cwchar>

// The cut of _snprintf: at most count characters, the terminator only when it fits; the length
// when the text fits exactly or with its terminator, -1 when it was cut.
int _vsnprintf(char* buffer, size_t count, const char* format, va_list argptr)
{
    va_list args;
    va_copy(args, argptr);
    int nLen = vsnprintf(nullptr, 0, format, args);
    va_end(args);
    if (nLen < 0)
    {
        return -1;
    }
    size_t nNeed = static_cast<size_t>(nLen);
    if (nNeed < count)
    {
        return vsnprintf(buffer, count, format, argptr);
    }
    if (count > 0)
    {
        char* pFull = static_cast<char*>(malloc(nNeed + 1));
        if (pFull == nullptr)
        {
            return -1;
        }
        vsnprintf(pFull, nNeed + 1, format, argptr);
        memcpy(buffer, pFull, count);
        free(pFull);
    }
    return nNeed == count ? nLen : -1;
}

int _snprintf(char* buffer, size_t count, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int nRet = _vsnprintf(buffer, count, format, args);
    va_end(args);
    return nRet;
}

size_t wcslen(const WCHAR* str)
{
    size_t n = 0;
    while (str[n] != 0)
    {
        ++n;
    }
    return n;
}

// Output of the wide formatter: units past the capacity are counted, never stored.
struct SWideOut
{
    WCHAR* m_pBuf;
    size_t m_nCap;
    size_t m_nLen;
};

static void PutUnit(SWideOut* pOut, WCHAR wc)
{
    if (pOut->m_nLen < pOut->m_nCap)
    {
        pOut->m_pBuf[pOut->m_nLen] = wc;
    }
    ++pOut->m_nLen;
}

static void PutPadding(SWideOut* pOut, size_t n)
{
    for (size_t i = 0; i < n; ++i)
    {
        PutUnit(pOut, u' ');
    }
}

struct SConversion
{
    char m_szFlags[8];
    int m_nWidth;     // -1: none
    int m_nPrecision; // -1: none
    bool m_bLeft;
};

// A UTF-16 run of n units, padded to the width.
static void PutWideRun(SWideOut* pOut, const SConversion& conv, const WCHAR* p, size_t n)
{
    size_t nPad = conv.m_nWidth > 0 && static_cast<size_t>(conv.m_nWidth) > n
                      ? static_cast<size_t>(conv.m_nWidth) - n
                      : 0;
    if (!conv.m_bLeft)
    {
        PutPadding(pOut, nPad);
    }
    for (size_t i = 0; i < n; ++i)
    {
        PutUnit(pOut, p[i]);
    }
    if (conv.m_bLeft)
    {
        PutPadding(pOut, nPad);
    }
}

static void PutWideString(SWideOut* pOut, const SConversion& conv, const WCHAR* wsz)
{
    if (wsz == nullptr)
    {
        wsz = u"(null)";
    }
    // With a precision the text need not be terminated: read no further than it.
    size_t n = 0;
    while ((conv.m_nPrecision < 0 || n < static_cast<size_t>(conv.m_nPrecision)) && wsz[n] != 0)
    {
        ++n;
    }
    PutWideRun(pOut, conv, wsz, n);
}

static void PutNarrowString(SWideOut* pOut, const SConversion& conv, const char* sz)
{
    if (sz == nullptr)
    {
        sz = "(null)";
    }
    size_t n = conv.m_nPrecision < 0 ? strlen(sz) : strnlen(sz, conv.m_nPrecision);
    if (n == 0)
    {
        PutWideRun(pOut, conv, u"", 0);
        return;
    }
    WCHAR wszSmall[256];
    WCHAR* pWide = wszSmall;
    int nUnits = MultiByteToWideChar(CP_ACP, 0, sz, static_cast<int>(n), nullptr, 0);
    if (nUnits <= 0)
    {
        return;
    }
    if (static_cast<size_t>(nUnits) > sizeof(wszSmall) / sizeof(WCHAR))
    {
        pWide = static_cast<WCHAR*>(malloc(static_cast<size_t>(nUnits) * sizeof(WCHAR)));
        if (pWide == nullptr)
        {
            return;
        }
    }
    MultiByteToWideChar(CP_ACP, 0, sz, static_cast<int>(n), pWide, nUnits);
    PutWideRun(pOut, conv, pWide, static_cast<size_t>(nUnits));
    if (pWide != wszSmall)
    {
        free(pWide);
    }
}

// Numbers go through the narrow formatter with the same flags, width and precision; its output
// is ASCII, so widening is unit by unit.
static void PutNarrowFormatted(SWideOut* pOut, const char* szFormat, ...)
{
    char szSmall[128];
    va_list args;
    va_start(args, szFormat);
    int nLen = vsnprintf(szSmall, sizeof(szSmall), szFormat, args);
    va_end(args);
    if (nLen < 0)
    {
        return;
    }
    char* pText = szSmall;
    if (static_cast<size_t>(nLen) >= sizeof(szSmall))
    {
        pText = static_cast<char*>(malloc(static_cast<size_t>(nLen) + 1));
        if (pText == nullptr)
        {
            return;
        }
        va_start(args, szFormat);
        vsnprintf(pText, static_cast<size_t>(nLen) + 1, szFormat, args);
        va_end(args);
    }
    for (int i = 0; i < nLen; ++i)
    {
        PutUnit(pOut, static_cast<WCHAR>(static_cast<unsigned char>(pText[i])));
    }
    if (pText != szSmall)
    {
        free(pText);
    }
}

enum ESize
{
    SIZE_DEFAULT,
    SIZE_CHAR,
    SIZE_SHORT,
    SIZE_LONG, // 32 bits, as long is in the C runtime of Windows
    SIZE_64,
    SIZE_WIDE_ONLY // 'w' and 'l' before s/c: wide text
};

// Builds "%<flags><width>.<precision>" + szLength + conversion into szOut.
static void NarrowConversion(char* szOut, size_t nOut, const SConversion& conv,
                             const char* szLength, char cConversion)
{
    char szWidth[16] = "";
    char szPrecision[16] = "";
    if (conv.m_nWidth >= 0)
    {
        snprintf(szWidth, sizeof(szWidth), "%d", conv.m_nWidth);
    }
    if (conv.m_nPrecision >= 0)
    {
        snprintf(szPrecision, sizeof(szPrecision), ".%d", conv.m_nPrecision);
    }
    snprintf(szOut, nOut, "%%%s%s%s%s%c", conv.m_szFlags, szWidth, szPrecision, szLength,
             cConversion);
}

static int ParseNumber(const WCHAR** pp)
{
    long nValue = 0;
    while (**pp >= u'0' && **pp <= u'9')
    {
        if (nValue < 100000)
        {
            nValue = nValue * 10 + (**pp - u'0');
        }
        ++*pp;
    }
    return static_cast<int>(nValue);
}

static ESize ParseSize(const WCHAR** pp)
{
    const WCHAR* p = *pp;
    ESize eSize = SIZE_DEFAULT;
    if (p[0] == u'h')
    {
        eSize = p[1] == u'h' ? SIZE_CHAR : SIZE_SHORT;
        p += p[1] == u'h' ? 2 : 1;
    }
    else if (p[0] == u'l')
    {
        eSize = p[1] == u'l' ? SIZE_64 : SIZE_LONG;
        p += p[1] == u'l' ? 2 : 1;
    }
    else if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4')
    {
        eSize = SIZE_64;
        p += 3;
    }
    else if (p[0] == u'I' && p[1] == u'3' && p[2] == u'2')
    {
        eSize = SIZE_LONG;
        p += 3;
    }
    else if (p[0] == u'I' || p[0] == u'z' || p[0] == u'j' || p[0] == u't' || p[0] == u'L')
    {
        eSize = SIZE_64;
        p += 1;
    }
    else if (p[0] == u'w')
    {
        eSize = SIZE_WIDE_ONLY;
        p += 1;
    }
    *pp = p;
    return eSize;
}

static void PutInteger(SWideOut* pOut, const SConversion& conv, ESize eSize, WCHAR wcConv,
                       va_list* pArgs)
{
    char cConv = static_cast<char>(wcConv);
    bool bSigned = cConv == 'd' || cConv == 'i';
    char szSpec[64];
    NarrowConversion(szSpec, sizeof(szSpec), conv, "ll", cConv);
    if (eSize == SIZE_64)
    {
        long long nValue = va_arg(*pArgs, long long);
        if (bSigned)
        {
            PutNarrowFormatted(pOut, szSpec, nValue);
        }
        else
        {
            PutNarrowFormatted(pOut, szSpec, static_cast<unsigned long long>(nValue));
        }
        return;
    }
    int nValue = va_arg(*pArgs, int);
    if (bSigned)
    {
        long long nWide = eSize == SIZE_CHAR    ? static_cast<signed char>(nValue)
                          : eSize == SIZE_SHORT ? static_cast<short>(nValue)
                                                : nValue;
        PutNarrowFormatted(pOut, szSpec, nWide);
        return;
    }
    unsigned long long nWide = eSize == SIZE_CHAR    ? static_cast<unsigned char>(nValue)
                               : eSize == SIZE_SHORT ? static_cast<unsigned short>(nValue)
                                                     : static_cast<unsigned int>(nValue);
    PutNarrowFormatted(pOut, szSpec, nWide);
}

static void PutFloat(SWideOut* pOut, const SConversion& conv, WCHAR wcConv, va_list* pArgs)
{
    char szSpec[64];
    NarrowConversion(szSpec, sizeof(szSpec), conv, "", static_cast<char>(wcConv));
    PutNarrowFormatted(pOut, szSpec, va_arg(*pArgs, double));
}

// One conversion after its '%'; *pp is moved past it.
static void PutConversion(SWideOut* pOut, const WCHAR** pp, va_list* pArgs)
{
    const WCHAR* p = *pp;
    SConversion conv = {{0}, -1, -1, false};
    size_t nFlags = 0;
    while (*p == u'-' || *p == u'+' || *p == u' ' || *p == u'0' || *p == u'#')
    {
        if (nFlags + 1 < sizeof(conv.m_szFlags))
        {
            conv.m_szFlags[nFlags++] = static_cast<char>(*p);
        }
        conv.m_bLeft = conv.m_bLeft || *p == u'-';
        ++p;
    }
    if (*p == u'*')
    {
        conv.m_nWidth = va_arg(*pArgs, int);
        if (conv.m_nWidth < 0)
        {
            conv.m_bLeft = true;
            if (nFlags + 1 < sizeof(conv.m_szFlags))
            {
                conv.m_szFlags[nFlags++] = '-';
            }
            conv.m_nWidth = conv.m_nWidth == -2147483647 - 1 ? 0 : -conv.m_nWidth;
        }
        ++p;
    }
    else if (*p >= u'0' && *p <= u'9')
    {
        conv.m_nWidth = ParseNumber(&p);
    }
    if (*p == u'.')
    {
        ++p;
        if (*p == u'*')
        {
            conv.m_nPrecision = va_arg(*pArgs, int);
            ++p;
        }
        else
        {
            conv.m_nPrecision = ParseNumber(&p);
        }
    }
    ESize eSize = ParseSize(&p);
    WCHAR wcConv = *p;
    if (wcConv == 0)
    {
        *pp = p;
        return;
    }
    *pp = p + 1;
    switch (wcConv)
    {
    case u'd':
    case u'i':
    case u'u':
    case u'x':
    case u'X':
    case u'o':
        PutInteger(pOut, conv, eSize, wcConv, pArgs);
        break;
    case u'e':
    case u'E':
    case u'f':
    case u'F':
    case u'g':
    case u'G':
    case u'a':
    case u'A':
        PutFloat(pOut, conv, wcConv, pArgs);
        break;
    case u'p':
        // As the C runtime prints pointers: all 16 hex digits, upper case.
        PutNarrowFormatted(
            pOut, "%016llX",
            static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(va_arg(*pArgs, void*))));
        break;
    case u's':
    case u'S':
        // In the wide forms %s is wide text and %S narrow; h always means narrow and l/w wide.
        if (eSize == SIZE_SHORT ||
            (wcConv == u'S' && eSize != SIZE_LONG && eSize != SIZE_WIDE_ONLY))
        {
            PutNarrowString(pOut, conv, va_arg(*pArgs, const char*));
        }
        else
        {
            PutWideString(pOut, conv, va_arg(*pArgs, const WCHAR*));
        }
        break;
    case u'c':
    case u'C':
    {
        int nChar = va_arg(*pArgs, int);
        bool bNarrow = eSize == SIZE_SHORT ||
                       (wcConv == u'C' && eSize != SIZE_LONG && eSize != SIZE_WIDE_ONLY);
        WCHAR wc = static_cast<WCHAR>(nChar);
        if (bNarrow)
        {
            char c = static_cast<char>(nChar);
            wc = (static_cast<unsigned char>(c) < 0x80) ? static_cast<WCHAR>(c) : WCHAR(0xfffd);
        }
        PutWideRun(pOut, conv, &wc, 1);
        break;
    }
    case u'n':
        // Writing through %n is refused, as the C runtime does by default.
        (void)va_arg(*pArgs, void*);
        break;
    default:
        PutUnit(pOut, wcConv);
        break;
    }
}

int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list argptr)
{
    SWideOut out = {buffer, count, 0};
    va_list args;
    va_copy(args, argptr);
    const WCHAR* p = format;
    while (*p != 0)
    {
        if (*p != u'%')
        {
            PutUnit(&out, *p++);
            continue;
        }
        ++p;
        if (*p == u'%')
        {
            PutUnit(&out, *p++);
            continue;
        }
        PutConversion(&out, &p, &args);
    }
    va_end(args);
    if (out.m_nLen < count)
    {
        buffer[out.m_nLen] = 0;
        return static_cast<int>(out.m_nLen);
    }
    return out.m_nLen == count ? static_cast<int>(out.m_nLen) : -1;
}

int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    int nRet = _vsnwprintf(buffer, count, format, args);
    va_end(args);
    return nRet;
}
