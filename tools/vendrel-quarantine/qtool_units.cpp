// Parsing ages and sizes, and formatting times and numbers, without the C runtime's printf:
// the two builds' runtimes differ in how they print 64-bit numbers.
#include "qtool_units.h"

#include <cstring>

static const int64_t kSecondsPerMinute = 60;
static const int64_t kSecondsPerHour = 3600;
static const int64_t kSecondsPerDay = 86400;
static const uint64_t kKibi = 1024;

// Leading decimal digits of szText into *pnValue, at most nMax; answers where they end, or null
// when there are none or the value passes nMax.
static const char* ReadDigits(const char* szText, uint64_t nMax, uint64_t* pnValue)
{
    uint64_t nValue = 0;
    const char* p = szText;
    for (; *p >= '0' && *p <= '9'; ++p)
    {
        uint64_t nDigit = static_cast<uint64_t>(*p - '0');
        if (nValue > (nMax - nDigit) / 10)
        {
            return nullptr;
        }
        nValue = nValue * 10 + nDigit;
    }
    if (p == szText)
    {
        return nullptr;
    }
    *pnValue = nValue;
    return p;
}

bool ParseAge(const char* szText, int64_t* pnSeconds)
{
    if (szText == nullptr)
    {
        return false;
    }
    uint64_t nValue = 0;
    const char* pUnit = ReadDigits(szText, static_cast<uint64_t>(INT64_MAX), &nValue);
    if (pUnit == nullptr)
    {
        return false;
    }
    int64_t nUnit = 0;
    // Lower case only: "M" would read as months to some, "m" is minutes here.
    if (pUnit[0] == '\0' || strcmp(pUnit, "d") == 0)
    {
        nUnit = kSecondsPerDay;
    }
    else if (strcmp(pUnit, "h") == 0)
    {
        nUnit = kSecondsPerHour;
    }
    else if (strcmp(pUnit, "m") == 0)
    {
        nUnit = kSecondsPerMinute;
    }
    else
    {
        return false;
    }
    if (nValue > static_cast<uint64_t>(INT64_MAX / nUnit))
    {
        return false;
    }
    *pnSeconds = static_cast<int64_t>(nValue) * nUnit;
    return true;
}

bool ParseSize(const char* szText, uint64_t* pnBytes)
{
    if (szText == nullptr)
    {
        return false;
    }
    uint64_t nValue = 0;
    const char* pUnit = ReadDigits(szText, UINT64_MAX, &nValue);
    if (pUnit == nullptr)
    {
        return false;
    }
    static const char kUnits[] = "KMGT";
    int nPower = 0;
    if (pUnit[0] != '\0')
    {
        char cUnit =
            pUnit[0] >= 'a' && pUnit[0] <= 'z' ? static_cast<char>(pUnit[0] - 'a' + 'A') : pUnit[0];
        const char* pFound = strchr(kUnits, cUnit);
        if (pFound == nullptr || cUnit == '\0' || pUnit[1] != '\0')
        {
            return false;
        }
        nPower = static_cast<int>(pFound - kUnits) + 1;
    }
    for (int i = 0; i < nPower; ++i)
    {
        if (nValue > UINT64_MAX / kKibi)
        {
            return false;
        }
        nValue *= kKibi;
    }
    *pnBytes = nValue;
    return true;
}

// Days since 1970-01-01 to a civil date (proleptic Gregorian), for days >= 0.
static void CivilFromDays(int64_t nDays, int64_t* pnYear, unsigned* pnMonth, unsigned* pnDay)
{
    nDays += 719468;
    const int64_t nEra = nDays / 146097;
    const unsigned nDayOfEra = static_cast<unsigned>(nDays - nEra * 146097);
    const unsigned nYearOfEra =
        (nDayOfEra - nDayOfEra / 1460 + nDayOfEra / 36524 - nDayOfEra / 146096) / 365;
    const unsigned nDayOfYear = nDayOfEra - (365 * nYearOfEra + nYearOfEra / 4 - nYearOfEra / 100);
    const unsigned nShiftedMonth = (5 * nDayOfYear + 2) / 153;
    *pnDay = nDayOfYear - (153 * nShiftedMonth + 2) / 5 + 1;
    *pnMonth = nShiftedMonth < 10 ? nShiftedMonth + 3 : nShiftedMonth - 9;
    *pnYear = static_cast<int64_t>(nYearOfEra) + nEra * 400 + (*pnMonth <= 2 ? 1 : 0);
}

static void PutDigits(char* pOut, uint64_t nValue, int nWidth)
{
    for (int i = nWidth - 1; i >= 0; --i)
    {
        pOut[i] = static_cast<char>('0' + nValue % 10);
        nValue /= 10;
    }
}

std::string FormatIsoTime(int64_t nSeconds)
{
    if (nSeconds < 0)
    {
        nSeconds = 0;
    }
    int64_t nDays = nSeconds / kSecondsPerDay;
    int64_t nInDay = nSeconds % kSecondsPerDay;
    int64_t nYear = 0;
    unsigned nMonth = 0;
    unsigned nDay = 0;
    CivilFromDays(nDays, &nYear, &nMonth, &nDay);
    char szOut[kIsoTimeChars + 1] = "0000-00-00T00:00:00Z";
    PutDigits(szOut, static_cast<uint64_t>(nYear), 4);
    PutDigits(szOut + 5, nMonth, 2);
    PutDigits(szOut + 8, nDay, 2);
    PutDigits(szOut + 11, static_cast<uint64_t>(nInDay / kSecondsPerHour), 2);
    PutDigits(szOut + 14, static_cast<uint64_t>(nInDay % kSecondsPerHour / kSecondsPerMinute), 2);
    PutDigits(szOut + 17, static_cast<uint64_t>(nInDay % kSecondsPerMinute), 2);
    return std::string(szOut, kIsoTimeChars);
}

std::string FormatUnsigned(uint64_t nValue)
{
    char szDigits[24];
    size_t nPos = sizeof(szDigits);
    do
    {
        szDigits[--nPos] = static_cast<char>('0' + nValue % 10);
        nValue /= 10;
    } while (nValue != 0);
    return std::string(szDigits + nPos, sizeof(szDigits) - nPos);
}

// The magnitude of a signed value, INT64_MIN included.
static uint64_t Magnitude(int64_t nValue)
{
    return nValue < 0 ? 0 - static_cast<uint64_t>(nValue) : static_cast<uint64_t>(nValue);
}

std::string FormatSigned(int64_t nValue)
{
    return (nValue < 0 ? "-" : "") + FormatUnsigned(Magnitude(nValue));
}

std::string FormatDelta(int64_t nValue)
{
    if (nValue == 0)
    {
        return "0";
    }
    return (nValue < 0 ? "-" : "+") + FormatUnsigned(Magnitude(nValue));
}

std::string FormatBytesHuman(uint64_t nBytes)
{
    static const char* const kNames[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (nBytes < kKibi)
    {
        return FormatUnsigned(nBytes) + " B";
    }
    int nUnit = 0;
    uint64_t nDivisor = kKibi;
    while (nUnit < 5 && nBytes / nDivisor >= kKibi)
    {
        nDivisor *= kKibi;
        ++nUnit;
    }
    uint64_t nWhole = nBytes / nDivisor;
    // The remainder is below the divisor, at most 2^60: ten times it still fits.
    uint64_t nTenths = (nBytes % nDivisor) * 10 / nDivisor;
    return FormatUnsigned(nWhole) + "." + FormatUnsigned(nTenths) + " " + kNames[nUnit];
}

std::string FormatPercent(int64_t nPart, int64_t nWhole)
{
    if (nWhole <= 0)
    {
        return std::string();
    }
    // In long double: part and whole may each be near 2^63.
    long double dHundredths = static_cast<long double>(nPart) * 10000.0L / nWhole;
    int64_t nHundredths = static_cast<int64_t>(dHundredths + (dHundredths < 0 ? -0.5L : 0.5L));
    std::string strSign = nHundredths < 0 ? "-" : "";
    uint64_t nAbs = Magnitude(nHundredths);
    std::string strFraction = FormatUnsigned(nAbs % 100);
    if (strFraction.size() < 2)
    {
        strFraction = "0" + strFraction;
    }
    return strSign + FormatUnsigned(nAbs / 100) + "." + strFraction + "%";
}

std::string FormatDuration(int64_t nSeconds)
{
    if (nSeconds < 0)
    {
        return "-" + FormatDuration(nSeconds == INT64_MIN ? INT64_MAX : -nSeconds);
    }
    if (nSeconds < kSecondsPerMinute)
    {
        return FormatSigned(nSeconds) + " s";
    }
    if (nSeconds < kSecondsPerHour)
    {
        return FormatSigned(nSeconds / kSecondsPerMinute) + " min";
    }
    if (nSeconds < kSecondsPerDay)
    {
        return FormatSigned(nSeconds / kSecondsPerHour) + " h " +
               FormatSigned(nSeconds % kSecondsPerHour / kSecondsPerMinute) + " min";
    }
    return FormatSigned(nSeconds / kSecondsPerDay) + " d " +
           FormatSigned(nSeconds % kSecondsPerDay / kSecondsPerHour) + " h";
}
