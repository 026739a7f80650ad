// samples: the outbreak view. Quarantined files grouped by content (SHA-256), one row per
// distinct sample: how many files and computers, its size, first and last filing; the sample on
// the most computers first.
#include "commands.h"

#include "qtool_units.h"

#include <algorithm>
#include <map>
#include <set>
#include <vector>

namespace
{

static const size_t kTextTopSamples = 20;

struct SSample
{
    std::string strSha256;
    uint64_t nFiles = 0;
    std::set<std::string> computers;
    uint64_t nSize = 0;
    int64_t nFirst = 0;
    int64_t nLast = 0;
};

bool ComesFirst(const SSample& a, const SSample& b)
{
    if (a.computers.size() != b.computers.size())
    {
        return a.computers.size() > b.computers.size();
    }
    if (a.nFiles != b.nFiles)
    {
        return a.nFiles > b.nFiles;
    }
    if (a.nLast != b.nLast)
    {
        return a.nLast > b.nLast;
    }
    return a.strSha256 < b.strSha256;
}

void WriteText(COutput& out, const std::vector<SSample>& samples)
{
    size_t nShown = std::min(samples.size(), kTextTopSamples);
    out.Write(PadRight("sha256", kSha256HexChars) + PadLeft("files", 8) + PadLeft("computers", 11) +
              PadLeft("size", 14) + "  " + PadRight("first", kIsoTimeChars) + "  last\n");
    for (size_t i = 0; i < nShown; ++i)
    {
        const SSample& sample = samples[i];
        out.Write(sample.strSha256 + PadLeft(FormatUnsigned(sample.nFiles), 8) +
                  PadLeft(FormatUnsigned(sample.computers.size()), 11) +
                  PadLeft(FormatUnsigned(sample.nSize), 14) + "  " + FormatIsoTime(sample.nFirst) +
                  "  " + FormatIsoTime(sample.nLast) + "\n");
    }
    if (nShown < samples.size())
    {
        out.Write("(" + FormatUnsigned(samples.size() - nShown) +
                  " more; --format json or csv lists all)\n");
    }
}

void WriteJson(COutput& out, const std::vector<SSample>& samples)
{
    out.Write("[");
    for (size_t i = 0; i < samples.size(); ++i)
    {
        const SSample& sample = samples[i];
        out.Write(std::string(i == 0 ? "\n  " : ",\n  ") + "{\"sha256\": \"" + sample.strSha256 +
                  "\", \"files\": " + FormatUnsigned(sample.nFiles) +
                  ", \"computers\": " + FormatUnsigned(sample.computers.size()) + ", \"size\": " +
                  FormatUnsigned(sample.nSize) + ", \"first\": \"" + FormatIsoTime(sample.nFirst) +
                  "\", \"last\": \"" + FormatIsoTime(sample.nLast) + "\"}");
    }
    out.Write(samples.empty() ? "]\n" : "\n]\n");
}

void WriteCsv(COutput& out, const std::vector<SSample>& samples)
{
    out.Write("sha256,files,computers,size,first,last\r\n");
    for (const SSample& sample : samples)
    {
        out.Write(sample.strSha256 + "," + FormatUnsigned(sample.nFiles) + "," +
                  FormatUnsigned(sample.computers.size()) + "," + FormatUnsigned(sample.nSize) +
                  "," + FormatIsoTime(sample.nFirst) + "," + FormatIsoTime(sample.nLast) + "\r\n");
    }
}

} // namespace

int RunSamples(const SToolContext& context)
{
    CFolderDir dir;
    SFolderListing listing;
    if (!OpenAndList(context, &dir, &listing))
    {
        return kExitFailed;
    }
    SFileFilter filter = FilterFromOptions(context.options);
    std::map<std::string, SSample> byContent;
    bool bAllRead = true;
    // Oldest first: each sample's first filing is the first file seen of it.
    for (const SQuarantinedFile& file : listing.files)
    {
        if (!MatchesFilter(file, filter, context.nNow))
        {
            continue;
        }
        std::string strHex;
        if (!HashQuarantinedFile(context, &dir, file, &strHex))
        {
            bAllRead = false;
            continue;
        }
        SSample& sample = byContent[strHex];
        if (sample.nFiles == 0)
        {
            sample.strSha256 = strHex;
            sample.nSize = file.entry.nSize;
            sample.nFirst = file.nSeconds;
        }
        ++sample.nFiles;
        sample.computers.insert(file.Computer());
        sample.nLast = file.nSeconds;
    }
    std::vector<SSample> samples;
    samples.reserve(byContent.size());
    for (auto& item : byContent)
    {
        samples.push_back(std::move(item.second));
    }
    std::sort(samples.begin(), samples.end(), ComesFirst);
    switch (context.options.eFormat)
    {
    case kFormatJson:
        WriteJson(*context.pOut, samples);
        break;
    case kFormatCsv:
        WriteCsv(*context.pOut, samples);
        break;
    default:
        WriteText(*context.pOut, samples);
        break;
    }
    return bAllRead ? kExitOk : kExitFailed;
}
