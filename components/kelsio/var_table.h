// The request variables as they are decoded, and the array that cgiGetVars hands out.
#pragma once

#include <string>
#include <vector>

class CVarTable
{
public:
    // False when the table is full or a text holds a NUL byte or is too long.
    bool Add(const std::string& strName, const std::string& strValue);
    size_t Count() const { return m_vars.size() / 2; }
    // One allocation: the NULL-terminated pointer array followed by the texts. Null when the
    // allocation fails. Free it with cgiFreeVars.
    char** BuildArray() const;

private:
    std::vector<std::string> m_vars;
};

// True when a decoded text may become a variable's name or value.
bool KelsioIsAcceptableText(const std::string& strText);
