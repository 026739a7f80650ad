#include "service_command_line.h"

const char kLogdServiceName[] = "vendrel-logd";
const char kLogdServiceDisplayName[] = "Vendrel log server";

std::string QuoteWindowsArgument(const std::string& strArg)
{
    if (!strArg.empty() && strArg.find_first_of(" \t\n\v\"") == std::string::npos)
    {
        return strArg;
    }
    std::string strOut = "\"";
    size_t nBackslashes = 0;
    for (char c : strArg)
    {
        if (c == '\\')
        {
            nBackslashes++;
            continue;
        }
        // Backslashes are literal except before a quote, where each pair stands for one.
        size_t nWrite = c == '"' ? nBackslashes * 2 + 1 : nBackslashes;
        strOut.append(nWrite, '\\');
        strOut.push_back(c);
        nBackslashes = 0;
    }
    // Before the closing quote, too.
    strOut.append(nBackslashes * 2, '\\');
    strOut.push_back('"');
    return strOut;
}

static void AppendOption(std::string* pstrLine, const char* szOption, const std::string& strValue)
{
    *pstrLine += " ";
    *pstrLine += szOption;
    *pstrLine += " ";
    *pstrLine += QuoteWindowsArgument(strValue);
}

std::string ServiceCommandLine(const std::string& strExePath, const CLogdOptions& options)
{
    std::string strLine = QuoteWindowsArgument(strExePath) + " --service";
    AppendOption(&strLine, "--pipe", options.strPipe);
    if (!options.strOutput.empty())
    {
        AppendOption(&strLine, "--output", options.strOutput);
    }
    AppendOption(&strLine, "--format", options.eFormat == ELogFormat::Jsonl ? "jsonl" : "text");
    if (!options.strGroup.empty())
    {
        AppendOption(&strLine, "--group", options.strGroup);
    }
    if (options.nMaxSizeBytes != 0)
    {
        AppendOption(&strLine, "--max-size",
                     std::to_string(options.nMaxSizeBytes / kBytesPerMegabyte));
        AppendOption(&strLine, "--keep", std::to_string(options.nKeep));
    }
    return strLine;
}
