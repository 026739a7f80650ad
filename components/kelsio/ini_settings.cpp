// Settings: <home>/server.ini (or a file the caller names), read afresh on every call, with the
// rules of the Windows profile API: [section] and key=value lines, names compared without regard
// to ASCII case, blanks around names and values trimmed, ';' and '#' lines ignored, the first
// occurrence of a key wins.
#include "kelsio.h"

#include "text_util.h"

#include <climits>
#include <cstdio>
#include <string>

namespace
{

const char* const s_szSettingsFile = "server.ini";

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\f' || c == '\v';
}

std::string Trim(const std::string& str, size_t nBegin, size_t nEnd)
{
    while (nBegin < nEnd && IsBlank(str[nBegin]))
        ++nBegin;
    while (nEnd > nBegin && IsBlank(str[nEnd - 1]))
        --nEnd;
    return str.substr(nBegin, nEnd - nBegin);
}

// As the profile API does, one pair of matching quotes around a value is dropped.
void StripQuotes(std::string& strValue)
{
    size_t n = strValue.size();
    if (n >= 2 && (strValue[0] == '"' || strValue[0] == '\'') && strValue[n - 1] == strValue[0])
        strValue = strValue.substr(1, n - 2);
}

// The next line of strData from nPos on, without its '\n'; false at the end of the data. A last
// line without '\n' counts when it is not empty.
bool ReadLine(const std::string& strData, size_t& nPos, std::string& strLine)
{
    if (nPos >= strData.size())
        return false;
    size_t nEnd = strData.find('\n', nPos);
    if (nEnd == std::string::npos)
    {
        strLine.assign(strData, nPos, std::string::npos);
        nPos = strData.size();
        return true;
    }
    strLine.assign(strData, nPos, nEnd - nPos);
    nPos = nEnd + 1;
    return true;
}

// The whole file, read afresh in a few large reads; false when it cannot be opened.
bool ReadWholeFile(const std::string& strPath, std::string& strData)
{
    FILE* pFile = fopen(strPath.c_str(), "rb");
    if (pFile == nullptr)
        return false;
    // Read straight into the chunk below: no stream buffer to allocate, size and fill twice.
    setvbuf(pFile, nullptr, _IONBF, 0);
    char abChunk[4096];
    size_t nGot = 0;
    do
    {
        nGot = fread(abChunk, 1, sizeof(abChunk), pFile);
        strData.append(abChunk, nGot);
        // A short read is the end of the file (or an error): asking again would only repeat it.
    } while (nGot == sizeof(abChunk));
    fclose(pFile);
    return true;
}

bool SettingsPath(const char* szFile, std::string& strPath)
{
    if (szFile != nullptr)
    {
        strPath = szFile;
        return !strPath.empty();
    }
    char szHome[MAX_PATH] = {0};
    getHomeDir(szHome, MAX_PATH);
    strPath = std::string(szHome) + VENDREL_DIR_SEP_STR + s_szSettingsFile;
    return true;
}

// Finds the first key=value line of the section; false when the file, the section or the key is
// absent.
bool FindValue(const char* szFile, const char* szSection, const char* szKey, std::string& strValue)
{
    if (szSection == nullptr || szKey == nullptr)
        return false;
    std::string strPath;
    if (!SettingsPath(szFile, strPath))
        return false;
    std::string strData;
    if (!ReadWholeFile(strPath, strData))
        return false;

    bool bInSection = false;
    bool bFirstLine = true;
    bool bFound = false;
    std::string strLine;
    size_t nPos = 0;
    while (!bFound && ReadLine(strData, nPos, strLine))
    {
        if (bFirstLine && strLine.compare(0, 3, "\xEF\xBB\xBF") == 0)
            strLine.erase(0, 3);
        bFirstLine = false;
        std::string strTrimmed = Trim(strLine, 0, strLine.size());
        if (strTrimmed.empty() || strTrimmed[0] == ';' || strTrimmed[0] == '#')
            continue;
        if (strTrimmed[0] == '[')
        {
            size_t nClose = strTrimmed.find(']');
            if (nClose == std::string::npos)
                nClose = strTrimmed.size();
            bInSection = KelsioEqualsNoCase(Trim(strTrimmed, 1, nClose).c_str(), szSection);
            continue;
        }
        size_t nEquals = strTrimmed.find('=');
        if (!bInSection || nEquals == std::string::npos)
            continue;
        std::string strName = Trim(strTrimmed, 0, nEquals);
        if (!strName.empty() && KelsioEqualsNoCase(strName.c_str(), szKey))
        {
            strValue = Trim(strTrimmed, nEquals + 1, strTrimmed.size());
            StripQuotes(strValue);
            bFound = true;
        }
    }
    return bFound;
}

} // namespace

int getINIint(const char* szSection, const char* szKey, int nDefault, const char* szFile)
{
    std::string strValue;
    if (!FindValue(szFile, szSection, szKey, strValue))
        return nDefault;

    // An optional sign and decimal digits; whatever follows the digits is ignored ("12abc" is
    // 12), no digits give the default, and a number beyond int's range is clamped to it.
    size_t nPos = 0;
    bool bNegative = false;
    if (nPos < strValue.size() && (strValue[nPos] == '+' || strValue[nPos] == '-'))
        bNegative = strValue[nPos++] == '-';
    long long nValue = 0;
    size_t nDigits = 0;
    for (; nPos < strValue.size() && strValue[nPos] >= '0' && strValue[nPos] <= '9'; ++nPos)
    {
        ++nDigits;
        if (nValue <= static_cast<long long>(INT_MAX) + 1)
            nValue = nValue * 10 + (strValue[nPos] - '0');
    }
    if (nDigits == 0)
        return nDefault;
    if (bNegative)
        nValue = -nValue;
    if (nValue > INT_MAX)
        return INT_MAX;
    if (nValue < INT_MIN)
        return INT_MIN;
    return static_cast<int>(nValue);
}

unsigned long getINIString(char* szOut, const char* szSection, const char* szKey,
                           const char* szDefault, unsigned long nSize, const char* szFile)
{
    std::string strValue;
    if (!FindValue(szFile, szSection, szKey, strValue))
        strValue = szDefault != nullptr ? szDefault : "";
    return static_cast<unsigned long>(KelsioCopyCut(szOut, nSize, strValue.c_str()));
}
