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
    // A record of up to this many units (with its terminator) is built in place.
    static const size_t kInlineUnits = 1024;

    void Append(const WCHAR* wszText, size_t nUnits);

    WCHAR m_wszInline[kInlineUnits];
    size_t m_nInline;
    // The whole command once it outgrows the inline room.
    CWideString m_strCommand;
    bool m_bOutgrown;
    bool m_bFirst;
};
