// One of several processes filing uploads into one quarantine folder at the same time.
//
//     quarantine_filer COMPUTER TAG COUNT RATE
//
// Makes COUNT uploads in <home>/TEMP, each holding "TAG:i", and files each with
// MoveInfectedFile under COMPUTER. It announces itself with the file "ready_TAG" in the home
// directory and starts when the file "go" appears there. At most RATE uploads are filed in one
// second of the clock: names give room for 1,000 uploads of one computer in one second, and the
// processes together stay below that while sharing every second. Exit status: the number of
// uploads that were not filed (at most 255).
#include "quarantine.h"

#include "kelsio.h"
#include "platform.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

static bool Exists(const std::string& strPath)
{
    return GetFileAttributesA(strPath.c_str()) != INVALID_FILE_ATTRIBUTES;
}

static bool WriteText(const std::string& strPath, const std::string& strText)
{
    FILE* pFile = fopen(strPath.c_str(), "wb");
    if (pFile == nullptr)
    {
        return false;
    }
    bool bOk = fwrite(strText.data(), 1, strText.size(), pFile) == strText.size();
    return fclose(pFile) == 0 && bOk;
}

int main(int argc, char** argv)
{
    if (argc != 5)
    {
        fprintf(stderr, "usage: quarantine_filer COMPUTER TAG COUNT RATE\n");
        return 255;
    }
    const char* szComputer = argv[1];
    std::string strTag = argv[2];
    int nCount = atoi(argv[3]);
    int nRate = atoi(argv[4]);
    char szHome[261] = {0};
    getHomeDir(szHome, 261);
    std::string strHome = szHome;
    if (strHome.empty() || nCount <= 0 || nRate <= 0)
    {
        return 255;
    }
    std::string strSep = VENDREL_DIR_SEP_STR;

    WriteText(strHome + strSep + "ready_" + strTag, "");
    // Bounded wait, so a test that died never leaves this process behind.
    for (int nWait = 0; !Exists(strHome + strSep + "go"); ++nWait)
    {
        if (nWait > 60000)
        {
            return 255;
        }
        Sleep(1);
    }

    int nFailed = 0;
    time_t nSecond = time(nullptr);
    int nInSecond = 0;
    for (int i = 0; i < nCount; ++i)
    {
        while (nInSecond >= nRate && time(nullptr) == nSecond)
        {
            Sleep(1);
        }
        if (time(nullptr) != nSecond)
        {
            nSecond = time(nullptr);
            nInSecond = 0;
        }
        ++nInSecond;
        std::string strUpload =
            strHome + strSep + "TEMP" + strSep + "upload_" + strTag + "_" + std::to_string(i);
        if (!WriteText(strUpload, strTag + ":" + std::to_string(i)) ||
            !MoveInfectedFile(szComputer, strUpload.c_str()))
        {
            ++nFailed;
        }
    }
    printf("filed %d of %d\n", nCount - nFailed, nCount);
    return nFailed > 255 ? 255 : nFailed;
}
