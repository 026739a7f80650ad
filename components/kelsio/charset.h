// Charset names of code pages, as an HTTP Content-type names them.
#pragma once

#include "platform.h"

// The charset name of a code page; unknown pages are named "windows-<number>".
const char* KelsioCharsetOfCodePage(UINT nCodePage, char* szBuffer, size_t nSize);
// The code page of a charset name (compared without regard to case), 0 when unknown.
UINT KelsioCodePageOfCharset(const char* szCharset);
