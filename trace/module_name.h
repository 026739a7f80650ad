// The running executable's file name, without its directory.
#pragma once

#include "platform.h"

// Fills szName (MAX_PATH bytes) with the file name; empty text when no path can be had.
void getModuleBaseName(char* szName);
// The same, converted from the ANSI code page into wszName (MAX_PATH units).
void getModuleBaseNameW(WCHAR* wszName);
