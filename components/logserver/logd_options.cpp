#include "logd_options.h"

#include "logd_service.h"

#include <cstring>

const char kLogdUsage[] =
    "usage: vendrel-logd [--pipe NAME] [--output FILE] [--format text|jsonl] [--group NAME]\n"
    "                    [--max-size MB [--keep N]]\n"
    "       vendrel-logd --install-service --output FILE [options]   (Windows)\n"
    "       vendrel-logd --remove-service                             (Windows)\n"
    "       vendrel-logd --help | --version\n"
    "  --pipe NAME        the pipe name (default Log_ServerNamePipe)\n"
    "  --output FILE      append to FILE (default standard output); on SIGHUP FILE is closed\n"
    "                     and opened anew, for log rotation (POSIX)\n"
    "  --format FORMAT    text (default): one readable line a record; jsonl: one JSON object\n"
    "                     a line\n"
    "  --group NAME       the group whose members may connect. POSIX: the socket has mode\n"
    "                     0660 (default: the server's own group). Windows: its members may\n"
    "                     write to the pipe (default: the system's pipe security, which lets\n"
    "                     only administrators and the server's account write)\n"
    "  --max-size MB      when FILE would pass MB megabytes (1-1048576), it becomes FILE.1,\n"
    "                     FILE.1 becomes FILE.2 and so on, and a new FILE is begun; records\n"
    "                     are never split between files\n"
    "  --keep N           generations FILE.1 ... FILE.N kept by --max-size (1-1000, default\n"
    "                     8); the oldest is deleted\n"
    "  --install-service  Windows: register the service vendrel-logd, started at boot, that\n"
    "                     serves with the other options given here (FILE made absolute)\n"
    "  --remove-service   Windows: stop the service and delete it\n"
    "  --help             print this text and exit\n"
    "  --version          print the version and exit\n";

namespace
{
// A decimal number from lo to hi, digits only (no sign, no blanks, no suffix).
bool ParseBoundedNumber(const std::string& strValue, unsigned nLow, unsigned nHigh,
                        unsigned* pnValue)
{
    if (strValue.empty() || strValue.size() > 10)
    {
        return false;
    }
    uint64_t nValue = 0;
    for (char c : strValue)
    {
        if (c < '0' || c > '9')
        {
            return false;
        }
        nValue = nValue * 10 + unsigned(c - '0');
    }
    if (nValue < nLow || nValue > nHigh)
    {
        return false;
    }
    *pnValue = unsigned(nValue);
    return true;
}

bool IsValueOption(const char* szOption)
{
    static const char* const aszWithValue[] = {"--pipe",  "--output",   "--format",
                                               "--group", "--max-size", "--keep"};
    for (const char* szKnown : aszWithValue)
    {
        if (strcmp(szOption, szKnown) == 0)
        {
            return true;
        }
    }
    return false;
}

// One option with its value; false with the reason when the value is not acceptable.
bool TakeValue(const std::string& strOption, const std::string& strValue, CLogdOptions* pOptions,
               std::string* pstrError)
{
    if (strOption == "--pipe")
    {
        if (strValue.empty() || strValue.find_first_of("/\\") != std::string::npos)
        {
            *pstrError = "--pipe takes a plain name, not '" + strValue + "'";
            return false;
        }
        pOptions->strPipe = strValue;
    }
    else if (strOption == "--output")
    {
        if (strValue.empty())
        {
            *pstrError = "--output takes a file name";
            return false;
        }
        pOptions->strOutput = strValue;
    }
    else if (strOption == "--group")
    {
        if (strValue.empty())
        {
            *pstrError = "--group takes a group name";
            return false;
        }
        pOptions->strGroup = strValue;
    }
    else if (strOption == "--format")
    {
        if (strValue == "text")
        {
            pOptions->eFormat = ELogFormat::Text;
        }
        else if (strValue == "jsonl")
        {
            pOptions->eFormat = ELogFormat::Jsonl;
        }
        else
        {
            *pstrError = "--format takes text or jsonl, not '" + strValue + "'";
            return false;
        }
    }
    else if (strOption == "--max-size")
    {
        unsigned nMb = 0;
        if (!ParseBoundedNumber(strValue, 1, kMaxSizeLimitMb, &nMb))
        {
            *pstrError = "--max-size takes a number of megabytes from 1 to " +
                         std::to_string(kMaxSizeLimitMb) + ", not '" + strValue + "'";
            return false;
        }
        pOptions->nMaxSizeBytes = uint64_t(nMb) * kBytesPerMegabyte;
    }
    else
    {
        if (!ParseBoundedNumber(strValue, 1, kMaxKeptGenerations, &pOptions->nKeep))
        {
            *pstrError = "--keep takes a number of generations from 1 to " +
                         std::to_string(kMaxKeptGenerations) + ", not '" + strValue + "'";
            return false;
        }
    }
    return true;
}

// Options that only make sense together.
bool CheckCombination(CLogdOptions* pOptions, std::string* pstrError)
{
    if (pOptions->nKeep != 0 && pOptions->nMaxSizeBytes == 0)
    {
        *pstrError = "--keep needs --max-size";
        return false;
    }
    if (pOptions->nMaxSizeBytes != 0 && pOptions->strOutput.empty())
    {
        *pstrError = "--max-size needs --output: standard output cannot be rotated";
        return false;
    }
    if (pOptions->nMaxSizeBytes != 0 && pOptions->nKeep == 0)
    {
        pOptions->nKeep = kDefaultKeptGenerations;
    }
    bool bService = pOptions->eAction == ELogdAction::InstallService ||
                    pOptions->eAction == ELogdAction::RunService;
    if (bService && pOptions->strOutput.empty())
    {
        // A service has no standard output: its records would go nowhere.
        *pstrError = "a service needs --output FILE";
        return false;
    }
    if (pOptions->eAction == ELogdAction::RemoveService && pOptions->bServeOptionGiven)
    {
        *pstrError = "--remove-service takes no other options";
        return false;
    }
    return true;
}

bool SetAction(ELogdAction eAction, const char* szOption, CLogdOptions* pOptions,
               std::string* pstrError)
{
    if (!LogdServicesSupported())
    {
        *pstrError = std::string(szOption) +
                     " registers a Windows service; here run vendrel-logd under the system's "
                     "service manager (for instance the package's vendrel-logd.service)";
        return false;
    }
    if (pOptions->eAction != ELogdAction::Serve)
    {
        *pstrError = std::string(szOption) + " cannot be combined with " +
                     "--install-service, --remove-service or --service";
        return false;
    }
    pOptions->eAction = eAction;
    return true;
}
} // namespace

bool ParseLogdOptions(int argc, char** argv, CLogdOptions* pOptions, std::string* pstrError)
{
    for (int i = 1; i < argc; i++)
    {
        const char* szOption = argv[i];
        if (strcmp(szOption, "--help") == 0)
        {
            pOptions->eAction = ELogdAction::Help;
            return true;
        }
        if (strcmp(szOption, "--version") == 0)
        {
            pOptions->eAction = ELogdAction::Version;
            return true;
        }
        if (strcmp(szOption, "--install-service") == 0 ||
            strcmp(szOption, "--remove-service") == 0 || strcmp(szOption, "--service") == 0)
        {
            ELogdAction eAction = szOption[2] == 'i'   ? ELogdAction::InstallService
                                  : szOption[2] == 'r' ? ELogdAction::RemoveService
                                                       : ELogdAction::RunService;
            if (!SetAction(eAction, szOption, pOptions, pstrError))
            {
                return false;
            }
            continue;
        }
        if (!IsValueOption(szOption))
        {
            *pstrError = std::string("unknown option: ") + szOption;
            return false;
        }
        if (i + 1 >= argc)
        {
            *pstrError = std::string(szOption) + " needs a value";
            return false;
        }
        std::string strValue = argv[++i];
        if (!TakeValue(szOption, strValue, pOptions, pstrError))
        {
            return false;
        }
        pOptions->bServeOptionGiven = true;
    }
    return CheckCombination(pOptions, pstrError);
}
