#include "capture_pipe_dir.h"

#include <cstdlib>
#include <dirent.h>
#include <string>
#include <unistd.h>

void EnterPipeDirectory(CPipeDirectoryScope* pScope)
{
    pScope->saved = SaveEnvVar("VENDREL_PIPE_DIR");
    const char* szTmp = getenv("TMPDIR");
    std::string strTemplate =
        std::string(szTmp != NULL && *szTmp ? szTmp : "/tmp") + "/vendrel-pipes-XXXXXX";
    if (mkdtemp(&strTemplate[0]) != NULL)
    {
        pScope->strDir = strTemplate;
        SetEnvVar("VENDREL_PIPE_DIR", pScope->strDir.c_str());
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
    RestoreEnvVar(pScope->saved);
}
