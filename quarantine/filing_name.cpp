// Reading a quarantined file's name back into its computer name, filing time and number.
#include "filing_name.h"

#include <cstring>

// n is formatted from a signed 32-bit counter.
static const uint64_t kMaxFilingNumber = 2147483647u;

// Reads the decimal number in [pBegin, pEnd): digits only, no leading zero (filing writes none),
// at most nMax. False for anything else, also for an empty range.
static bool ReadDecimal(const char* pBegin, const char* pEnd, uint64_t nMax, uint64_t* pnValue)
{
    if (pBegin == pEnd || (*pBegin == '0' && pEnd - pBegin > 1))
    {
        return false;
    }
    uint64_t nValue = 0;
    for (const char* p = pBegin; p != pEnd; ++p)
    {
        if (*p < '0' || *p > '9')
        {
            return false;
        }
        nValue = nValue * 10 + static_cast<uint64_t>(*p - '0');
        // Checked at every digit: a long run of digits never wraps past the bound.
        if (nValue > nMax)
        {
            return false;
        }
    }
    *pnValue = nValue;
    return true;
}

bool ParseFilingName(const char* szName, SFilingName* pName)
{
    if (szName == nullptr)
    {
        return false;
    }
    const char* pUnderscore = strrchr(szName, '_');
    if (pUnderscore == nullptr)
    {
        return false;
    }
    const char* pTime = pUnderscore + 1;
    const char* pDot = strchr(pTime, '.');
    if (pDot == nullptr)
    {
        return false;
    }
    const char* pEnd = pDot + 1 + strlen(pDot + 1);
    uint64_t nSeconds = 0;
    uint64_t nNumber = 0;
    if (!ReadDecimal(pTime, pDot, static_cast<uint64_t>(kMaxFilingSeconds), &nSeconds) ||
        !ReadDecimal(pDot + 1, pEnd, kMaxFilingNumber, &nNumber))
    {
        return false;
    }
    if (pName != nullptr)
    {
        pName->nComputerLength = static_cast<size_t>(pUnderscore - szName);
        pName->nSeconds = static_cast<int64_t>(nSeconds);
        pName->nNumber = static_cast<uint32_t>(nNumber);
    }
    return true;
}
