// purge: deletes quarantined files filed before now minus an age, or the oldest until the files
// taken hold at most a number of bytes, optionally of one computer only; with neither, the age
// that Quarantine_Retention_Days gives. Every deletion is traced; then ".store" is rewritten with
// the folder's total.
#include "commands.h"

#include "kelsio.h"
#include "qtool_trace.h"
#include "qtool_units.h"
#include "settings_check.h"
#include "store_state.h"

#include <vector>

namespace
{

static const int64_t kSecondsPerDay = 86400;
static const char kRetentionKey[] = "Quarantine_Retention_Days";
static const char kTracePrefix[] = "[vendrel-quarantine:purge] ";
// Room for a setting's text; longer values are not numbers anyway.
static const unsigned long kSettingBuffer = 256;

enum ERetention
{
    kRetentionForever,
    kRetentionDays,
    kRetentionBad,
};

// Quarantine_Retention_Days as purge takes it: absent or 0 keeps forever; anything but a whole
// number of days from 0 up is refused rather than read the lenient way, since it decides what is
// deleted.
ERetention ReadRetention(int64_t* pnDays, std::string* pstrText)
{
    char szValue[kSettingBuffer] = {0};
    getINIString(szValue, QTOOL_SETTINGS_SECTION, kRetentionKey, "", kSettingBuffer, nullptr);
    *pstrText = szValue;
    if (pstrText->empty())
    {
        return kRetentionForever;
    }
    if (JudgeIntegerText(*pstrText, pnDays) != kIntegerValid || *pnDays < 0)
    {
        return kRetentionBad;
    }
    return *pnDays == 0 ? kRetentionForever : kRetentionDays;
}

// The files to delete, oldest first.
std::vector<const SQuarantinedFile*>
SelectFiles(const SToolContext& context, const SFolderListing& listing, const SFileFilter& filter)
{
    std::vector<const SQuarantinedFile*> selected;
    const SToolOptions& options = context.options;
    if (!options.bKeepBytes)
    {
        for (const SQuarantinedFile& file : listing.files)
        {
            if (MatchesFilter(file, filter, context.nNow))
            {
                selected.push_back(&file);
            }
        }
        return selected;
    }
    // The files the bound applies to: all, or one computer's.
    uint64_t nKept = 0;
    for (const SQuarantinedFile& file : listing.files)
    {
        if (MatchesFilter(file, filter, context.nNow))
        {
            nKept = AddSaturated(nKept, file.entry.nSize);
        }
    }
    for (const SQuarantinedFile& file : listing.files)
    {
        if (nKept <= options.nKeepBytes)
        {
            break;
        }
        if (MatchesFilter(file, filter, context.nNow))
        {
            selected.push_back(&file);
            nKept -= file.entry.nSize;
        }
    }
    return selected;
}

std::string FileLine(const SQuarantinedFile& file)
{
    return FormatIsoTime(file.nSeconds) + "  " + PadLeft(FormatUnsigned(file.entry.nSize), 12) +
           "  " + TextField(file.Computer()) + "  " + TextField(file.entry.strName) + "\n";
}

// What was asked, for the summary: "filed before ...", "until ... bytes are left".
std::string Criterion(const SToolContext& context)
{
    const SToolOptions& options = context.options;
    std::string strText;
    if (options.bKeepBytes)
    {
        strText =
            "the oldest until at most " + FormatUnsigned(options.nKeepBytes) + " bytes are left";
    }
    else
    {
        strText = "filed before " + FormatIsoTime(context.nNow - options.nOlderThanSeconds);
    }
    if (options.bComputer)
    {
        strText += ", computer " + TextField(options.strComputer);
    }
    return strText;
}

} // namespace

int RunPurge(const SToolContext& givenContext)
{
    SToolContext context = givenContext;
    SToolOptions& options = context.options;
    if (!options.bOlderThan && !options.bKeepBytes)
    {
        int64_t nDays = 0;
        std::string strText;
        switch (ReadRetention(&nDays, &strText))
        {
        case kRetentionBad:
            ReportError(context, std::string(kRetentionKey) + "=" + strText +
                                     " in server.ini is not a whole number of days (0: keep "
                                     "forever); nothing deleted");
            return kExitFailed;
        case kRetentionForever:
            context.pOut->Write(std::string(kRetentionKey) +
                                " is 0 or not set in server.ini: quarantined files are kept "
                                "forever; nothing deleted\n");
            return kExitOk;
        case kRetentionDays:
            options.bOlderThan = true;
            // At most 2^31 days: the product fits.
            options.nOlderThanSeconds = nDays * kSecondsPerDay;
            break;
        }
    }

    CFolderDir dir;
    SFolderListing listing;
    if (!OpenAndList(context, &dir, &listing))
    {
        return kExitFailed;
    }
    SFileFilter filter;
    filter.bComputer = options.bComputer;
    filter.strComputer = options.strComputer;
    filter.bOlderThan = options.bOlderThan;
    filter.nOlderThan = options.nOlderThanSeconds;
    std::vector<const SQuarantinedFile*> selected = SelectFiles(context, listing, filter);

    uint64_t nDeletedFiles = 0;
    uint64_t nDeletedBytes = 0;
    uint64_t nNotDeleted = 0;
    // Bytes of selected files that someone else deleted meanwhile: the total has lost them too.
    uint64_t nVanishedBytes = 0;
    for (const SQuarantinedFile* pFile : selected)
    {
        if (options.bDryRun)
        {
            context.pOut->Write(FileLine(*pFile));
            ++nDeletedFiles;
            nDeletedBytes = AddSaturated(nDeletedBytes, pFile->entry.nSize);
            continue;
        }
        std::string strPath = dir.PathOf(pFile->entry.strName);
        EFileOutcome eOutcome = dir.DeleteListed(pFile->entry);
        if (eOutcome == kFileDone)
        {
            context.pOut->Write(FileLine(*pFile));
            ToolTrace(kTraceLineFileDeleted, kTracePrefix + std::string("deleted ") + strPath +
                                                 " (" + FormatUnsigned(pFile->entry.nSize) +
                                                 " bytes, computer " + pFile->Computer() +
                                                 ", filed " + FormatIsoTime(pFile->nSeconds) + ")");
            ++nDeletedFiles;
            nDeletedBytes = AddSaturated(nDeletedBytes, pFile->entry.nSize);
        }
        else if (eOutcome == kFileGone)
        {
            // Deleted by someone else meanwhile: what was asked holds.
            ReportError(context, strPath + " was already gone");
            nVanishedBytes = AddSaturated(nVanishedBytes, pFile->entry.nSize);
        }
        else
        {
            std::string strWhy = FileOutcomeText(eOutcome, dir);
            ReportError(context, "cannot delete " + strPath + ": " + strWhy);
            ToolTrace(kTraceLineFileNotDeleted,
                      kTracePrefix + std::string("could not delete ") + strPath + ": " + strWhy);
            ++nNotDeleted;
        }
    }

    uint64_t nLeftoverBytes = 0;
    bool bLeftoversRemoved =
        SweepLeftovers(context, "purge", &dir, listing, options.bDryRun, &nLeftoverBytes);

    std::string strCounts = FormatUnsigned(nDeletedFiles) + " files, " +
                            FormatUnsigned(nDeletedBytes) + " bytes (" + Criterion(context) + ")";
    if (options.bDryRun)
    {
        context.pOut->Write("purge (dry run): would delete " + strCounts + "; nothing deleted\n");
        return kExitOk;
    }

    uint64_t nLost = AddSaturated(AddSaturated(nDeletedBytes, nVanishedBytes), nLeftoverBytes);
    int64_t nTotal = 0;
    bool bStoreWritten = WriteFolderTotal(context, &dir, listing, nLost, &nTotal);
    std::string strSummary =
        "deleted " + strCounts + "; " + FormatUnsigned(nNotDeleted) + " not deleted; .store " +
        (bStoreWritten ? FormatSigned(nTotal) + " bytes" : std::string("could not be written"));
    context.pOut->Write("purge: " + strSummary + "\n");
    ToolTrace(kTraceLinePurgeSummary, kTracePrefix + strSummary);
    return nNotDeleted == 0 && bLeftoversRemoved && bStoreWritten ? kExitOk : kExitFailed;
}
