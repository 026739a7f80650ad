// Splits one LOG_WRITE record into its eight fields.
#pragma once

#include <cstdint>
#include <string>

struct CLogRecord
{
    std::string strCommand; // texts in UTF-8
    int32_t nTime = 0;
    uint32_t dwProcessId = 0;
    uint32_t dwThreadId = 0;
    int32_t nLevel = 0;
    std::string strSource;
    int32_t nLine = 0;
    std::string strMessage;
};

// Fields are separated by single TABs. The first seven carry no TAB, so the message, the last
// field, is everything after the seventh TAB and keeps any TAB of its own. On failure
// pstrError says what is wrong and pRecord is unspecified.
bool ParseLogRecord(const std::u16string& strUnits, CLogRecord* pRecord, std::string* pstrError);
