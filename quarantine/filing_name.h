// The names that filing gives quarantined files, "<ComputerName>_<seconds>.<n>", read back: the
// operator's command knows a quarantined file, its computer and its filing time by its name.
#pragma once

#include <cstddef>
#include <cstdint>

// The latest filing time a name may carry: 9999-12-31T23:59:59Z, so that every filing time
// prints as an ISO 8601 date with a four-digit year.
static const int64_t kMaxFilingSeconds = 253402300799LL;

struct SFilingName
{
    // The computer name is the name's first nComputerLength bytes (it may be empty, and it may
    // hold underscores: the last underscore ends it).
    size_t nComputerLength;
    int64_t nSeconds;
    uint32_t nNumber;
};

// Whether szName has the filing form: a computer name, '_', the filing time in seconds and '.'
// and the number n, both in decimal as filing writes them (digits only, no leading zero, the
// time at most kMaxFilingSeconds, n below 2^31). Fills *pName when it has.
bool ParseFilingName(const char* szName, SFilingName* pName);
