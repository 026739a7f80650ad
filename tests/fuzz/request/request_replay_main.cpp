// Runs the whole-request fuzz target's seeds, each against the answer it must get, and then any
// input files named on the command line; the harness aborts on any broken rule.
#include "request_fuzz.h"

#include <cstdio>
#include <vector>

namespace
{

const char* AnswerName(EAnswer eAnswer)
{
    switch (eAnswer)
    {
    case EAnswer::Empty:
        return "empty";
    case EAnswer::Ok:
        return "OK";
    case EAnswer::Failed:
        return "FAILED";
    default:
        return "any";
    }
}

bool RunFile(const char* szPath)
{
    FILE* pFile = fopen(szPath, "rb");
    if (pFile == nullptr)
        return false;
    std::vector<uint8_t> data;
    int c;
    while ((c = fgetc(pFile)) != EOF)
        data.push_back(static_cast<uint8_t>(c));
    fclose(pFile);
    RequestFuzzOne(data.data(), data.size());
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    RequestFuzzInit();
    int nWrong = 0;
    for (size_t i = 0; i < g_nRequestSeeds; ++i)
    {
        const CRequestSeed& seed = g_requestSeeds[i];
        EAnswer eAnswer = RequestFuzzOne(reinterpret_cast<const uint8_t*>(seed.pData), seed.nSize);
        if (seed.eExpected != EAnswer::Any && eAnswer != seed.eExpected)
        {
            fprintf(stderr, "seed %s: answered %s, expected %s\n", seed.szName, AnswerName(eAnswer),
                    AnswerName(seed.eExpected));
            ++nWrong;
        }
    }
    for (int i = 1; i < argc; ++i)
    {
        if (!RunFile(argv[i]))
        {
            fprintf(stderr, "cannot read %s\n", argv[i]);
            ++nWrong;
        }
    }
    fprintf(stderr, "%zu seeds and %d files run, %d wrong answers\n", g_nRequestSeeds, argc - 1,
            nWrong);
    return nWrong == 0 ? 0 : 1;
}
