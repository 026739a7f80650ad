// stats: how full the quarantine folder is, how far ".store" is from a listing, and which
// computers fill it; as text, json, or the text exposition format of a metrics collector.
#include "commands.h"

#include "kelsio.h"
#include "qtool_units.h"
#include "settings_check.h"
#include "store_state.h"

#include <algorithm>
#include <map>
#include <vector>

namespace
{

static const size_t kTextTopComputers = 20;
static const int kDefaultCapacityMegabytes = 10240;
static const int64_t kBytesPerMegabyte = 1048576;

struct SComputerTotal
{
    std::string strComputer;
    uint64_t nFiles = 0;
    uint64_t nBytes = 0;
};

struct SStats
{
    uint64_t nFiles = 0;
    uint64_t nBytes = 0;
    int64_t nCapacityBytes = 0;
    // What the capacity check counts against the capacity: the folder's total.
    int64_t nFolderTotal = 0;
    SStoreState store;
    bool bHasFiles = false;
    int64_t nOldest = 0;
    int64_t nNewest = 0;
    uint64_t nOtherEntries = 0;
    uint64_t nOtherBytes = 0;
    // Largest first.
    std::vector<SComputerTotal> computers;
};

void Gather(const SToolContext& context, const SFolderListing& listing, SStats* pStats)
{
    int nCapacity = getINIint(QTOOL_SETTINGS_SECTION, "Quarantine_Folder_Capacity",
                              kDefaultCapacityMegabytes, nullptr);
    pStats->nCapacityBytes = static_cast<int64_t>(nCapacity) * kBytesPerMegabyte;
    pStats->nFiles = listing.files.size();
    pStats->nBytes = listing.nQuarantinedBytes;
    pStats->nFolderTotal = AsCacheTotal(listing.nFolderTotal);
    ReadStoreState(context.strFolder, &pStats->store);
    pStats->nOtherEntries = listing.nOtherEntries;
    pStats->nOtherBytes = listing.nOtherBytes;
    if (!listing.files.empty())
    {
        pStats->bHasFiles = true;
        pStats->nOldest = listing.files.front().nSeconds;
        pStats->nNewest = listing.files.back().nSeconds;
    }
    std::map<std::string, SComputerTotal> byComputer;
    for (const SQuarantinedFile& file : listing.files)
    {
        SComputerTotal& total = byComputer[file.Computer()];
        ++total.nFiles;
        total.nBytes = AddSaturated(total.nBytes, file.entry.nSize);
    }
    for (auto& item : byComputer)
    {
        item.second.strComputer = item.first;
        pStats->computers.push_back(item.second);
    }
    std::stable_sort(pStats->computers.begin(), pStats->computers.end(),
                     [](const SComputerTotal& a, const SComputerTotal& b)
                     {
                         if (a.nBytes != b.nBytes)
                         {
                             return a.nBytes > b.nBytes;
                         }
                         return a.nFiles > b.nFiles;
                     });
}

int64_t Drift(const SStats& stats)
{
    return stats.store.nValue - stats.nFolderTotal;
}

std::string StoreText(const SStats& stats)
{
    const SStoreState& store = stats.store;
    if (!store.bPresent)
    {
        return "missing (the next upload lists the folder)";
    }
    std::string strText = FormatSigned(store.nValue) + " bytes";
    if (!store.bComplete)
    {
        strText += " (shorter than 8 bytes: read as 0)";
    }
    else if (store.nRawValue <= 0)
    {
        strText += " (stored " + FormatSigned(store.nRawValue) + ": read as 0)";
    }
    if (store.bHasAge)
    {
        strText += store.nAgeSeconds >= 0
                       ? ", written " + FormatDuration(store.nAgeSeconds) + " ago"
                       : ", written in the future";
    }
    return strText + ", drift " + FormatDelta(Drift(stats)) + " bytes from the listing";
}

void WriteText(COutput& out, const SStats& stats)
{
    std::string strUsed = FormatPercent(stats.nFolderTotal, stats.nCapacityBytes);
    out.Write("quarantined files:   " + FormatUnsigned(stats.nFiles) + "\n");
    out.Write("quarantined bytes:   " + FormatUnsigned(stats.nBytes) + " (" +
              FormatBytesHuman(stats.nBytes) + ")\n");
    out.Write("capacity:            " + FormatSigned(stats.nCapacityBytes) + " bytes" +
              (stats.nCapacityBytes > 0
                   ? " (" + FormatBytesHuman(static_cast<uint64_t>(stats.nCapacityBytes)) + ")"
                   : std::string(" (no upload fits)")) +
              "\n");
    out.Write("used:                " + (strUsed.empty() ? std::string("-") : strUsed) + " (" +
              FormatSigned(stats.nFolderTotal) + " bytes in the folder as uploads count it)\n");
    out.Write(".store:              " + StoreText(stats) + "\n");
    out.Write("oldest filing:       " +
              (stats.bHasFiles ? FormatIsoTime(stats.nOldest) : std::string("-")) + "\n");
    out.Write("newest filing:       " +
              (stats.bHasFiles ? FormatIsoTime(stats.nNewest) : std::string("-")) + "\n");
    out.Write("other entries:       " + FormatUnsigned(stats.nOtherEntries) + " (" +
              FormatUnsigned(stats.nOtherBytes) + " bytes)\n");
    if (stats.computers.empty())
    {
        return;
    }
    size_t nShown = std::min(stats.computers.size(), kTextTopComputers);
    out.Write("\ncomputers (" +
              (nShown < stats.computers.size() ? "top " + FormatUnsigned(nShown) + " of " +
                                                     FormatUnsigned(stats.computers.size())
                                               : FormatUnsigned(stats.computers.size())) +
              ", the largest first):\n");
    out.Write(PadLeft("files", 10) + PadLeft("bytes", 16) + "  computer\n");
    for (size_t i = 0; i < nShown; ++i)
    {
        const SComputerTotal& total = stats.computers[i];
        out.Write(PadLeft(FormatUnsigned(total.nFiles), 10) +
                  PadLeft(FormatUnsigned(total.nBytes), 16) + "  " + TextField(total.strComputer) +
                  "\n");
    }
}

std::string JsonTime(bool bHas, int64_t nSeconds)
{
    return bHas ? "\"" + FormatIsoTime(nSeconds) + "\"" : std::string("null");
}

void WriteJson(COutput& out, const SStats& stats)
{
    const SStoreState& store = stats.store;
    std::string strUsed = FormatPercent(stats.nFolderTotal, stats.nCapacityBytes);
    if (!strUsed.empty())
    {
        strUsed.pop_back(); // the '%'
    }
    out.Write(
        "{\n  \"files\": " + FormatUnsigned(stats.nFiles) +
        ",\n  \"bytes\": " + FormatUnsigned(stats.nBytes) +
        ",\n  \"capacity_bytes\": " + FormatSigned(stats.nCapacityBytes) +
        ",\n  \"folder_bytes\": " + FormatSigned(stats.nFolderTotal) + ",\n  \"used_percent\": " +
        (strUsed.empty() ? std::string("null") : strUsed) + ",\n  \"store_bytes\": " +
        (store.bPresent ? FormatSigned(store.nValue) : std::string("null")) +
        ",\n  \"store_age_seconds\": " +
        (store.bPresent && store.bHasAge ? FormatSigned(store.nAgeSeconds) : std::string("null")) +
        ",\n  \"store_drift_bytes\": " +
        (store.bPresent ? FormatSigned(Drift(stats)) : std::string("null")) +
        ",\n  \"oldest\": " + JsonTime(stats.bHasFiles, stats.nOldest) + ",\n  \"newest\": " +
        JsonTime(stats.bHasFiles, stats.nNewest) + ",\n  \"oldest_seconds\": " +
        (stats.bHasFiles ? FormatSigned(stats.nOldest) : std::string("null")) +
        ",\n  \"newest_seconds\": " +
        (stats.bHasFiles ? FormatSigned(stats.nNewest) : std::string("null")) +
        ",\n  \"other_entries\": " + FormatUnsigned(stats.nOtherEntries) +
        ",\n  \"other_bytes\": " + FormatUnsigned(stats.nOtherBytes) + ",\n  \"computers\": [");
    for (size_t i = 0; i < stats.computers.size(); ++i)
    {
        const SComputerTotal& total = stats.computers[i];
        out.Write(std::string(i == 0 ? "\n    " : ",\n    ") + "{\"computer\": " +
                  JsonString(total.strComputer) + ", \"files\": " + FormatUnsigned(total.nFiles) +
                  ", \"bytes\": " + FormatUnsigned(total.nBytes) + "}");
    }
    out.Write(stats.computers.empty() ? "]\n}\n" : "\n  ]\n}\n");
}

void WriteMetric(COutput& out, const char* szName, const char* szHelp, bool bHasValue,
                 const std::string& strValue)
{
    out.Write(std::string("# HELP ") + szName + " " + szHelp + "\n# TYPE " + szName + " gauge\n");
    // A value that does not exist (no .store, no file) is left out rather than made up.
    if (bHasValue)
    {
        out.Write(std::string(szName) + " " + strValue + "\n");
    }
}

void WritePrometheus(COutput& out, const SStats& stats)
{
    WriteMetric(out, "vendrel_quarantine_files", "Quarantined files in the quarantine folder.",
                true, FormatUnsigned(stats.nFiles));
    WriteMetric(out, "vendrel_quarantine_bytes", "Bytes of the quarantined files.", true,
                FormatUnsigned(stats.nBytes));
    WriteMetric(out, "vendrel_quarantine_capacity_bytes",
                "Capacity of the quarantine folder (Quarantine_Folder_Capacity) in bytes.", true,
                FormatSigned(stats.nCapacityBytes));
    WriteMetric(out, "vendrel_quarantine_store_bytes",
                "Folder size that the size cache .store holds, as uploads read it.",
                stats.store.bPresent, FormatSigned(stats.store.nValue));
    WriteMetric(out, "vendrel_quarantine_oldest_file_timestamp_seconds",
                "Filing time of the oldest quarantined file, seconds since 1970.", stats.bHasFiles,
                FormatSigned(stats.nOldest));
    WriteMetric(out, "vendrel_quarantine_newest_file_timestamp_seconds",
                "Filing time of the newest quarantined file, seconds since 1970.", stats.bHasFiles,
                FormatSigned(stats.nNewest));
    WriteMetric(out, "vendrel_quarantine_other_entries",
                "Entries in the quarantine folder that are not quarantined files.", true,
                FormatUnsigned(stats.nOtherEntries));
}

} // namespace

int RunStats(const SToolContext& context)
{
    CFolderDir dir;
    SFolderListing listing;
    if (!OpenAndList(context, &dir, &listing))
    {
        return kExitFailed;
    }
    SStats stats;
    Gather(context, listing, &stats);
    switch (context.options.eFormat)
    {
    case kFormatJson:
        WriteJson(*context.pOut, stats);
        break;
    case kFormatPrometheus:
        WritePrometheus(*context.pOut, stats);
        break;
    default:
        WriteText(*context.pOut, stats);
        break;
    }
    return kExitOk;
}
