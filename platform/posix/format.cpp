// Bounded formatting with the C runtime's cut, in narrow and in UTF-16 text.
//
// Only what Vendrel's own formats use is understood: %s (text of the format's own width), %d, %u
// and %x, each of the three also with l (long), and %%; no flags, width or precision. Anything
// else ends the conversions: it and the rest of the format are copied as they stand and no
// further argument is read, so a format this layer does not know never reads an argument as the
// wrong type.
#include "pal_internal.h"

namespace
{

const char kDigits[] = "0123456789abcdef";
// The digits of a 64-bit number in base 10, with room to spare.
const size_t kMaxDigits = 24;
const unsigned kDecimal = 10;
const unsigned kHex = 16;

// Output of the formatter: units past the capacity are counted, never stored.
template <typename TChar> struct SOut
{
    TChar* m_pBuf;
    size_t m_nCap;
    size_t m_nLen;
};

template <typename TChar> void PutUnit(SOut<TChar>* pOut, TChar c)
{
    if (pOut->m_nLen < pOut->m_nCap)
    {
        pOut->m_pBuf[pOut->m_nLen] = c;
    }
    ++pOut->m_nLen;
}

template <typename TChar> void PutAscii(SOut<TChar>* pOut, const char* sz)
{
    for (; *sz != 0; ++sz)
    {
        PutUnit(pOut, static_cast<TChar>(*sz));
    }
}

template <typename TChar> void PutText(SOut<TChar>* pOut, const TChar* p)
{
    if (p == nullptr)
    {
        PutAscii(pOut, "(null)");
        return;
    }
    for (; *p != 0; ++p)
    {
        PutUnit(pOut, *p);
    }
}

template <typename TChar> void PutDigits(SOut<TChar>* pOut, unsigned long nValue, unsigned nBase)
{
    char szDigits[kMaxDigits];
    size_t n = 0;
    do
    {
        szDigits[n++] = kDigits[nValue % nBase];
        nValue /= nBase;
    } while (nValue != 0 && n < kMaxDigits);
    while (n > 0)
    {
        PutUnit(pOut, static_cast<TChar>(szDigits[--n]));
    }
}

// One integer conversion; false for a conversion this formatter does not know, before any
// argument is read.
template <typename TChar>
bool PutInteger(SOut<TChar>* pOut, TChar cConversion, bool bLong, va_list* pArgs)
{
    if (cConversion == 'd')
    {
        long nValue = bLong ? va_arg(*pArgs, long) : va_arg(*pArgs, int);
        unsigned long nMagnitude = static_cast<unsigned long>(nValue);
        if (nValue < 0)
        {
            PutUnit(pOut, static_cast<TChar>('-'));
            nMagnitude = 0 - nMagnitude;
        }
        PutDigits(pOut, nMagnitude, kDecimal);
        return true;
    }
    if (cConversion == 'u' || cConversion == 'x')
    {
        unsigned long nValue = bLong ? va_arg(*pArgs, unsigned long) : va_arg(*pArgs, unsigned int);
        PutDigits(pOut, nValue, cConversion == 'u' ? kDecimal : kHex);
        return true;
    }
    return false;
}

// The cut of _snprintf: at most count units, the terminator only when it fits; the length when
// the text fits exactly or with its terminator, -1 when it was cut.
template <typename TChar>
int FormatBounded(TChar* buffer, size_t count, const TChar* format, va_list argptr)
{
    SOut<TChar> out = {buffer, count, 0};
    va_list args;
    va_copy(args, argptr);
    const TChar* p = format;
    while (*p != 0)
    {
        if (*p != '%')
        {
            PutUnit(&out, *p++);
            continue;
        }
        const TChar* pConversion = p + 1;
        bool bLong = *pConversion == 'l';
        pConversion += bLong ? 1 : 0;
        if (!bLong && *pConversion == '%')
        {
            PutUnit(&out, static_cast<TChar>('%'));
        }
        else if (!bLong && *pConversion == 's')
        {
            PutText(&out, va_arg(args, const TChar*));
        }
        else if (!PutInteger(&out, *pConversion, bLong, &args))
        {
            break;
        }
        p = pConversion + 1;
    }
    for (; *p != 0; ++p)
    {
        PutUnit(&out, *p);
    }
    va_end(args);
    if (out.m_nLen < count)
    {
        buffer[out.m_nLen] = 0;
        return static_cast<int>(out.m_nLen);
    }
    return out.m_nLen == count ? static_cast<int>(out.m_nLen) : -1;
}

} // namespace

int _vsnprintf(char* buffer, size_t count, const char* format, va_list argptr)
{
    return FormatBounded(buffer, count, format, argptr);
}

int _snprintf(char* buffer, size_t count, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    int nRet = _vsnprintf(buffer, count, format, args);
    va_end(args);
    return nRet;
}

int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list argptr)
{
    return FormatBounded(buffer, count, format, argptr);
}

int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...)
{
    va_list args;
    va_start(args, format);
    int nRet = _vsnwprintf(buffer, count, format, args);
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
