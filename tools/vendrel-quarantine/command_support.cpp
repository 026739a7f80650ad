// What the commands share: reporting, the listing, digests and the sweep of leftovers.
#include "commands.h"

#include "qtool_trace.h"
#include "qtool_units.h"
#include "quarantine.h"
#include "store_state.h"

// The size cache file's own size as its writer leaves it.
static const uint64_t kStoreFileBytes = 8;
static const char kStoreName[] = ".store";

void ReportError(const SToolContext& context, const std::string& strText)
{
    context.pErr->Write("vendrel-quarantine: " + TextField(strText) + "\n");
}

bool OpenAndList(const SToolContext& context, CFolderDir* pDir, SFolderListing* pListing)
{
    if (!pDir->Open(context.strFolder.c_str()) || !ListQuarantineFolder(pDir, pListing))
    {
        ReportError(context, "cannot list the quarantine folder " + context.strFolder + ": " +
                                 pDir->LastErrorText());
        return false;
    }
    return true;
}

std::string FileOutcomeText(EFileOutcome eOutcome, const CFolderDir& dir)
{
    switch (eOutcome)
    {
    case kFileGone:
        return "it is gone";
    case kFileChanged:
        return "it changed since it was listed (left alone)";
    case kFileFailed:
        return dir.LastErrorText();
    case kFileDone:
        break;
    }
    return "done";
}

bool HashQuarantinedFile(const SToolContext& context, CFolderDir* pDir,
                         const SQuarantinedFile& file, std::string* pstrHex)
{
    pstrHex->clear();
    CSha256 hash;
    if (!hash.IsReady())
    {
        ReportError(context, "the system's SHA-256 is not available");
        return false;
    }
    uint64_t nBytes = 0;
    EFileOutcome eOutcome = pDir->HashListed(file.entry, &hash, &nBytes);
    char szHex[kSha256HexChars + 1];
    if (eOutcome != kFileDone || !hash.Finish(szHex, sizeof(szHex)))
    {
        ReportError(context, "cannot read " + pDir->PathOf(file.entry.strName) + ": " +
                                 FileOutcomeText(eOutcome, *pDir));
        return false;
    }
    pstrHex->assign(szHex, kSha256HexChars);
    return true;
}

bool SweepLeftovers(const SToolContext& context, const char* szCommand, CFolderDir* pDir,
                    const SFolderListing& listing, bool bDryRun, uint64_t* pnRemovedBytes)
{
    *pnRemovedBytes = 0;
    bool bAllRemoved = true;
    std::string strPrefix = std::string("[vendrel-quarantine:") + szCommand + "] ";
    for (const SDirEntry& entry : listing.leftovers)
    {
        // A younger one may belong to a live writer; a future time is no proof of age either.
        if (context.nNow - entry.nWriteTime <= kLeftoverAgeSeconds)
        {
            continue;
        }
        std::string strPath = pDir->PathOf(entry.strName);
        std::string strWhat = TextField(entry.strName) + " (" + FormatUnsigned(entry.nSize) +
                              " bytes, last written " + FormatIsoTime(entry.nWriteTime) + ")";
        if (bDryRun)
        {
            context.pOut->Write("would remove leftover " + strWhat + "\n");
            continue;
        }
        EFileOutcome eOutcome = pDir->DeleteListed(entry);
        if (eOutcome == kFileDone)
        {
            context.pOut->Write("removed leftover " + strWhat + "\n");
            ToolTrace(kTraceLineLeftoverRemoved, strPrefix + "removed leftover " + strPath + " (" +
                                                     FormatUnsigned(entry.nSize) + " bytes)");
            if (entry.bInFolderTotal)
            {
                *pnRemovedBytes = AddSaturated(*pnRemovedBytes, entry.nSize);
            }
        }
        else if (eOutcome != kFileGone)
        {
            bAllRemoved = false;
            std::string strWhy = FileOutcomeText(eOutcome, *pDir);
            ReportError(context, "cannot remove leftover " + strPath + ": " + strWhy);
            ToolTrace(kTraceLineLeftoverNotRemoved,
                      strPrefix + "could not remove leftover " + strPath + ": " + strWhy);
        }
    }
    return bAllRemoved;
}

bool WriteFolderTotal(const SToolContext& context, CFolderDir* pDir, const SFolderListing& listing,
                      uint64_t nRemovedBytes, int64_t* pnWritten)
{
    uint64_t nOthers =
        listing.nFolderTotal > nRemovedBytes ? listing.nFolderTotal - nRemovedBytes : 0;
    uint64_t nStoreSize = kStoreFileBytes;
    if (listing.bStoreListed && listing.store.bInFolderTotal)
    {
        nOthers = nOthers > listing.store.nSize ? nOthers - listing.store.nSize : 0;
        nStoreSize = listing.store.nSize;
    }
    // Written again once if the file's size after the write is not the one counted (a file
    // created anew, or one cut to its 8 bytes).
    for (int nTry = 0; nTry < 2; ++nTry)
    {
        *pnWritten = AsCacheTotal(AddSaturated(nOthers, nStoreSize));
        if (!writeFolderSize(context.strFolder.c_str(), *pnWritten))
        {
            ReportError(context, "cannot write " + StorePath(context.strFolder));
            return false;
        }
        // Written by root (an operator who forgot sudo -u), the file would be the web server's
        // no more.
        pDir->GiveToFolderOwner(kStoreName);
        SDirEntry store;
        if (!pDir->StatEntry(kStoreName, &store) || store.nSize == nStoreSize ||
            !store.bInFolderTotal)
        {
            break;
        }
        nStoreSize = store.nSize;
    }
    // The writer answers whether it could create the file, not whether the 8 bytes reached the
    // disk: on a full disk the old value (or nothing) stays. Read back, that is not mistaken for
    // a rewritten cache.
    SStoreState state;
    ReadStoreState(context.strFolder, &state);
    if (!state.bComplete || state.nRawValue != *pnWritten)
    {
        ReportError(context, StorePath(context.strFolder) + " holds " +
                                 (state.bComplete ? FormatSigned(state.nRawValue) + " bytes"
                                                  : std::string("no valid value")) +
                                 " after writing " + FormatSigned(*pnWritten) +
                                 ": the write failed (is the disk full?), or an upload changed "
                                 "it meanwhile; run vendrel-quarantine rescan again");
        return false;
    }
    return true;
}

SFileFilter FilterFromOptions(const SToolOptions& options)
{
    SFileFilter filter;
    filter.bComputer = options.bComputer;
    filter.strComputer = options.strComputer;
    filter.bOlderThan = options.bOlderThan;
    filter.nOlderThan = options.nOlderThanSeconds;
    filter.bNewerThan = options.bNewerThan;
    filter.nNewerThan = options.nNewerThanSeconds;
    filter.bSince = options.bSince;
    filter.nSince = options.nSinceSeconds;
    return filter;
}
