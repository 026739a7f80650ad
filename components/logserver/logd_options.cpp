#include "logd_options.h"

#include <cstring>

bool ParseLogdOptions(int argc, char** argv, CLogdOptions* pOptions, std::string* pstrError)
{
    for (int i = 1; i < argc; i++)
    {
        const char* szOption = argv[i];
        bool bTakesValue = strcmp(szOption, "--pipe") == 0 || strcmp(szOption, "--output") == 0 ||
                           strcmp(szOption, "--format") == 0 || strcmp(szOption, "--group") == 0;
        if (!bTakesValue)
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
        if (strcmp(szOption, "--pipe") == 0)
        {
            if (strValue.empty() || strValue.find_first_of("/\\") != std::string::npos)
            {
                *pstrError = "--pipe takes a plain name";
                return false;
            }
            pOptions->strPipe = strValue;
        }
        else if (strcmp(szOption, "--output") == 0)
        {
            pOptions->strOutput = strValue;
        }
        else if (strcmp(szOption, "--group") == 0)
        {
            if (strValue.empty())
            {
                *pstrError = "--group takes a group name";
                return false;
            }
            pOptions->strGroup = strValue;
        }
        else if (strValue == "text")
        {
            pOptions->eFormat = ELogFormat::Text;
        }
        else if (strValue == "jsonl")
        {
            pOptions->eFormat = ELogFormat::Jsonl;
        }
        else
        {
            *pstrError = "--format takes text or jsonl";
            return false;
        }
    }
    return true;
}
