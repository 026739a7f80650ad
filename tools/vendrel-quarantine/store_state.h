// The size cache file ".store" as the program would read it now: its value and its age.
#pragma once

#include <cstdint>
#include <string>

struct SStoreState
{
    // The file could be opened for reading; nOpenError (a Win32 code) says why not.
    bool bPresent = false;
    int nOpenError = 0;
    // All 8 bytes were read.
    bool bComplete = false;
    int64_t nRawValue = 0;
    // The value the program takes from it: the stored total when complete and above 0, else 0.
    int64_t nValue = 0;
    // Seconds since its last write (negative: written in the future).
    bool bHasAge = false;
    int64_t nAgeSeconds = 0;
};

// Reads "<folder><sep>.store" as the program does, waiting briefly for a writer that holds it.
void ReadStoreState(const std::string& strFolder, SStoreState* pState);

// The folder's ".store" path as the program forms it.
std::string StorePath(const std::string& strFolder);
