// The pieces of the size cache file ".store" that reading it, judging its age and updating it
// under a hold share: opening it with a bounded wait, its 8-byte value, its age on an open handle,
// and the flat listing that stands in for it. Internal to the quarantine store.
#pragma once

#include "platform.h"

#include <cstdint>

// The source lines of the size cache traces that more than one routine writes; log readers
// know them by these.
enum
{
    kLineStoreOutOfDate = 471,
    kLineStoreOpenFailed = 486,
    kLineStoreWriteFailed = 543,
};

// "<folder><sep><name>" cut to fit a MAX_PATH buffer with its terminator.
void FormatFolderPath(char* szOut, const char* szFolder, const char* szName);

// CreateFileA on the cache file, tried again a few milliseconds apart (about 50 ms in all) while
// another process holds it; *pbWaited tells whether it had to wait. Other failures answer at once.
HANDLE OpenStore(const char* szPath, DWORD dwAccess, DWORD dwShare, DWORD dwDisposition,
                 DWORD dwFlagsAndAttributes, bool* pbWaited = nullptr);

// The cache file opened for reading and writing with no sharing, so that the total it holds can
// be read and replaced while no other process reads or writes it; *pnFileBytes is its length.
// Never a link (not followed), a directory or a device: those fail with ERROR_ACCESS_DENIED.
// Waits as OpenStore does.
HANDLE HoldStore(const char* szPath, uint64_t* pnFileBytes);

// The value at the handle's file pointer: counts only when all 8 bytes were read and it is
// above 0, else 0.
int64_t ReadCachedSize(HANDLE hFile);

// Writes the 8 little-endian bytes of nSize at offset 0 of a held file of nFileBytes: in place,
// so the file is never seen empty or short, and a longer file is cut to those 8 bytes
// afterwards. False when the 8 bytes did not go through whole.
bool WriteHeldSize(HANDLE hFile, uint64_t nFileBytes, int64_t nSize);

// The 8 little-endian bytes of nSize.
void EncodeSize(int64_t nSize, BYTE* pbOut);

// What an age test of ".store" found. It is traced only once the file is let go, so that
// another process waits for no trace record and no settings read.
struct SStoreAge
{
    enum EResult
    {
        kOpenFailed,
        kTimeFailed,
        kMeasured
    } eResult;
    DWORD dwError;
    uint64_t nElapsedSeconds;
    bool bOutOfDate;
};

// Quarantine_Folder_Cache_Life in minutes; zero or negative means 20.
int ReadCacheLifeMinutes();

// The age test of an open file against ftNow: older than the cache life, or its last-write time
// cannot be read. Traces nothing.
void JudgeOpenFileAge(HANDLE hFile, const FILETIME& ftNow, int nLifeMinutes, SStoreAge* pAge);

// The age test of IsFileOutOfDate against a cache life: "now" first, then an open of its own
// (waiting out a writer, after which "now" is taken again) and the last-write time. Traces
// nothing.
void JudgeFileAge(const char* szPath, int nLifeMinutes, SStoreAge* pAge);

// Traces what an age test found, as IsFileOutOfDate does: the open failure (426), the
// GetFileTime failure (417) or the age (404).
void TraceStoreAge(const char* szPath, const SStoreAge& age);

// One flat pass over the listing of szPattern: every entry adds the size it reports. A listing
// that cannot start is traced and totals 0.
int64_t ScanFolder(const char* szPattern);

// nFolderSize + nUpload, stopping at the ends of the signed 64-bit range instead of wrapping.
int64_t AddFolderSizes(int64_t nFolderSize, int64_t nUpload);
