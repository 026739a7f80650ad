// check: what an operator runs after installing or editing server.ini, as the web server's user.
// One line per check, "ok", "warning" or "FAILED", with what to do; exit status 1 when anything
// FAILED.
#include "commands.h"

#include "dir_status.h"
#include "kelsio.h"
#include "qtool_trace.h"
#include "qtool_units.h"
#include "settings_check.h"
#include "store_state.h"

#include <cstring>
#include <vector>

namespace
{

static const int64_t kBytesPerMegabyte = 1048576;
static const unsigned long kValueBuffer = 1024;
// Less free room than this share of the capacity is worth a warning.
static const int64_t kLowHeadroomPercent = 10;

enum ECheckLevel
{
    kCheckOk,
    kCheckWarning,
    kCheckFailed,
};

class CCheckReport
{
public:
    explicit CCheckReport(COutput* pOut) : m_pOut(pOut), m_anCounts{0, 0, 0} {}

    void Add(ECheckLevel eLevel, const std::string& strText)
    {
        static const char* const kLabels[] = {"ok       ", "warning  ", "FAILED   "};
        ++m_anCounts[eLevel];
        m_pOut->Write(kLabels[eLevel] + TextField(strText) + "\n");
    }
    int Count(ECheckLevel eLevel) const { return m_anCounts[eLevel]; }

private:
    COutput* m_pOut;
    int m_anCounts[3];
};

// A key's numeric setting, judged. bDefaultNote describes the default in messages.
struct SNumberKey
{
    const char* szName;
    int nDefault;
    const char* szUnit;
};

std::string SettingValue(const char* szKey)
{
    char szValue[kValueBuffer] = {0};
    getINIString(szValue, QTOOL_SETTINGS_SECTION, szKey, "", kValueBuffer, nullptr);
    return szValue;
}

const SSettingsKey* FindKey(const SSettingsOutline& outline, const char* szName)
{
    for (const SSettingsKey& key : outline.keys)
    {
        if (EqualsNoCase(key.strName, szName))
        {
            return &key;
        }
    }
    return nullptr;
}

// Judges a number setting. Answers whether it is a valid number, with *pnValue the value the
// program takes (the default when absent).
bool CheckNumber(CCheckReport* pReport, const SSettingsOutline& outline, const SNumberKey& key,
                 int64_t* pnValue)
{
    *pnValue = key.nDefault;
    std::string strName = key.szName;
    if (FindKey(outline, key.szName) == nullptr)
    {
        pReport->Add(kCheckOk,
                     strName + " is not set: " + FormatSigned(key.nDefault) + " " + key.szUnit);
        return false;
    }
    std::string strValue = SettingValue(key.szName);
    int64_t nRead = key.nDefault;
    switch (JudgeIntegerText(strValue, &nRead))
    {
    case kIntegerValid:
        *pnValue = nRead;
        return true;
    case kIntegerTrailing:
        pReport->Add(kCheckFailed, strName + "=" + strValue +
                                       " is not a whole number (it is read as " +
                                       FormatSigned(nRead) + "): write digits only");
        break;
    case kIntegerNoDigits:
        pReport->Add(kCheckFailed, strName + "=" + strValue + " is not a number (the default " +
                                       FormatSigned(key.nDefault) + " is used): write digits only");
        break;
    case kIntegerOutOfRange:
        pReport->Add(kCheckFailed, strName + "=" + strValue + " is out of range (it is read as " +
                                       FormatSigned(nRead) + ")");
        break;
    }
    *pnValue = nRead;
    return false;
}

void CheckSettings(const SToolContext& context, CCheckReport* pReport,
                   const SSettingsOutline& outline, int64_t* pnCapacityBytes)
{
    // Quarantine_Folder
    std::string strFolderValue = SettingValue("Quarantine_Folder");
    if (strFolderValue.empty())
    {
        pReport->Add(kCheckWarning, "Quarantine_Folder is not set: the folder is " +
                                        context.strFolder +
                                        " (the home directory followed directly by Virus, "
                                        "with no separator); set Quarantine_Folder");
    }
    else
    {
        pReport->Add(kCheckOk, "Quarantine_Folder=" + strFolderValue);
    }

    int64_t nValue = 0;
    const SNumberKey kCapacity = {"Quarantine_Folder_Capacity", 10240, "MB"};
    bool bValid = CheckNumber(pReport, outline, kCapacity, &nValue);
    *pnCapacityBytes = nValue * kBytesPerMegabyte;
    if (bValid && nValue <= 0)
    {
        pReport->Add(kCheckFailed, "Quarantine_Folder_Capacity=" + FormatSigned(nValue) +
                                       ": no upload fits; give the capacity in megabytes");
    }
    else if (bValid)
    {
        pReport->Add(kCheckOk, "Quarantine_Folder_Capacity=" + FormatSigned(nValue) + " MB (" +
                                   FormatBytesHuman(static_cast<uint64_t>(*pnCapacityBytes)) + ")");
    }

    const SNumberKey kCacheLife = {"Quarantine_Folder_Cache_Life", 20, "minutes"};
    if (CheckNumber(pReport, outline, kCacheLife, &nValue))
    {
        pReport->Add(nValue <= 0 ? kCheckWarning : kCheckOk,
                     "Quarantine_Folder_Cache_Life=" + FormatSigned(nValue) +
                         (nValue <= 0 ? ": 0 or less means 20 minutes" : " minutes"));
    }

    const SNumberKey kUploadMax = {"Upload_Max_Size", 100, "MB"};
    if (CheckNumber(pReport, outline, kUploadMax, &nValue))
    {
        if (nValue <= 0)
        {
            pReport->Add(kCheckFailed, "Upload_Max_Size=" + FormatSigned(nValue) +
                                           ": every upload is refused; give the largest request "
                                           "body in megabytes");
        }
        else
        {
            pReport->Add(kCheckOk, "Upload_Max_Size=" + FormatSigned(nValue) + " MB");
        }
    }

    const SNumberKey kStale = {"Upload_Stale_Minutes", 60, "minutes"};
    if (CheckNumber(pReport, outline, kStale, &nValue))
    {
        pReport->Add(nValue <= 0 ? kCheckWarning : kCheckOk,
                     "Upload_Stale_Minutes=" + FormatSigned(nValue) +
                         (nValue <= 0 ? ": uploads that a killed request left in TEMP are never "
                                        "deleted"
                                      : " minutes"));
    }

    const SNumberKey kRetention = {"Quarantine_Retention_Days", 0,
                                   "days (purge keeps files forever)"};
    if (CheckNumber(pReport, outline, kRetention, &nValue))
    {
        if (nValue < 0)
        {
            pReport->Add(kCheckFailed, "Quarantine_Retention_Days=" + FormatSigned(nValue) +
                                           ": purge refuses it; give 0 (keep forever) or days");
        }
        else
        {
            pReport->Add(kCheckOk, "Quarantine_Retention_Days=" + FormatSigned(nValue) +
                                       (nValue == 0 ? ": purge keeps files forever"
                                                    : ": purge deletes files filed more than " +
                                                          FormatSigned(nValue) + " days ago"));
        }
    }
}

void CheckKeyNames(CCheckReport* pReport, const SSettingsOutline& outline)
{
    static const char* const kKnownKeys[] = {
        "Quarantine_Folder", "Quarantine_Folder_Capacity", "Quarantine_Folder_Cache_Life",
        "Upload_Max_Size",   "Upload_Stale_Minutes",       "Quarantine_Retention_Days",
    };
    for (size_t i = 0; i < outline.keys.size(); ++i)
    {
        const SSettingsKey& key = outline.keys[i];
        bool bKnown = false;
        for (const char* szKnown : kKnownKeys)
        {
            bKnown = bKnown || EqualsNoCase(key.strName, szKnown);
        }
        if (!bKnown)
        {
            pReport->Add(kCheckWarning, "unknown key " + key.strName + " (line " +
                                            FormatSigned(key.nLine) +
                                            "): nothing reads it; is the name misspelt?");
            continue;
        }
        for (size_t j = 0; j < i; ++j)
        {
            if (EqualsNoCase(outline.keys[j].strName, key.strName.c_str()))
            {
                pReport->Add(kCheckWarning, key.strName + " is set again on line " +
                                                FormatSigned(key.nLine) + ": only line " +
                                                FormatSigned(outline.keys[j].nLine) + " counts");
                break;
            }
        }
    }
    for (int nLine : outline.strayLines)
    {
        pReport->Add(kCheckWarning, "line " + FormatSigned(nLine) +
                                        " of server.ini is not key=value: it is ignored");
    }
}

// Answers whether the directory is there, so that later checks know what they can look at.
bool CheckDirectory(CCheckReport* pReport, const char* szLabel, const std::string& strPath,
                    SDirStatus* pStatus)
{
    GetDirStatus(strPath, pStatus);
    std::string strWhat = std::string(szLabel) + " " + strPath;
    if (!pStatus->bExists)
    {
        pReport->Add(kCheckFailed, strWhat +
                                       " does not exist: " + SystemErrorText(pStatus->nError) +
                                       "; create it, writable by the web server's account only");
        return false;
    }
    if (!pStatus->bDirectory)
    {
        pReport->Add(kCheckFailed, strWhat + " is not a directory");
        return false;
    }
    bool bClean = true;
    if (!pStatus->bWritable)
    {
        pReport->Add(kCheckFailed, strWhat + " is not writable by this account: " +
                                       SystemErrorText(pStatus->nWriteError) +
                                       "; run check as the web server's account, and give "
                                       "that account write access");
        bClean = false;
    }
    if (!pStatus->strOtherWriters.empty())
    {
        pReport->Add(kCheckFailed, strWhat + " is writable by " + pStatus->strOtherWriters +
                                       ": leave write access to the web server's account only");
        bClean = false;
    }
    if (!pStatus->strForeignOwner.empty())
    {
        pReport->Add(kCheckWarning, strWhat + " belongs to " + pStatus->strForeignOwner +
                                        ": run check as that account to check its access");
        bClean = false;
    }
    if (bClean)
    {
        pReport->Add(kCheckOk, strWhat + " is a directory that this account alone can write");
    }
    return true;
}

void CheckStore(CCheckReport* pReport, const SToolContext& context, const SFolderListing& listing)
{
    static const char* const kKinds[] = {"file", "directory", "link", "FIFO, socket or device"};
    std::string strPath = StorePath(context.strFolder);
    if (listing.bStoreListed && listing.store.eKind != kEntryFile)
    {
        pReport->Add(kCheckFailed, strPath + " is a " + kKinds[listing.store.eKind] +
                                       ": the size cache cannot work; remove it");
        return;
    }
    SStoreState store;
    ReadStoreState(context.strFolder, &store);
    int64_t nListed = AsCacheTotal(listing.nFolderTotal);
    if (!store.bPresent)
    {
        pReport->Add(kCheckWarning, strPath +
                                        " cannot be read: " + SystemErrorText(store.nOpenError) +
                                        "; the next upload lists the folder; or run "
                                        "vendrel-quarantine rescan");
        return;
    }
    if (!store.bComplete)
    {
        pReport->Add(kCheckWarning, strPath + " is shorter than 8 bytes and reads as 0: run "
                                              "vendrel-quarantine rescan");
        return;
    }
    int64_t nDrift = store.nValue - nListed;
    std::string strAge =
        store.bHasAge ? ", written " + FormatDuration(store.nAgeSeconds) + " ago" : std::string();
    if (nDrift != 0)
    {
        pReport->Add(kCheckWarning, strPath + " holds " + FormatSigned(store.nValue) +
                                        " bytes, the listing counts " + FormatSigned(nListed) +
                                        " (drift " + FormatDelta(nDrift) + strAge +
                                        "): run vendrel-quarantine rescan when no upload is "
                                        "arriving");
        return;
    }
    pReport->Add(kCheckOk, strPath + " holds " + FormatSigned(store.nValue) +
                               " bytes, as the listing counts" + strAge);
}

void CheckHeadroom(CCheckReport* pReport, const SFolderListing& listing, int64_t nCapacityBytes)
{
    int64_t nUsed = AsCacheTotal(listing.nFolderTotal);
    std::string strUsed = FormatSigned(nUsed) + " of " + FormatSigned(nCapacityBytes) + " bytes";
    if (nUsed >= nCapacityBytes)
    {
        pReport->Add(kCheckFailed, "the quarantine folder holds " + strUsed +
                                       ": full, uploads are refused; purge, or raise "
                                       "Quarantine_Folder_Capacity");
        return;
    }
    int64_t nFree = nCapacityBytes - nUsed;
    std::string strText = FormatSigned(nFree) + " bytes (" +
                          FormatBytesHuman(static_cast<uint64_t>(nFree)) + ") free, " +
                          FormatPercent(nUsed, nCapacityBytes) + " of the capacity used";
    if (nFree < nCapacityBytes / 100 * kLowHeadroomPercent)
    {
        pReport->Add(kCheckWarning, "capacity: only " + strText +
                                        ": purge, or raise "
                                        "Quarantine_Folder_Capacity");
        return;
    }
    pReport->Add(kCheckOk, "capacity: " + strText);
}

} // namespace

int RunCheck(const SToolContext& context)
{
    CCheckReport report(context.pOut);
    report.Add(kCheckOk,
               "home " + context.strHome + " (from " + HomeSourceText(context.eHomeSource) + ")");

    std::string strIni = context.strHome + VENDREL_DIR_SEP_STR "server.ini";
    SSettingsOutline outline;
    OutlineSettings(strIni, &outline);
    if (!outline.bReadable)
    {
        report.Add(kCheckFailed,
                   strIni + " cannot be read: " + std::string(strerror(outline.nOpenError)) +
                       "; create it with [" QTOOL_SETTINGS_SECTION
                       "] and Quarantine_Folder=, readable by this account");
    }
    else if (!outline.bSectionFound)
    {
        report.Add(kCheckFailed, strIni + " has no [" QTOOL_SETTINGS_SECTION
                                          "] section: every key takes its default");
    }
    else
    {
        report.Add(kCheckOk, strIni + " is readable");
    }

    int64_t nCapacityBytes =
        static_cast<int64_t>(
            getINIint(QTOOL_SETTINGS_SECTION, "Quarantine_Folder_Capacity", 10240, nullptr)) *
        kBytesPerMegabyte;
    if (outline.bReadable)
    {
        CheckSettings(context, &report, outline, &nCapacityBytes);
        CheckKeyNames(&report, outline);
    }

    SDirStatus upload;
    SDirStatus folder;
    bool bUpload = CheckDirectory(&report, "upload directory",
                                  context.strHome + VENDREL_DIR_SEP_STR "TEMP", &upload);
    bool bFolder = CheckDirectory(&report, "quarantine folder", context.strFolder, &folder);
    if (bUpload && bFolder && upload.bHasVolume && folder.bHasVolume)
    {
        if (upload.nVolume == folder.nVolume)
        {
            report.Add(kCheckOk, "the upload directory and the quarantine folder share a file "
                                 "system: filing renames");
        }
        else
        {
            report.Add(kCheckWarning, "the upload directory and the quarantine folder are on "
                                      "different file systems: every filing copies the upload");
        }
    }

    if (bFolder)
    {
        CFolderDir dir;
        SFolderListing listing;
        if (!dir.Open(context.strFolder.c_str()) || !ListQuarantineFolder(&dir, &listing))
        {
            report.Add(kCheckFailed, "the quarantine folder " + context.strFolder +
                                         " cannot be listed: " + dir.LastErrorText());
        }
        else
        {
            CheckStore(&report, context, listing);
            CheckHeadroom(&report, listing, nCapacityBytes);
        }
    }

    std::string strPipe = LogPipeLocation();
    if (ToolTraceDelivered(kTraceLineCheck,
                           "[vendrel-quarantine:check] check of " + context.strHome))
    {
        report.Add(kCheckOk, "log server reachable: the record \"check\" went to " + strPipe);
    }
    else
    {
        report.Add(kCheckWarning, "log server not reachable at " + strPipe +
                                      ": traces are lost; start vendrel-logd (the same pipe "
                                      "directory, VENDREL_PIPE_DIR, for both)");
    }

    context.pOut->Write("check: " + FormatSigned(report.Count(kCheckOk)) + " ok, " +
                        FormatSigned(report.Count(kCheckWarning)) + " warnings, " +
                        FormatSigned(report.Count(kCheckFailed)) + " FAILED\n");
    return report.Count(kCheckFailed) == 0 ? kExitOk : kExitFailed;
}
