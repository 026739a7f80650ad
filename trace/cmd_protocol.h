// One tab-separated command text for the log server, built field by field.
#pragma once

#include "platform.h"

#include <string>

typedef std::basic_string<WCHAR> CWideString;

class CCmdProtocol
{
public:
    CCmdProtocol();
    virtual ~CCmdProtocol();

    // Appends nLength units of wszText (-1: up to its terminator; a null text adds an empty
    // field). No character is escaped: a TAB inside the text goes out as it is.
    CCmdProtocol& AddText(const WCHAR* wszText, int nLength);
    CCmdProtocol& AddInt(int nValue);
    CCmdProtocol& AddUInt(unsigned int uValue);
    const WCHAR* GetCommand() const;

private:
    CWideString m_strSeparator;
    CWideString m_strCommand;
    bool m_bFirst;
};
