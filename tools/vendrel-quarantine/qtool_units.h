// The command's quantities as an operator writes and reads them: ages (90d, 12h, 30m), sizes
// (bytes, or K, M, G, T in powers of 1024), filing times in ISO 8601, and whole numbers.
#pragma once

#include <cstdint>
#include <string>

// AGE: decimal digits and an optional unit d, h or m (days, hours, minutes); a bare number is
// days. Fills *pnSeconds; false for anything else, also for a value whose seconds overflow.
bool ParseAge(const char* szText, int64_t* pnSeconds);
// SIZE: decimal digits and an optional unit K, M, G or T (either case), powers of 1024. False
// for anything else, also for a value beyond 64 bits.
bool ParseSize(const char* szText, uint64_t* pnBytes);

// Seconds since 1970 as "YYYY-MM-DDTHH:MM:SSZ" (UTC), for times from 0 to 9999-12-31T23:59:59Z.
static const size_t kIsoTimeChars = 20;
std::string FormatIsoTime(int64_t nSeconds);

std::string FormatUnsigned(uint64_t nValue);
std::string FormatSigned(int64_t nValue);
// A signed difference with its sign always shown: "+8", "-4096", "0".
std::string FormatDelta(int64_t nValue);
// Bytes for a reader: "512 B", "4.0 KiB", "10.0 GiB" (one decimal, cut, not rounded).
std::string FormatBytesHuman(uint64_t nBytes);
// nPart / nWhole as a percentage with two decimals ("12.34%"); empty when nWhole <= 0.
std::string FormatPercent(int64_t nPart, int64_t nWhole);
// A duration for a reader: "45 s", "12 min", "3 h 5 min", "2 d 4 h".
std::string FormatDuration(int64_t nSeconds);
