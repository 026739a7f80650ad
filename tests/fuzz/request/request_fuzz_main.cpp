// libFuzzer entry points of the whole-request target. With REQUEST_FUZZ_SEEDS set to a
// directory, the seeds are written there and the process ends, so that the runner script can
// start from them.
#include "request_fuzz.h"

#include <cstdio>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* szSeedDir = getenv("REQUEST_FUZZ_SEEDS");
    if (szSeedDir != nullptr)
    {
        for (size_t i = 0; i < g_nRequestSeeds; ++i)
        {
            std::string strPath = std::string(szSeedDir) + "/" + g_requestSeeds[i].szName;
            FILE* pFile = fopen(strPath.c_str(), "wb");
            if (pFile == nullptr)
                exit(2);
            fwrite(g_requestSeeds[i].pData, 1, g_requestSeeds[i].nSize, pFile);
            fclose(pFile);
        }
        exit(0);
    }
    RequestFuzzInit();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    RequestFuzzOne(pData, nSize);
    return 0;
}
