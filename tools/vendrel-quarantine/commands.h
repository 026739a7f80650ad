// The commands of vendrel-quarantine and what they share: the installation they work on, "now",
// and where they write.
#pragma once

#include "folder_dir.h"
#include "folder_listing.h"
#include "qtool_home.h"
#include "qtool_options.h"
#include "qtool_output.h"

#include <cstdint>
#include <string>

enum EExitStatus
{
    kExitOk = 0,
    // A file could not be deleted or read, a check FAILED, the folder could not be listed.
    kExitFailed = 1,
    kExitUsage = 2,
};

struct SToolContext
{
    SToolOptions options;
    std::string strHome;
    EHomeSource eHomeSource = kHomeNone;
    // As the program locates it (getQuarantineFolder).
    std::string strFolder;
    // Seconds since 1970 (UTC).
    int64_t nNow = 0;
    COutput* pOut = nullptr;
    COutput* pErr = nullptr;
};

int RunList(const SToolContext& context);
int RunStats(const SToolContext& context);
int RunSamples(const SToolContext& context);
int RunPurge(const SToolContext& context);
int RunRescan(const SToolContext& context);
int RunCheck(const SToolContext& context);

// "vendrel-quarantine: <text>" on standard error.
void ReportError(const SToolContext& context, const std::string& strText);
// Opens and lists the folder; on failure reports it and answers false.
bool OpenAndList(const SToolContext& context, CFolderDir* pDir, SFolderListing* pListing);
// Why an operation on a listed file did not happen, for messages.
std::string FileOutcomeText(EFileOutcome eOutcome, const CFolderDir& dir);
// The file's SHA-256 in lower-case hex, read once; on failure *pstrHex is empty and the failure
// reported.
bool HashQuarantinedFile(const SToolContext& context, CFolderDir* pDir,
                         const SQuarantinedFile& file, std::string* pstrHex);
// Removes the leftovers of killed writers older than an hour (dry run: only says which), one
// line and one trace record each; answers false when one could not be removed. *pnRemovedBytes
// receives what the folder's total loses.
bool SweepLeftovers(const SToolContext& context, const char* szCommand, CFolderDir* pDir,
                    const SFolderListing& listing, bool bDryRun, uint64_t* pnRemovedBytes);
// Writes ".store" (through the program's writeFolderSize) with the folder's total as a listing
// taken afterwards counts it: the listed total, less nRemovedBytes, with ".store" counted at the
// size it has once written. False (reported) when it cannot be written.
bool WriteFolderTotal(const SToolContext& context, CFolderDir* pDir, const SFolderListing& listing,
                      uint64_t nRemovedBytes, int64_t* pnWritten);
// The filter that the options --computer, --older-than, --newer-than and --since make.
SFileFilter FilterFromOptions(const SToolOptions& options);
