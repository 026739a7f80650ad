// Reading the command line from one table of options: which commands take each option, and how
// its value is read.
#include "qtool_options.h"

#include "qtool_units.h"

#include <cstring>

namespace
{

// Bits for the commands an option applies to.
enum
{
    kForList = 1 << kCommandList,
    kForStats = 1 << kCommandStats,
    kForSamples = 1 << kCommandSamples,
    kForPurge = 1 << kCommandPurge,
    kForRescan = 1 << kCommandRescan,
    kForCheck = 1 << kCommandCheck,
    kForAll = kForList | kForStats | kForSamples | kForPurge | kForRescan | kForCheck,
};

enum EOption
{
    kOptHome,
    kOptComputer,
    kOptOlderThan,
    kOptNewerThan,
    kOptSince,
    kOptKeepBytes,
    kOptSha256,
    kOptDryRun,
    kOptFormat,
    kOptCount,
};

struct SOptionRule
{
    EOption eOption;
    const char* szName;
    // The value's name in usage and messages; null for a flag.
    const char* szValue;
    unsigned nCommands;
};

const SOptionRule kOptions[] = {
    {kOptHome, "--home", "DIR", kForAll},
    {kOptComputer, "--computer", "NAME", kForList | kForSamples | kForPurge},
    {kOptOlderThan, "--older-than", "AGE", kForList | kForPurge},
    {kOptNewerThan, "--newer-than", "AGE", kForList},
    {kOptSince, "--since", "AGE", kForSamples},
    {kOptKeepBytes, "--keep-bytes", "SIZE", kForPurge},
    {kOptSha256, "--sha256", nullptr, kForList},
    {kOptDryRun, "--dry-run", nullptr, kForPurge},
    {kOptFormat, "--format", "FORMAT", kForList | kForStats | kForSamples},
};

struct SCommandRule
{
    ECommand eCommand;
    const char* szName;
    // The formats it writes, as bits of EFormat.
    unsigned nFormats;
};

const SCommandRule kCommands[] = {
    {kCommandList, "list", 1u << kFormatText | 1u << kFormatJson | 1u << kFormatCsv},
    {kCommandStats, "stats", 1u << kFormatText | 1u << kFormatJson | 1u << kFormatPrometheus},
    {kCommandSamples, "samples", 1u << kFormatText | 1u << kFormatJson | 1u << kFormatCsv},
    {kCommandPurge, "purge", 1u << kFormatText},
    {kCommandRescan, "rescan", 1u << kFormatText},
    {kCommandCheck, "check", 1u << kFormatText},
};

const char* const kFormatNames[] = {"text", "json", "csv", "prometheus"};

const SOptionRule* FindOption(const char* szName, size_t nLength)
{
    for (const SOptionRule& rule : kOptions)
    {
        if (strlen(rule.szName) == nLength && strncmp(rule.szName, szName, nLength) == 0)
        {
            return &rule;
        }
    }
    return nullptr;
}

const SCommandRule* FindCommand(const char* szName)
{
    for (const SCommandRule& rule : kCommands)
    {
        if (strcmp(rule.szName, szName) == 0)
        {
            return &rule;
        }
    }
    return nullptr;
}

std::string Quoted(const char* szText)
{
    return std::string("'") + szText + "'";
}

// Stores one option's value; false with *pstrError for a value it cannot take.
bool TakeValue(const SOptionRule& rule, const char* szValue, SToolOptions* pOptions,
               std::string* pstrError)
{
    switch (rule.eOption)
    {
    case kOptHome:
        if (szValue[0] == '\0')
        {
            *pstrError = "--home needs a directory, not an empty value";
            return false;
        }
        pOptions->bHome = true;
        pOptions->strHome = szValue;
        return true;
    case kOptComputer:
        pOptions->bComputer = true;
        pOptions->strComputer = szValue;
        return true;
    case kOptOlderThan:
    case kOptNewerThan:
    case kOptSince:
    {
        int64_t nSeconds = 0;
        if (!ParseAge(szValue, &nSeconds))
        {
            *pstrError = "bad AGE " + Quoted(szValue) + " for " + rule.szName +
                         ": a number with d, h or m (90d, 12h, 30m); a bare number is days";
            return false;
        }
        bool* pbSet = rule.eOption == kOptOlderThan   ? &pOptions->bOlderThan
                      : rule.eOption == kOptNewerThan ? &pOptions->bNewerThan
                                                      : &pOptions->bSince;
        int64_t* pnSeconds = rule.eOption == kOptOlderThan   ? &pOptions->nOlderThanSeconds
                             : rule.eOption == kOptNewerThan ? &pOptions->nNewerThanSeconds
                                                             : &pOptions->nSinceSeconds;
        *pbSet = true;
        *pnSeconds = nSeconds;
        return true;
    }
    case kOptKeepBytes:
        if (!ParseSize(szValue, &pOptions->nKeepBytes))
        {
            *pstrError = "bad SIZE " + Quoted(szValue) +
                         " for --keep-bytes: bytes, or a number with K, M, G or T (powers of 1024)";
            return false;
        }
        pOptions->bKeepBytes = true;
        return true;
    case kOptFormat:
        for (size_t i = 0; i < sizeof(kFormatNames) / sizeof(kFormatNames[0]); ++i)
        {
            if (strcmp(kFormatNames[i], szValue) == 0)
            {
                pOptions->eFormat = static_cast<EFormat>(i);
                return true;
            }
        }
        *pstrError = "unknown format " + Quoted(szValue) + " for --format";
        return false;
    case kOptSha256:
        pOptions->bSha256 = true;
        return true;
    case kOptDryRun:
        pOptions->bDryRun = true;
        return true;
    case kOptCount:
        break;
    }
    return false;
}

// The formats a command writes, as "text|json|csv".
std::string FormatList(unsigned nFormats)
{
    std::string strList;
    for (size_t i = 0; i < sizeof(kFormatNames) / sizeof(kFormatNames[0]); ++i)
    {
        if ((nFormats & (1u << i)) != 0)
        {
            strList += (strList.empty() ? "" : "|") + std::string(kFormatNames[i]);
        }
    }
    return strList;
}

// What the options say together, once the command is known.
bool CheckCombination(const SCommandRule& command, const bool* abSeen, SToolOptions* pOptions,
                      std::string* pstrError)
{
    for (const SOptionRule& rule : kOptions)
    {
        if (abSeen[rule.eOption] && (rule.nCommands & (1u << command.eCommand)) == 0)
        {
            *pstrError =
                std::string("option ") + rule.szName + " does not apply to " + command.szName;
            return false;
        }
    }
    if (abSeen[kOptFormat] && (command.nFormats & (1u << pOptions->eFormat)) == 0)
    {
        *pstrError = std::string("format ") + Quoted(kFormatNames[pOptions->eFormat]) +
                     " does not apply to " + command.szName + " (" + FormatList(command.nFormats) +
                     ")";
        return false;
    }
    if (pOptions->bOlderThan && pOptions->bKeepBytes)
    {
        *pstrError = "purge takes --older-than or --keep-bytes, not both";
        return false;
    }
    return true;
}

} // namespace

EParseResult ParseCommandLine(int argc, const char* const* argv, SToolOptions* pOptions,
                              std::string* pstrError)
{
    *pOptions = SToolOptions();
    pstrError->clear();
    // --help and --version answer whatever else the line holds.
    for (int i = 1; i < argc; ++i)
    {
        if (strcmp(argv[i], "--help") == 0 || strcmp(argv[i], "-h") == 0)
        {
            return kParseHelp;
        }
        if (strcmp(argv[i], "--version") == 0)
        {
            return kParseVersion;
        }
    }

    bool abSeen[kOptCount] = {};
    const SCommandRule* pCommand = nullptr;
    for (int i = 1; i < argc; ++i)
    {
        const char* szArg = argv[i];
        if (szArg[0] != '-' || szArg[1] == '\0')
        {
            if (pCommand != nullptr)
            {
                *pstrError = "unexpected argument " + Quoted(szArg);
                return kParseUsageError;
            }
            pCommand = FindCommand(szArg);
            if (pCommand == nullptr)
            {
                *pstrError = "unknown command " + Quoted(szArg);
                return kParseUsageError;
            }
            continue;
        }
        // "--name value" or "--name=value".
        const char* pEquals = strchr(szArg, '=');
        size_t nNameLength =
            pEquals != nullptr ? static_cast<size_t>(pEquals - szArg) : strlen(szArg);
        const SOptionRule* pRule = FindOption(szArg, nNameLength);
        if (pRule == nullptr)
        {
            *pstrError = "unknown option " + Quoted(std::string(szArg, nNameLength).c_str());
            return kParseUsageError;
        }
        if (abSeen[pRule->eOption])
        {
            *pstrError = std::string("option ") + pRule->szName + " is given twice";
            return kParseUsageError;
        }
        abSeen[pRule->eOption] = true;
        const char* szValue = nullptr;
        if (pRule->szValue == nullptr)
        {
            if (pEquals != nullptr)
            {
                *pstrError = std::string("option ") + pRule->szName + " takes no value";
                return kParseUsageError;
            }
        }
        else if (pEquals != nullptr)
        {
            szValue = pEquals + 1;
        }
        else if (i + 1 < argc)
        {
            szValue = argv[++i];
        }
        else
        {
            *pstrError =
                std::string("option ") + pRule->szName + " needs a value (" + pRule->szValue + ")";
            return kParseUsageError;
        }
        if (!TakeValue(*pRule, szValue != nullptr ? szValue : "", pOptions, pstrError))
        {
            return kParseUsageError;
        }
    }
    if (pCommand == nullptr)
    {
        *pstrError = "no command given";
        return kParseUsageError;
    }
    pOptions->eCommand = pCommand->eCommand;
    if (!CheckCombination(*pCommand, abSeen, pOptions, pstrError))
    {
        return kParseUsageError;
    }
    return kParseRun;
}

const char* CommandName(ECommand eCommand)
{
    for (const SCommandRule& rule : kCommands)
    {
        if (rule.eCommand == eCommand)
        {
            return rule.szName;
        }
    }
    return "";
}

std::string UsageText(const char* szConfiguredHome)
{
    std::string strHome = szConfiguredHome != nullptr && szConfiguredHome[0] != '\0'
                              ? std::string(", else ") + szConfiguredHome
                              : std::string();
    return "usage: vendrel-quarantine [--home DIR] COMMAND [OPTIONS]\n"
           "\n"
           "  list     [--computer NAME] [--older-than AGE] [--newer-than AGE] [--sha256]\n"
           "           [--format text|json|csv]     quarantined files, oldest first\n"
           "  stats    [--format text|json|prometheus]\n"
           "                                        files, bytes, capacity, .store, computers\n"
           "  samples  [--since AGE] [--computer NAME] [--format text|json|csv]\n"
           "                                        files grouped by content (SHA-256)\n"
           "  purge    [--older-than AGE | --keep-bytes SIZE] [--computer NAME] [--dry-run]\n"
           "                                        deletes quarantined files; with neither\n"
           "                                        option, Quarantine_Retention_Days applies\n"
           "  rescan                                rewrites .store from a listing of the folder\n"
           "  check                                 checks the installation\n"
           "\n"
           "AGE is a number with d, h or m (90d, 12h, 30m); a bare number is days. SIZE is\n"
           "bytes, or a number with K, M, G or T (powers of 1024).\n"
           "The home directory is --home, else $KELSIO_HOME" +
           strHome +
           ", else two levels above\n"
           "this command's directory; its server.ini names the quarantine folder.\n"
           "\n"
           "Exit status: 0 done, 1 a file or check failed, 2 usage error.\n"
           "  --help     this text\n"
           "  --version  the version\n";
}
