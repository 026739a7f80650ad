// What a log client puts on the pipe for ASCII text: UTF-16LE units, with the record's NUL unit
// when bNul.
#pragma once

#include <string>

inline std::string WireBytes(const std::string& strText, bool bNul)
{
    std::string strOut;
    for (char c : strText)
    {
        strOut.push_back(c);
        strOut.push_back('\0');
    }
    if (bNul)
    {
        strOut.append(2, '\0');
    }
    return strOut;
}
