// The two output forms of the log server: one JSON object a line, or one readable line.
#pragma once

#include "log_record_parse.h"

#include <string>

// Texts are UTF-8; each result ends in a line feed.
std::string FormatRecordJson(const CLogRecord& record);
std::string FormatErrorJson(const std::string& strError, const std::string& strRaw);
std::string FormatRecordText(const CLogRecord& record);
std::string FormatErrorText(const std::string& strError, const std::string& strRaw);

// A JSON string literal, quotes included.
std::string JsonQuote(const std::string& strText);
// strText with every control character written as an escape (\t, \n, \r, \xNN), so that a
// record stays on one line.
std::string EscapeControls(const std::string& strText);
