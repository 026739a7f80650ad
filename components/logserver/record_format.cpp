#include "record_format.h"

#include <cstdio>

static void AppendHexByte(std::string* pOut, const char* szForm, unsigned int uValue)
{
    char szHex[16];
    snprintf(szHex, sizeof(szHex), szForm, uValue);
    pOut->append(szHex);
}

// The UTF-8 sequence at strText[i] when it encodes a character that moves the cursor or drives a
// terminal although it is no byte below 0x20: a C1 control U+0080-U+009F (U+009B starts a
// terminal command, U+0085 ends a line) or the separators U+2028 and U+2029, which many
// viewers show as a line break. Answers the code point and the length of its sequence, or 0.
static size_t WideControlAt(const std::string& strText, size_t i, unsigned int* puCodePoint)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(strText.data()) + i;
    size_t nLeft = strText.size() - i;
    if (nLeft >= 2 && p[0] == 0xC2 && p[1] >= 0x80 && p[1] <= 0x9F)
    {
        *puCodePoint = p[1];
        return 2;
    }
    if (nLeft >= 3 && p[0] == 0xE2 && p[1] == 0x80 && (p[2] == 0xA8 || p[2] == 0xA9))
    {
        *puCodePoint = 0x2000u + p[2] - 0x80u;
        return 3;
    }
    return 0;
}

std::string JsonQuote(const std::string& strText)
{
    std::string strOut = "\"";
    for (size_t i = 0; i < strText.size(); i++)
    {
        unsigned char c = static_cast<unsigned char>(strText[i]);
        unsigned int uCodePoint = 0;
        size_t nWide = WideControlAt(strText, i, &uCodePoint);
        if (nWide != 0)
        {
            // The same string to every JSON reader, and no line break or terminal command to
            // whoever looks at the file.
            AppendHexByte(&strOut, "\\u%04x", uCodePoint);
            i += nWide - 1;
            continue;
        }
        switch (c)
        {
        case '"':
            strOut += "\\\"";
            break;
        case '\\':
            strOut += "\\\\";
            break;
        case '\b':
            strOut += "\\b";
            break;
        case '\f':
            strOut += "\\f";
            break;
        case '\n':
            strOut += "\\n";
            break;
        case '\r':
            strOut += "\\r";
            break;
        case '\t':
            strOut += "\\t";
            break;
        default:
            if (c < 0x20 || c == 0x7F)
            {
                AppendHexByte(&strOut, "\\u%04x", c);
            }
            else
            {
                strOut.push_back(char(c));
            }
        }
    }
    strOut += "\"";
    return strOut;
}

std::string EscapeControls(const std::string& strText)
{
    std::string strOut;
    for (size_t i = 0; i < strText.size(); i++)
    {
        unsigned char c = static_cast<unsigned char>(strText[i]);
        unsigned int uCodePoint = 0;
        size_t nWide = WideControlAt(strText, i, &uCodePoint);
        if (nWide != 0)
        {
            AppendHexByte(&strOut, "\\u%04x", uCodePoint);
            i += nWide - 1;
        }
        else if (c == '\t')
        {
            strOut += "\\t";
        }
        else if (c == '\n')
        {
            strOut += "\\n";
        }
        else if (c == '\r')
        {
            strOut += "\\r";
        }
        else if (c < 0x20 || c == 0x7F)
        {
            AppendHexByte(&strOut, "\\x%02x", c);
        }
        else
        {
            strOut.push_back(char(c));
        }
    }
    return strOut;
}

std::string FormatRecordJson(const CLogRecord& record)
{
    std::string strOut = "{\"command\": " + JsonQuote(record.strCommand);
    strOut += ", \"time\": " + std::to_string(record.nTime);
    strOut += ", \"pid\": " + std::to_string(record.dwProcessId);
    strOut += ", \"tid\": " + std::to_string(record.dwThreadId);
    strOut += ", \"level\": " + std::to_string(record.nLevel);
    strOut += ", \"source\": " + JsonQuote(record.strSource);
    strOut += ", \"line\": " + std::to_string(record.nLine);
    strOut += ", \"message\": " + JsonQuote(record.strMessage) + "}\n";
    return strOut;
}

std::string FormatErrorJson(const std::string& strError, const std::string& strRaw)
{
    return "{\"error\": " + JsonQuote(strError) + ", \"raw\": " + JsonQuote(strRaw) + "}\n";
}

// Civil date of a count of days since 1970-01-01 (proleptic Gregorian).
static void CivilFromDays(long long llDays, long long* pllYear, unsigned* puMonth, unsigned* puDay)
{
    llDays += 719468;
    long long llEra = (llDays >= 0 ? llDays : llDays - 146096) / 146097;
    unsigned uDayOfEra = unsigned(llDays - llEra * 146097);
    unsigned uYearOfEra =
        (uDayOfEra - uDayOfEra / 1460 + uDayOfEra / 36524 - uDayOfEra / 146096) / 365;
    unsigned uDayOfYear = uDayOfEra - (365 * uYearOfEra + uYearOfEra / 4 - uYearOfEra / 100);
    unsigned uMonthIndex = (5 * uDayOfYear + 2) / 153;
    *puDay = uDayOfYear - (153 * uMonthIndex + 2) / 5 + 1;
    *puMonth = uMonthIndex < 10 ? uMonthIndex + 3 : uMonthIndex - 9;
    *pllYear = (long long)uYearOfEra + llEra * 400 + (*puMonth <= 2 ? 1 : 0);
}

static std::string FormatUtcTime(int32_t nTime)
{
    long long llTime = nTime;
    long long llDays = (llTime >= 0 ? llTime : llTime - 86399) / 86400;
    long long llSecondOfDay = llTime - llDays * 86400;
    long long llYear = 0;
    unsigned uMonth = 0;
    unsigned uDay = 0;
    CivilFromDays(llDays, &llYear, &uMonth, &uDay);
    char szTime[64];
    snprintf(szTime, sizeof(szTime), "%04lld-%02u-%02uT%02lld:%02lld:%02lldZ", llYear, uMonth, uDay,
             llSecondOfDay / 3600, llSecondOfDay / 60 % 60, llSecondOfDay % 60);
    return szTime;
}

std::string FormatRecordText(const CLogRecord& record)
{
    std::string strOut = FormatUtcTime(record.nTime);
    strOut += " " + EscapeControls(record.strCommand);
    strOut += " pid=" + std::to_string(record.dwProcessId);
    strOut += " tid=" + std::to_string(record.dwThreadId);
    strOut += " level=" + std::to_string(record.nLevel);
    strOut += " " + EscapeControls(record.strSource) + ":" + std::to_string(record.nLine);
    strOut += " " + EscapeControls(record.strMessage) + "\n";
    return strOut;
}

std::string FormatErrorText(const std::string& strError, const std::string& strRaw)
{
    return "error: " + EscapeControls(strError) + " raw: " + EscapeControls(strRaw) + "\n";
}
