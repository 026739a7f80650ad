// Sorting one listing of the quarantine folder into quarantined files, leftovers and the rest.
#include "folder_listing.h"

#include "temp_names.h"

#include <algorithm>

static const uint64_t kMaxCacheTotal = static_cast<uint64_t>(INT64_MAX);

uint64_t AddSaturated(uint64_t a, uint64_t b)
{
    return a > kMaxCacheTotal - std::min(b, kMaxCacheTotal) ? kMaxCacheTotal : a + b;
}

int64_t AsCacheTotal(uint64_t nTotal)
{
    return static_cast<int64_t>(std::min(nTotal, kMaxCacheTotal));
}

bool IsQuarantinedEntry(const SDirEntry& entry, SFilingName* pName)
{
    // A name that the ANSI code page cannot hold is not one that filing gave.
    return entry.eKind == kEntryFile && entry.bNameExact &&
           ParseFilingName(entry.strName.c_str(), pName);
}

static void SortEntry(const SDirEntry& entry, void* pContext)
{
    SFolderListing* pListing = static_cast<SFolderListing*>(pContext);
    if (entry.bInFolderTotal)
    {
        pListing->nFolderTotal = AddSaturated(pListing->nFolderTotal, entry.nSize);
    }
    SFilingName name;
    if (IsQuarantinedEntry(entry, &name))
    {
        SQuarantinedFile file;
        file.entry = entry;
        file.nComputerLength = name.nComputerLength;
        file.nSeconds = name.nSeconds;
        pListing->files.push_back(std::move(file));
        pListing->nQuarantinedBytes = AddSaturated(pListing->nQuarantinedBytes, entry.nSize);
        return;
    }
    ++pListing->nOtherEntries;
    pListing->nOtherBytes = AddSaturated(pListing->nOtherBytes, entry.nSize);
    if (entry.eKind == kEntryFile && entry.bNameExact &&
        IsReplacementTemporaryName(entry.strName.c_str()))
    {
        pListing->leftovers.push_back(entry);
    }
    if (entry.strName == ".store")
    {
        pListing->bStoreListed = true;
        pListing->store = entry;
    }
}

bool ListQuarantineFolder(CFolderDir* pDir, SFolderListing* pListing)
{
    *pListing = SFolderListing();
    if (!pDir->ForEachEntry(SortEntry, pListing))
    {
        return false;
    }
    std::sort(pListing->files.begin(), pListing->files.end(),
              [](const SQuarantinedFile& a, const SQuarantinedFile& b)
              {
                  if (a.nSeconds != b.nSeconds)
                  {
                      return a.nSeconds < b.nSeconds;
                  }
                  return a.entry.strName < b.entry.strName;
              });
    return true;
}

bool MatchesFilter(const SQuarantinedFile& file, const SFileFilter& filter, int64_t nNow)
{
    if (filter.bComputer &&
        (file.nComputerLength != filter.strComputer.size() ||
         file.entry.strName.compare(0, file.nComputerLength, filter.strComputer) != 0))
    {
        return false;
    }
    // Ages never exceed what the command line allows (INT64_MAX seconds): the limits are taken
    // in a way that cannot overflow.
    if (filter.bOlderThan && !(file.nSeconds < nNow - std::min(filter.nOlderThan, nNow + 1)))
    {
        return false;
    }
    if (filter.bNewerThan && !(file.nSeconds > nNow - std::min(filter.nNewerThan, nNow + 1)))
    {
        return false;
    }
    if (filter.bSince && !(file.nSeconds >= nNow - std::min(filter.nSince, nNow + 1)))
    {
        return false;
    }
    return true;
}
