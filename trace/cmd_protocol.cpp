#include "cmd_protocol.h"

#include <stdio.h>

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

// Decimal digits of an ASCII number into a wide buffer of kNumberUnits units.
static void WidenNumber(const char* szNumber, WCHAR* wszNumber)
{
    size_t i = 0;
    for (; szNumber[i] != '\0' && i + 1 < kNumberUnits; i++)
    {
        wszNumber[i] = WCHAR(szNumber[i]);
    }
    wszNumber[i] = 0;
}

CCmdProtocol& CCmdProtocol::AddInt(int nValue)
{
    char szNumber[32];
    snprintf(szNumber, sizeof(szNumber), "%d", nValue);
    WCHAR wszNumber[kNumberUnits];
    WidenNumber(szNumber, wszNumber);
    return AddText(wszNumber, -1);
}

CCmdProtocol& CCmdProtocol::AddUInt(unsigned int uValue)
{
    char szNumber[32];
    snprintf(szNumber, sizeof(szNumber), "%u", uValue);
    WCHAR wszNumber[kNumberUnits];
    WidenNumber(szNumber, wszNumber);
    return AddText(wszNumber, -1);
}

const WCHAR* CCmdProtocol::GetCommand() const
{
    return m_strCommand.c_str();
}
