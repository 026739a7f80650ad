#include "log_record_parse.h"

#include "utf16.h"

#include <vector>

static const size_t kFieldCount = 8;

static bool ParseDecimal(const std::string& strText, bool bSigned, long long llMin, long long llMax,
                         long long* pllValue)
{
    size_t nPos = 0;
    bool bNegative = false;
    if (bSigned && !strText.empty() && strText[0] == '-')
    {
        bNegative = true;
        nPos = 1;
    }
    if (nPos >= strText.size() || strText.size() - nPos > 10)
    {
        return false;
    }
    long long llValue = 0;
    for (; nPos < strText.size(); nPos++)
    {
        char c = strText[nPos];
        if (c < '0' || c > '9')
        {
            return false;
        }
        llValue = llValue * 10 + (c - '0');
    }
    if (bNegative)
    {
        llValue = -llValue;
    }
    if (llValue < llMin || llValue > llMax)
    {
        return false;
    }
    *pllValue = llValue;
    return true;
}

static bool ParseInt32(const std::string& strText, int32_t* pnValue)
{
    long long llValue = 0;
    if (!ParseDecimal(strText, true, INT32_MIN, INT32_MAX, &llValue))
    {
        return false;
    }
    *pnValue = int32_t(llValue);
    return true;
}

static bool ParseUInt32(const std::string& strText, uint32_t* pdwValue)
{
    long long llValue = 0;
    if (!ParseDecimal(strText, false, 0, UINT32_MAX, &llValue))
    {
        return false;
    }
    *pdwValue = uint32_t(llValue);
    return true;
}

bool ParseLogRecord(const std::u16string& strUnits, CLogRecord* pRecord, std::string* pstrError)
{
    std::vector<std::string> fields;
    size_t nStart = 0;
    while (fields.size() + 1 < kFieldCount)
    {
        size_t nTab = strUnits.find(u'\t', nStart);
        if (nTab == std::u16string::npos)
        {
            break;
        }
        fields.push_back(Utf16ToUtf8(strUnits.data() + nStart, nTab - nStart));
        nStart = nTab + 1;
    }
    fields.push_back(Utf16ToUtf8(strUnits.data() + nStart, strUnits.size() - nStart));
    if (fields.size() != kFieldCount)
    {
        *pstrError = "expected 8 tab-separated fields, found " + std::to_string(fields.size());
        return false;
    }
    pRecord->strCommand = fields[0];
    if (!ParseInt32(fields[1], &pRecord->nTime))
    {
        *pstrError = "time is not a signed 32-bit decimal number";
        return false;
    }
    if (!ParseUInt32(fields[2], &pRecord->dwProcessId))
    {
        *pstrError = "pid is not an unsigned 32-bit decimal number";
        return false;
    }
    if (!ParseUInt32(fields[3], &pRecord->dwThreadId))
    {
        *pstrError = "tid is not an unsigned 32-bit decimal number";
        return false;
    }
    if (!ParseInt32(fields[4], &pRecord->nLevel))
    {
        *pstrError = "level is not a signed 32-bit decimal number";
        return false;
    }
    pRecord->strSource = fields[5];
    if (!ParseInt32(fields[6], &pRecord->nLine))
    {
        *pstrError = "line is not a signed 32-bit decimal number";
        return false;
    }
    pRecord->strMessage = fields[7];
    return true;
}
