#include "cmd_protocol.h"

// A record of up to this many units is built without reallocation.
static const size_t kReservedUnits = 1024;
static const size_t kNumberUnits = 256;

CCmdProtocol::CCmdProtocol() : m_strSeparator(1, WCHAR(0x09)), m_bFirst(true)
{
    m_strCommand.reserve(kReservedUnits);
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

CCmdProtocol& CCmdProtocol::AddText(const WCHAR* wszText, int nLength)
{
    size_t nUnits = 0;
    if (wszText != NULL)
    {
        nUnits = nLength < 0 ? WideLength(wszText) : size_t(nLength);
    }
    size_t nRoom = m_strCommand.capacity() - m_strCommand.size();
    if (nRoom < m_strSeparator.size() + nUnits)
    {
        // Doubling alone may still be short for a long field; append() grows the rest.
        m_strCommand.reserve(m_strCommand.capacity() * 2);
    }
    if (m_bFirst)
    {
        m_bFirst = false;
    }
    else
    {
        m_strCommand.append(m_strSeparator);
    }
    if (wszText != NULL)
    {
        m_strCommand.append(wszText, nUnits);
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
    return m_strCommand.c_str();
}
