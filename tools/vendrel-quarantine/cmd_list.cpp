// list: the quarantined files, oldest first, then by name; with --sha256 each file's digest.
#include "commands.h"

#include "qtool_units.h"

#include <vector>

namespace
{

static const size_t kSizeColumn = 12;

struct SListRow
{
    const SQuarantinedFile* pFile;
    bool bHashed;
    std::string strSha256;
};

std::string TextLine(const SListRow& row, bool bSha256)
{
    const SQuarantinedFile& file = *row.pFile;
    std::string strLine = FormatIsoTime(file.nSeconds) + "  " +
                          PadLeft(FormatUnsigned(file.entry.nSize), kSizeColumn) + "  ";
    if (bSha256)
    {
        strLine += (row.bHashed ? row.strSha256 : std::string(kSha256HexChars, '-')) + "  ";
    }
    return strLine + TextField(file.Computer()) + "  " + TextField(file.entry.strName) + "\n";
}

std::string JsonObject(const SListRow& row, const CFolderDir& dir, bool bSha256)
{
    const SQuarantinedFile& file = *row.pFile;
    std::string strObject = "{\"name\": " + JsonString(file.entry.strName) +
                            ", \"computer\": " + JsonString(file.Computer()) + ", \"time\": \"" +
                            FormatIsoTime(file.nSeconds) +
                            "\", \"seconds\": " + FormatSigned(file.nSeconds) +
                            ", \"size\": " + FormatUnsigned(file.entry.nSize) +
                            ", \"path\": " + JsonString(dir.PathOf(file.entry.strName));
    if (bSha256)
    {
        strObject += std::string(", \"sha256\": ") +
                     (row.bHashed ? "\"" + row.strSha256 + "\"" : std::string("null"));
    }
    return strObject + "}";
}

std::string CsvLine(const SListRow& row, const CFolderDir& dir, bool bSha256)
{
    const SQuarantinedFile& file = *row.pFile;
    std::string strLine = CsvField(file.entry.strName) + "," + CsvField(file.Computer()) + "," +
                          FormatIsoTime(file.nSeconds) + "," + FormatSigned(file.nSeconds) + "," +
                          FormatUnsigned(file.entry.nSize) + "," +
                          CsvField(dir.PathOf(file.entry.strName));
    if (bSha256)
    {
        strLine += "," + (row.bHashed ? row.strSha256 : std::string());
    }
    return strLine + "\r\n";
}

} // namespace

int RunList(const SToolContext& context)
{
    const SToolOptions& options = context.options;
    CFolderDir dir;
    SFolderListing listing;
    if (!OpenAndList(context, &dir, &listing))
    {
        return kExitFailed;
    }
    SFileFilter filter = FilterFromOptions(options);
    bool bAllRead = true;
    std::vector<SListRow> rows;
    for (const SQuarantinedFile& file : listing.files)
    {
        if (!MatchesFilter(file, filter, context.nNow))
        {
            continue;
        }
        SListRow row = {&file, false, std::string()};
        if (options.bSha256)
        {
            row.bHashed = HashQuarantinedFile(context, &dir, file, &row.strSha256);
            bAllRead = bAllRead && row.bHashed;
        }
        rows.push_back(row);
    }

    COutput& out = *context.pOut;
    switch (options.eFormat)
    {
    case kFormatJson:
        out.Write("[");
        for (size_t i = 0; i < rows.size(); ++i)
        {
            out.Write((i == 0 ? "\n  " : ",\n  ") + JsonObject(rows[i], dir, options.bSha256));
        }
        out.Write(rows.empty() ? "]\n" : "\n]\n");
        break;
    case kFormatCsv:
        out.Write(std::string("name,computer,time,seconds,size,path") +
                  (options.bSha256 ? ",sha256" : "") + "\r\n");
        for (const SListRow& row : rows)
        {
            out.Write(CsvLine(row, dir, options.bSha256));
        }
        break;
    default:
        for (const SListRow& row : rows)
        {
            out.Write(TextLine(row, options.bSha256));
        }
        break;
    }
    return bAllRead ? kExitOk : kExitFailed;
}
