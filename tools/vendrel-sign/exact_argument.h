// Whether a command-line argument reached the program exactly as it was given. Windows hands a
// console program its arguments converted to the ANSI code page, and a character that the code
// page lacks becomes '?' or a look-alike ("PC-日本" arrives as "PC-??"): signing that would sign
// a name, or read a file, that nobody gave. POSIX programs get the bytes themselves.
#pragma once

// True when argv[nIndex], szArgument, is the argument as given.
bool IsArgumentExact(int nIndex, const char* szArgument);
