#include "capture_pipe_dir.h"

#include <cstdlib>
#include <dirent.h>
#include <string>
#include <unistd.h>

static std::string g_strCaptureDir;

void EnterCapturePipeDirectory(std::string* pstrSaved, bool* pbHadSaved)
{
    const char* szOld = getenv("VENDREL_PIPE_DIR");
    *pbHadSaved = szOld != NULL;
    *pstrSaved = szOld != NULL ? szOld : "";
    const char* szTmp = getenv("TMPDIR");
    std::string strTemplate =
        std::string(szTmp != NULL && *szTmp ? szTmp : "/tmp") + "/vendrel-capture-XXXXXX";
    if (mkdtemp(&strTemplate[0]) != NULL)
    {
        g_strCaptureDir = strTemplate;
        setenv("VENDREL_PIPE_DIR", g_strCaptureDir.c_str(), 1);
    }
}

void LeaveCapturePipeDirectory(const std::string& strSaved, bool bHadSaved)
{
    if (!g_strCaptureDir.empty())
    {
        DIR* pDir = opendir(g_strCaptureDir.c_str());
        if (pDir != NULL)
        {
            while (dirent* pEntry = readdir(pDir))
            {
                std::string strName = pEntry->d_name;
                if (strName != "." && strName != "..")
                {
                    unlink((g_strCaptureDir + "/" + strName).c_str());
                }
            }
            closedir(pDir);
        }
        rmdir(g_strCaptureDir.c_str());
        g_strCaptureDir.clear();
    }
    if (bHadSaved)
    {
        setenv("VENDREL_PIPE_DIR", strSaved.c_str(), 1);
    }
    else
    {
        unsetenv("VENDREL_PIPE_DIR");
    }
}
