// Finding the installation's home directory and pointing the settings code at it.
#include "qtool_home.h"

#include "platform.h"

#include <cstdlib>
#include <sys/stat.h>

// The command lives in <home>/cgi/bin: its file name, then bin, then cgi.
static const int kLevelsAboveExe = 3;

static bool IsSeparator(char c)
{
    return c == '/' || c == VENDREL_DIR_SEP;
}

static void TrimTrailingSeparators(std::string* pstrPath)
{
    // A root ("/", "C:\") keeps its separator.
    while (pstrPath->size() > 1 && IsSeparator(pstrPath->back()) &&
           (*pstrPath)[pstrPath->size() - 2] != ':')
    {
        pstrPath->pop_back();
    }
}

// Drops nLevels trailing components; false when the path has fewer.
static bool CutComponents(std::string* pstrPath, int nLevels)
{
    for (int i = 0; i < nLevels; ++i)
    {
        TrimTrailingSeparators(pstrPath);
        size_t nPos = pstrPath->size();
        while (nPos > 0 && !IsSeparator((*pstrPath)[nPos - 1]))
        {
            --nPos;
        }
        if (nPos == 0)
        {
            return false;
        }
        pstrPath->resize(nPos);
    }
    TrimTrailingSeparators(pstrPath);
    return !pstrPath->empty();
}

EHomeSource FindHome(const char* szOption, const char* szEnvironment, const char* szConfigured,
                     const char* szExePath, std::string* pstrHome)
{
    pstrHome->clear();
    EHomeSource eSource = kHomeNone;
    if (szOption != nullptr && szOption[0] != '\0')
    {
        *pstrHome = szOption;
        eSource = kHomeFromOption;
    }
    else if (szEnvironment != nullptr && szEnvironment[0] != '\0')
    {
        *pstrHome = szEnvironment;
        eSource = kHomeFromEnvironment;
    }
    else if (szConfigured != nullptr && szConfigured[0] != '\0')
    {
        *pstrHome = szConfigured;
        eSource = kHomeConfigured;
    }
    else if (szExePath != nullptr && szExePath[0] != '\0')
    {
        *pstrHome = szExePath;
        if (!CutComponents(pstrHome, kLevelsAboveExe))
        {
            pstrHome->clear();
            return kHomeNone;
        }
        return kHomeBesideCommand;
    }
    TrimTrailingSeparators(pstrHome);
    return eSource;
}

bool IsExistingDirectory(const char* szHome)
{
    struct stat st;
    return stat(szHome, &st) == 0 && (st.st_mode & S_IFMT) == S_IFDIR;
}

bool UseHome(const char* szHome)
{
    // putenv keeps the text it is given: it must live as long as the process.
    static std::string s_strEntry;
    s_strEntry = std::string("KELSIO_HOME=") + szHome;
    return putenv(&s_strEntry[0]) == 0;
}

const char* HomeSourceText(EHomeSource eSource)
{
    switch (eSource)
    {
    case kHomeFromOption:
        return "--home";
    case kHomeFromEnvironment:
        return "KELSIO_HOME";
    case kHomeConfigured:
        return "the build's configured home";
    case kHomeBesideCommand:
        return "two levels above the command's directory";
    case kHomeNone:
        break;
    }
    return "nothing";
}
