// Reads back what the trace library stand-in was called with.
#pragma once

#include <string>
#include <vector>

// The stand-in's journal, one entry a call, of the library file szLibrary (loaded if needed).
std::vector<std::string> QvJournal(const char* szLibrary = "qvdbg20.dll");
void QvResetJournal(const char* szLibrary = "qvdbg20.dll");
