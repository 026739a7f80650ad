// A trace message: "[tag][exe]" and the formatted text, in either character type.
#pragma once

#include "platform.h"

#include <stdarg.h>

// Size of the message buffer, in characters of either width.
#define TRACE_MESSAGE_UNITS 4096

// Fills a TRACE_MESSAGE_UNITS buffer with "[" module tag "][" executable name "]" and the
// formatted text, cut to fit; its last unit is always the terminator. The executable's name in
// that encoding is looked up on its first use.
void FormatTraceMessage(char* szMessage, const char* szFormat, va_list args);
void FormatTraceMessage(WCHAR* wszMessage, const WCHAR* wszFormat, va_list args);
