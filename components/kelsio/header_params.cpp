#include "header_params.h"

#include "text_util.h"

namespace
{

bool IsSpace(char c)
{
    return c == ' ' || c == '\t';
}

void SkipSpaces(const std::string& str, size_t& nPos)
{
    while (nPos < str.size() && IsSpace(str[nPos]))
        ++nPos;
}

// The text up to the first of szStops, without surrounding blanks.
std::string ReadToken(const std::string& str, size_t& nPos, const char* szStops)
{
    SkipSpaces(str, nPos);
    size_t nBegin = nPos;
    while (nPos < str.size() && std::string(szStops).find(str[nPos]) == std::string::npos)
        ++nPos;
    size_t nEnd = nPos;
    while (nEnd > nBegin && IsSpace(str[nEnd - 1]))
        --nEnd;
    return str.substr(nBegin, nEnd - nBegin);
}

} // namespace

bool KelsioParseHeaderValue(const std::string& strText, CHeaderValue& value)
{
    value.strType.clear();
    value.params.clear();
    size_t nPos = 0;
    value.strType = ReadToken(strText, nPos, ";");
    while (nPos < strText.size())
    {
        ++nPos; // the ';'
        SkipSpaces(strText, nPos);
        if (nPos >= strText.size())
            break;
        if (strText[nPos] == ';')
            continue;
        std::string strName = ReadToken(strText, nPos, "=;");
        if (nPos >= strText.size() || strText[nPos] != '=' || strName.empty())
            return false;
        ++nPos; // the '='
        SkipSpaces(strText, nPos);
        std::string strParam;
        if (nPos < strText.size() && strText[nPos] == '"')
        {
            size_t nClose = strText.find('"', nPos + 1);
            if (nClose == std::string::npos)
                return false;
            strParam = strText.substr(nPos + 1, nClose - nPos - 1);
            nPos = nClose + 1;
            SkipSpaces(strText, nPos);
            if (nPos < strText.size() && strText[nPos] != ';')
                return false;
        }
        else
        {
            strParam = ReadToken(strText, nPos, ";");
        }
        value.params.emplace_back(strName, strParam);
    }
    return true;
}

const std::string* KelsioFindParam(const CHeaderValue& value, const char* szName)
{
    for (const auto& param : value.params)
    {
        if (KelsioEqualsNoCase(param.first.c_str(), szName))
            return &param.second;
    }
    return nullptr;
}
