// Header values of the form  type; name=value; name="quoted value"  (Content-Type and
// Content-Disposition).
#pragma once

#include <string>
#include <utility>
#include <vector>

struct CHeaderValue
{
    std::string strType;
    std::vector<std::pair<std::string, std::string>> params;
};

// False when a quoted value is not closed or a parameter has no '='. A quoted value ends at the
// next '"': a backslash is an ordinary byte, as browsers send Windows paths unescaped.
bool KelsioParseHeaderValue(const std::string& strText, CHeaderValue& value);
// The first parameter of that name (compared without regard to case), or null.
const std::string* KelsioFindParam(const CHeaderValue& value, const char* szName);
