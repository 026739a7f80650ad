#include "var_table.h"

#include "kelsio_request.h"

#include <cstdlib>
#include <cstring>

bool KelsioIsAcceptableText(const std::string& strText)
{
    return strText.size() <= KELSIO_MAX_TEXT_BYTES && strText.find('\0') == std::string::npos;
}

bool CVarTable::Add(const std::string& strName, const std::string& strValue)
{
    if (Count() >= KELSIO_MAX_VARIABLES || !KelsioIsAcceptableText(strName) ||
        !KelsioIsAcceptableText(strValue))
        return false;
    m_vars.push_back(strName);
    m_vars.push_back(strValue);
    return true;
}

char** CVarTable::BuildArray() const
{
    size_t nPointers = m_vars.size() + 1;
    size_t nBytes = nPointers * sizeof(char*);
    for (const std::string& strText : m_vars)
        nBytes += strText.size() + 1;

    char** ppVars = static_cast<char**>(malloc(nBytes));
    if (ppVars == nullptr)
        return nullptr;
    char* pText = reinterpret_cast<char*>(ppVars + nPointers);
    for (size_t i = 0; i < m_vars.size(); ++i)
    {
        ppVars[i] = pText;
        memcpy(pText, m_vars[i].c_str(), m_vars[i].size() + 1);
        pText += m_vars[i].size() + 1;
    }
    ppVars[m_vars.size()] = nullptr;
    return ppVars;
}
