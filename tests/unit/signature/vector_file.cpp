#include "vector_file.h"

#include "test_files.h"

#include <gtest/gtest.h>

namespace
{

const char kVectorDirectory[] = "vectors";

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::vector<std::string> SplitTabs(const std::string& strLine)
{
    std::vector<std::string> fields;
    size_t nStart = 0;
    for (;;)
    {
        size_t nTab = strLine.find('\t', nStart);
        fields.push_back(strLine.substr(nStart, nTab - nStart));
        if (nTab == std::string::npos)
            return fields;
        nStart = nTab + 1;
    }
}

} // namespace

bool ReadVectorRows(const char* szName, size_t nFields, std::vector<CVectorRow>* pRows)
{
    const std::string strPath = std::string(kVectorDirectory) + VENDREL_DIR_SEP_STR + szName;
    if (!PathExists(strPath))
    {
        ADD_FAILURE() << strPath << " is missing: the build copies it from the shared vectors "
                      << "when it is configured";
        return false;
    }
    const std::string strText = ReadWholeFile(strPath);
    pRows->clear();
    int nLine = 0;
    size_t nStart = 0;
    while (nStart < strText.size())
    {
        size_t nEnd = strText.find('\n', nStart);
        if (nEnd == std::string::npos)
            nEnd = strText.size();
        std::string strLine = strText.substr(nStart, nEnd - nStart);
        nStart = nEnd + 1;
        ++nLine;
        if (!strLine.empty() && strLine.back() == '\r')
            strLine.pop_back();
        if (strLine.empty() || strLine[0] == '#')
            continue;
        CVectorRow row = {nLine, SplitTabs(strLine)};
        if (row.fields.size() != nFields)
        {
            ADD_FAILURE() << strPath << " line " << nLine << ": " << row.fields.size()
                          << " fields, not " << nFields;
            return false;
        }
        pRows->push_back(row);
    }
    if (pRows->empty())
    {
        ADD_FAILURE() << strPath << " holds no rows";
        return false;
    }
    return true;
}

bool DecodeHex(const std::string& strHex, std::string* pBytes)
{
    if (strHex.size() % 2 != 0)
        return false;
    pBytes->clear();
    for (size_t i = 0; i < strHex.size(); i += 2)
    {
        int nHigh = HexValue(strHex[i]);
        int nLow = HexValue(strHex[i + 1]);
        if (nHigh < 0 || nLow < 0)
            return false;
        pBytes->push_back(static_cast<char>(nHigh * 16 + nLow));
    }
    return true;
}
