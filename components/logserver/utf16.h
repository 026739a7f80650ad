// UTF-16 to UTF-8, for records that arrive as UTF-16LE and leave as UTF-8.
#pragma once

#include <string>

// A unit that is half of a surrogate pair without its other half becomes U+FFFD.
std::string Utf16ToUtf8(const std::u16string& strUnits);
std::string Utf16ToUtf8(const char16_t* pUnits, size_t nUnits);
