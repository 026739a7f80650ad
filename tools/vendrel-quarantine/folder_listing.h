// One listing of the quarantine folder, sorted out: the quarantined files (regular files directly
// in the folder whose names have the filing form), the leftovers of killed writers (regular files
// under hidden temporary names), every other entry, and the folder's total as the program's own
// size scan counts it.
#pragma once

#include "filing_name.h"
#include "folder_dir.h"

#include <cstdint>
#include <string>
#include <vector>

// A leftover younger than this may still be written by a live process.
static const int64_t kLeftoverAgeSeconds = 3600;

struct SQuarantinedFile
{
    SDirEntry entry;
    // The computer name is the name's first nComputerLength bytes.
    size_t nComputerLength = 0;
    int64_t nSeconds = 0;

    std::string Computer() const { return entry.strName.substr(0, nComputerLength); }
};

struct SFolderListing
{
    // Oldest first, then by name.
    std::vector<SQuarantinedFile> files;
    // Regular files under hidden temporary names, of any age.
    std::vector<SDirEntry> leftovers;
    uint64_t nQuarantinedBytes = 0;
    // Every entry that is not a quarantined file ("." and ".." aside), leftovers and ".store"
    // included.
    uint64_t nOtherEntries = 0;
    uint64_t nOtherBytes = 0;
    // What the program's size scan of the folder adds up (getFolderSize): every entry it lists.
    uint64_t nFolderTotal = 0;
    // The size cache file as listed.
    bool bStoreListed = false;
    SDirEntry store;
};

// Whether the entry is a quarantined file; fills *pName when it is.
bool IsQuarantinedEntry(const SDirEntry& entry, SFilingName* pName);

// Lists the open folder once; false when the listing failed (pDir->LastError() says why).
bool ListQuarantineFolder(CFolderDir* pDir, SFolderListing* pListing);

// a + b, at most the largest signed 64-bit total the size cache can hold.
uint64_t AddSaturated(uint64_t a, uint64_t b);
// The folder's total as the size cache stores it: a signed 64-bit count.
int64_t AsCacheTotal(uint64_t nTotal);

// Which quarantined files a command takes.
struct SFileFilter
{
    bool bComputer = false;
    std::string strComputer;
    // Filed before nNow - nOlderThan.
    bool bOlderThan = false;
    int64_t nOlderThan = 0;
    // Filed after nNow - nNewerThan.
    bool bNewerThan = false;
    int64_t nNewerThan = 0;
    // Filed at or after nNow - nSince.
    bool bSince = false;
    int64_t nSince = 0;
};

bool MatchesFilter(const SQuarantinedFile& file, const SFileFilter& filter, int64_t nNow);
