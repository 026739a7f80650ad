// Outlining server.ini and judging the numbers in it.
#include "settings_check.h"

#include <cerrno>
#include <climits>
#include <cstdio>

static bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

static std::string Trim(const std::string& str, size_t nBegin, size_t nEnd)
{
    while (nBegin < nEnd && IsBlank(str[nBegin]))
    {
        ++nBegin;
    }
    while (nEnd > nBegin && IsBlank(str[nEnd - 1]))
    {
        --nEnd;
    }
    return str.substr(nBegin, nEnd - nBegin);
}

static char LowerAscii(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsNoCase(const std::string& a, const char* b)
{
    size_t i = 0;
    for (; i < a.size() && b[i] != '\0'; ++i)
    {
        if (LowerAscii(a[i]) != LowerAscii(b[i]))
        {
            return false;
        }
    }
    return i == a.size() && b[i] == '\0';
}

void OutlineSettings(const std::string& strPath, SSettingsOutline* pOutline)
{
    *pOutline = SSettingsOutline();
    FILE* pFile = fopen(strPath.c_str(), "rb");
    if (pFile == nullptr)
    {
        pOutline->nOpenError = errno;
        return;
    }
    pOutline->bReadable = true;
    std::string strData;
    char abChunk[4096];
    size_t nGot = 0;
    while ((nGot = fread(abChunk, 1, sizeof(abChunk), pFile)) > 0)
    {
        strData.append(abChunk, nGot);
    }
    fclose(pFile);

    bool bInSection = false;
    int nLine = 0;
    size_t nPos = 0;
    while (nPos < strData.size())
    {
        size_t nEnd = strData.find('\n', nPos);
        if (nEnd == std::string::npos)
        {
            nEnd = strData.size();
        }
        std::string strLine = strData.substr(nPos, nEnd - nPos);
        nPos = nEnd + 1;
        ++nLine;
        if (nLine == 1 && strLine.compare(0, 3, "\xEF\xBB\xBF") == 0)
        {
            strLine.erase(0, 3);
        }
        std::string strTrimmed = Trim(strLine, 0, strLine.size());
        if (strTrimmed.empty() || strTrimmed[0] == ';' || strTrimmed[0] == '#')
        {
            continue;
        }
        if (strTrimmed[0] == '[')
        {
            size_t nClose = strTrimmed.find(']');
            if (nClose == std::string::npos)
            {
                nClose = strTrimmed.size();
            }
            bInSection = EqualsNoCase(Trim(strTrimmed, 1, nClose), QTOOL_SETTINGS_SECTION);
            pOutline->bSectionFound = pOutline->bSectionFound || bInSection;
            continue;
        }
        if (!bInSection)
        {
            continue;
        }
        size_t nEquals = strTrimmed.find('=');
        std::string strName =
            nEquals == std::string::npos ? std::string() : Trim(strTrimmed, 0, nEquals);
        if (strName.empty())
        {
            pOutline->strayLines.push_back(nLine);
            continue;
        }
        SSettingsKey key;
        key.strName = strName;
        key.nLine = nLine;
        pOutline->keys.push_back(key);
    }
}

EIntegerText JudgeIntegerText(const std::string& strText, int64_t* pnValue)
{
    size_t nPos = 0;
    bool bNegative = false;
    if (nPos < strText.size() && (strText[nPos] == '+' || strText[nPos] == '-'))
    {
        bNegative = strText[nPos++] == '-';
    }
    int64_t nValue = 0;
    size_t nDigits = 0;
    for (; nPos < strText.size() && strText[nPos] >= '0' && strText[nPos] <= '9'; ++nPos)
    {
        ++nDigits;
        // Held just past 32 bits: enough to tell out of range, never enough to overflow.
        if (nValue <= static_cast<int64_t>(INT_MAX) + 1)
        {
            nValue = nValue * 10 + (strText[nPos] - '0');
        }
    }
    if (nDigits == 0)
    {
        return kIntegerNoDigits;
    }
    if (bNegative)
    {
        nValue = -nValue;
    }
    if (nValue > INT_MAX || nValue < INT_MIN)
    {
        *pnValue = nValue > INT_MAX ? INT_MAX : INT_MIN;
        return kIntegerOutOfRange;
    }
    *pnValue = nValue;
    return nPos == strText.size() ? kIntegerValid : kIntegerTrailing;
}
