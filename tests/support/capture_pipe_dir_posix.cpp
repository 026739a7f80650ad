#include "capture_pipe_dir.h"

#include <cstdlib>
#include <dirent.h>
#include <string>
#include <unistd.h>

void EnterPipeDirectory(CPipeDirectoryScope* pScope)
{
    const char* szOld = getenv("VENDREL_PIPE_DIR");
    pScope->bHadSaved = szOld != NULL;
    pScope->strSaved = szOld != NULL ? szOld : "";
    const char* szTmp = getenv("TMPDIR");
    std::string strTemplate =
        std::string(szTmp != NULL && *szTmp ? szTmp : "/tmp") + "/vendrel-pipes-XXXXXX";
    if (mkdtemp(&strTemplate[0]) != NULL)
    {
        pScope->strDir = strTemplate;
        setenv("VENDREL_PIPE_DIR", pScope->strDir.c_str(), 1);
    }
}

void LeavePipeDirectory(CPipeDirectoryScope* pScope)
{
    if (!pScope->strDir.empty())
    {
        DIR* pDir = opendir(pScope->strDir.c_str());
        if (pDir != NULL)
        {
            while (dirent* pEntry = readdir(pDir))
            {
                std::string strName = pEntry->d_name;
                if (strName != "." && strName != "..")
                {
                    unlink((pScope->strDir + "/" + strName).c_str());
                }
            }
            closedir(pDir);
        }
        rmdir(pScope->strDir.c_str());
        pScope->strDir.clear();
    }
    if (pScope->bHadSaved)
    {
        setenv("VENDREL_PIPE_DIR", pScope->strSaved.c_str(), 1);
    }
    else
    {
        unsetenv("VENDREL_PIPE_DIR");
    }
}
