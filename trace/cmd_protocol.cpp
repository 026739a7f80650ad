// Building the tab-separated command text for the log server.
#include "cmd_protocol.h"

#include <string.h>

static const size_t kNumberUnits = 256;
static const WCHAR kSeparator = WCHAR(0x09);

CCmdProtocol::CCmdProtocol() : m_nInline(0), m_bOutgrown(false), m_bFirst(true)
{
    m_wszInline[0] = 0;
}

CCmdProtocol::~CCmdProtocol() {}

static size_t WideLength(const WCHAR* wszText)
{
    size_t nLength = 0;
    while (wszText[nLength] != 0)
    {
        nLength++;
    }
    return nLength;
}

void CCmdProtocol::Append(const WCHAR* wszText, size_t nUnits)
{
    if (!m_bOutgrown && nUnits < kInlineUnits - m_nInline)
    {
        memcpy(m_wszInline + m_nInline, wszText, nUnits * sizeof(WCHAR));
        m_nInline += nUnits;
        m_wszInline[m_nInline] = 0;
        return;
    }
    if (!m_bOutgrown)
    {
        // From here on the text lives on the heap, with room for this field and as much again.
        m_strCommand.reserve(2 * kInlineUnits + nUnits);
        m_strCommand.assign(m_wszInline, m_nInline);
        m_bOutgrown = true;
    }
    m_strCommand.append(wszText, nUnits);
}

CCmdProtocol& CCmdProtocol::AddText(const WCHAR* wszText, int nLength)
{
    size_t nUnits = 0;
    if (wszText != NULL)
    {
        nUnits = nLength < 0 ? WideLength(wszText) : size_t(nLength);
    }
    if (m_bFirst)
    {
        m_bFirst = false;
    }
    else
    {
        Append(&kSeparator, 1);
    }
    if (wszText != NULL)
    {
        Append(wszText, nUnits);
    }
    return *this;
}

// The decimal digits of uValue, with a leading '-' when bNegative, as %d and %u write them.
static void FormatDecimal(unsigned int uValue, bool bNegative, WCHAR* wszNumber)
{
    WCHAR wszDigits[kNumberUnits];
    size_t nDigits = 0;
    do
    {
        wszDigits[nDigits++] = WCHAR('0' + uValue % 10u);
        uValue /= 10u;
    } while (uValue != 0);
    size_t nPos = 0;
    if (bNegative)
    {
        wszNumber[nPos++] = WCHAR('-');
    }
    while (nDigits > 0)
    {
        wszNumber[nPos++] = wszDigits[--nDigits];
    }
    wszNumber[nPos] = 0;
}

CCmdProtocol& CCmdProtocol::AddInt(int nValue)
{
    // The magnitude in unsigned arithmetic, so that INT_MIN has one too.
    unsigned int uMagnitude = static_cast<unsigned int>(nValue);
    if (nValue < 0)
    {
        uMagnitude = 0u - uMagnitude;
    }
    WCHAR wszNumber[kNumberUnits];
    FormatDecimal(uMagnitude, nValue < 0, wszNumber);
    return AddText(wszNumber, -1);
}

CCmdProtocol& CCmdProtocol::AddUInt(unsigned int uValue)
{
    WCHAR wszNumber[kNumberUnits];
    FormatDecimal(uValue, false, wszNumber);
    return AddText(wszNumber, -1);
}

const WCHAR* CCmdProtocol::GetCommand() const
{
    return m_bOutgrown ? m_strCommand.c_str() : m_wszInline;
}
