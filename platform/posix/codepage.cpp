// Code-page conversion. The ANSI code page is UTF-8, so both CP_ACP and CP_UTF8 convert between
// UTF-8 and UTF-16.
#include "pal_internal.h"

static const uint32_t kReplacement = 0xfffd;

// Decodes the code point at p (n > 0 bytes left) and answers the bytes it took. An ill-formed
// sequence becomes one U+FFFD for its longest valid start (at least one byte), so that a bad byte
// never swallows the well-formed text after it.
static size_t DecodeUtf8(const unsigned char* p, size_t n, uint32_t* pnCode, bool* pbBad)
{
    unsigned nLead = p[0];
    *pbBad = false;
    if (nLead < 0x80)
    {
        *pnCode = nLead;
        return 1;
    }
    size_t nTrail = 0;
    uint32_t nCode = 0;
    unsigned nLow = 0x80;
    unsigned nHigh = 0xbf;
    if (nLead >= 0xc2 && nLead <= 0xdf)
    {
        nTrail = 1;
        nCode = nLead & 0x1f;
    }
    else if (nLead >= 0xe0 && nLead <= 0xef)
    {
        nTrail = 2;
        nCode = nLead & 0x0f;
        // No overlong forms, and no surrogates encoded as UTF-8.
        nLow = nLead == 0xe0 ? 0xa0 : 0x80;
        nHigh = nLead == 0xed ? 0x9f : 0xbf;
    }
    else if (nLead >= 0xf0 && nLead <= 0xf4)
    {
        nTrail = 3;
        nCode = nLead & 0x07;
        nLow = nLead == 0xf0 ? 0x90 : 0x80;
        nHigh = nLead == 0xf4 ? 0x8f : 0xbf;
    }
    else
    {
        *pbBad = true;
        *pnCode = kReplacement;
        return 1;
    }
    size_t i = 1;
    for (; i <= nTrail && i < n; ++i)
    {
        unsigned nByte = p[i];
        unsigned nMin = i == 1 ? nLow : 0x80;
        unsigned nMax = i == 1 ? nHigh : 0xbf;
        if (nByte < nMin || nByte > nMax)
        {
            break;
        }
        nCode = (nCode << 6) | (nByte & 0x3f);
    }
    if (i <= nTrail)
    {
        *pbBad = true;
        *pnCode = kReplacement;
        return i;
    }
    *pnCode = nCode;
    return nTrail + 1;
}

// Decodes the code point at p (n > 0 units left); lone surrogates are bad.
static size_t DecodeUtf16(const WCHAR* p, size_t n, uint32_t* pnCode, bool* pbBad)
{
    uint32_t nUnit = p[0];
    *pbBad = false;
    if (nUnit < 0xd800 || nUnit > 0xdfff)
    {
        *pnCode = nUnit;
        return 1;
    }
    if (nUnit <= 0xdbff && n > 1 && p[1] >= 0xdc00 && p[1] <= 0xdfff)
    {
        *pnCode = 0x10000 + ((nUnit - 0xd800) << 10) + (static_cast<uint32_t>(p[1]) - 0xdc00);
        return 2;
    }
    *pbBad = true;
    *pnCode = kReplacement;
    return 1;
}

static size_t EncodeUtf8(uint32_t nCode, unsigned char* pOut)
{
    if (nCode < 0x80)
    {
        pOut[0] = static_cast<unsigned char>(nCode);
        return 1;
    }
    if (nCode < 0x800)
    {
        pOut[0] = static_cast<unsigned char>(0xc0 | (nCode >> 6));
        pOut[1] = static_cast<unsigned char>(0x80 | (nCode & 0x3f));
        return 2;
    }
    if (nCode < 0x10000)
    {
        pOut[0] = static_cast<unsigned char>(0xe0 | (nCode >> 12));
        pOut[1] = static_cast<unsigned char>(0x80 | ((nCode >> 6) & 0x3f));
        pOut[2] = static_cast<unsigned char>(0x80 | (nCode & 0x3f));
        return 3;
    }
    pOut[0] = static_cast<unsigned char>(0xf0 | (nCode >> 18));
    pOut[1] = static_cast<unsigned char>(0x80 | ((nCode >> 12) & 0x3f));
    pOut[2] = static_cast<unsigned char>(0x80 | ((nCode >> 6) & 0x3f));
    pOut[3] = static_cast<unsigned char>(0x80 | (nCode & 0x3f));
    return 4;
}

static size_t EncodeUtf16(uint32_t nCode, WCHAR* pOut)
{
    if (nCode < 0x10000)
    {
        pOut[0] = static_cast<WCHAR>(nCode);
        return 1;
    }
    nCode -= 0x10000;
    pOut[0] = static_cast<WCHAR>(0xd800 + (nCode >> 10));
    pOut[1] = static_cast<WCHAR>(0xdc00 + (nCode & 0x3ff));
    return 2;
}

// The largest length the conversions can report.
static const size_t kMaxConvertedUnits = 0x7fffffff;

// Appends nUnits units at *pnOut, or only counts them when the caller asks for the length
// (nCapacity 0). False, with the last error set, when they do not fit or the length would
// leave an int.
template <typename TUnit>
static bool AppendUnits(TUnit* pOut, int nCapacity, size_t* pnOut, const TUnit* pUnits,
                        size_t nUnits)
{
    if (nCapacity > 0)
    {
        if (*pnOut + nUnits > static_cast<size_t>(nCapacity))
        {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return false;
        }
        memcpy(pOut + *pnOut, pUnits, nUnits * sizeof(TUnit));
    }
    *pnOut += nUnits;
    if (*pnOut > kMaxConvertedUnits)
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    return true;
}

static bool IsUtf8CodePage(UINT CodePage)
{
    return CodePage == CP_ACP || CodePage == CP_UTF8;
}

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar)
{
    if (!IsUtf8CodePage(CodePage) || lpMultiByteStr == nullptr || cbMultiByte == 0 ||
        cbMultiByte < -1 || cchWideChar < 0 || (lpWideCharStr == nullptr && cchWideChar > 0))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const unsigned char* pIn = reinterpret_cast<const unsigned char*>(lpMultiByteStr);
    size_t nIn = cbMultiByte == -1 ? strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    size_t nOut = 0;
    size_t nPos = 0;
    while (nPos < nIn)
    {
        // A run of ASCII, which is most text, maps one byte to one unit.
        if (pIn[nPos] < 0x80)
        {
            WCHAR wc = static_cast<WCHAR>(pIn[nPos++]);
            if (!AppendUnits(lpWideCharStr, cchWideChar, &nOut, &wc, 1))
            {
                return 0;
            }
            continue;
        }
        uint32_t nCode = 0;
        bool bBad = false;
        nPos += DecodeUtf8(pIn + nPos, nIn - nPos, &nCode, &bBad);
        if (bBad && (dwFlags & MB_ERR_INVALID_CHARS) != 0)
        {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
        WCHAR units[2];
        size_t nUnits = EncodeUtf16(nCode, units);
        if (!AppendUnits(lpWideCharStr, cchWideChar, &nOut, units, nUnits))
        {
            return 0;
        }
    }
    return static_cast<int>(nOut);
}

int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar)
{
    // UTF-8 has no default character: lpDefaultChar is not used, and lpUsedDefaultChar tells
    // whether a lone surrogate had to be replaced.
    (void)lpDefaultChar;
    if (!IsUtf8CodePage(CodePage) || lpWideCharStr == nullptr || cchWideChar == 0 ||
        cchWideChar < -1 || cbMultiByte < 0 || (lpMultiByteStr == nullptr && cbMultiByte > 0))
    {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    size_t nIn = cchWideChar == -1 ? wcslen(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    size_t nOut = 0;
    size_t nPos = 0;
    bool bReplaced = false;
    while (nPos < nIn)
    {
        // A run of ASCII, which is most text, maps one unit to one byte.
        if (lpWideCharStr[nPos] < 0x80)
        {
            char c = static_cast<char>(lpWideCharStr[nPos++]);
            if (!AppendUnits(lpMultiByteStr, cbMultiByte, &nOut, &c, 1))
            {
                return 0;
            }
            continue;
        }
        uint32_t nCode = 0;
        bool bBad = false;
        nPos += DecodeUtf16(lpWideCharStr + nPos, nIn - nPos, &nCode, &bBad);
        if (bBad && (dwFlags & WC_ERR_INVALID_CHARS) != 0)
        {
            SetLastError(ERROR_NO_UNICODE_TRANSLATION);
            return 0;
        }
        bReplaced = bReplaced || bBad;
        unsigned char bytes[4];
        size_t nBytes = EncodeUtf8(nCode, bytes);
        if (!AppendUnits(lpMultiByteStr, cbMultiByte, &nOut, reinterpret_cast<char*>(bytes),
                         nBytes))
        {
            return 0;
        }
    }
    if (lpUsedDefaultChar != nullptr)
    {
        *lpUsedDefaultChar = bReplaced ? TRUE : FALSE;
    }
    return static_cast<int>(nOut);
}

UINT GetACP()
{
    return CP_UTF8;
}

bool PalWideNameToUtf8(LPCWSTR wszName, char* szOut, size_t nOut)
{
    int nLen = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wszName, -1, szOut,
                                   static_cast<int>(nOut), nullptr, nullptr);
    if (nLen <= 0)
    {
        SetLastError(GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ERROR_FILENAME_EXCED_RANGE
                                                                 : ERROR_INVALID_NAME);
        return false;
    }
    return true;
}
