// Small byte-text helpers shared inside the library.
#pragma once

#include <cstddef>

// ASCII letters compare without regard to case; every other byte compares exactly.
bool KelsioEqualsNoCase(const char* szA, const char* szB);
bool KelsioEqualsNoCaseN(const char* pA, size_t nA, const char* szB);

// Copies szSource into szOut of nSize bytes, cut to nSize - 1 and terminated. Returns the number
// of bytes copied (without the terminator); nothing is written when nSize is 0.
size_t KelsioCopyCut(char* szOut, size_t nSize, const char* szSource);
