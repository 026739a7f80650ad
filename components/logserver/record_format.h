// The two output forms of the log server: one JSON object a line, or one readable line.
#pragma once

#include "log_record_parse.h"

#include <string>

// Texts are UTF-8; each result ends in a line feed.
std::string FormatRecordJson(const CLogRecord& record);
std::string FormatErrorJson(const std::string& strError, const std::string& strRaw);
std::string FormatRecordText(const CLogRecord& record);
std::string FormatErrorText(const std::string& strError, const std::string& strRaw);

// A JSON string literal, quotes included. Besides what JSON requires, the C1 controls and
// U+2028/U+2029 are written as \uXXXX, so that the file is safe to show on a terminal.
std::string JsonQuote(const std::string& strText);
// strText (UTF-8) with every control character written as an escape (\t, \n, \r, \xNN for
// C0 and DEL, \uXXXX for C1 and U+2028/U+2029), so that a record stays on one line and cannot
// drive the terminal that shows it.
std::string EscapeControls(const std::string& strText);
