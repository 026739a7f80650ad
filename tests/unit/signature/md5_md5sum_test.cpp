// The digest against the system's md5sum on random inputs of random lengths.
#include "md5.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

std::string Md5sumOf(const std::vector<unsigned char>& data)
{
    char szPath[] = "/tmp/vendrel_md5_XXXXXX";
    int fd = mkstemp(szPath);
    if (fd < 0)
    {
        return "mkstemp failed";
    }
    FILE* pFile = fdopen(fd, "wb");
    if (!data.empty())
    {
        fwrite(data.data(), 1, data.size(), pFile);
    }
    fclose(pFile);
    std::string strCommand = std::string("md5sum < ") + szPath;
    FILE* pPipe = popen(strCommand.c_str(), "r");
    char szLine[128] = "";
    if (pPipe)
    {
        if (!fgets(szLine, sizeof(szLine), pPipe))
        {
            szLine[0] = '\0';
        }
        pclose(pPipe);
    }
    unlink(szPath);
    return std::string(szLine).substr(0, 32);
}

} // namespace

TEST(Md5DigestProperty, AgreesWithMd5sum)
{
    std::random_device device;
    const unsigned int nSeed = device();
    std::mt19937 generator(nSeed);
    std::uniform_int_distribution<int> byteDist(0, 255);
    std::uniform_int_distribution<int> lengthDist(0, 5000);
    for (int nRound = 0; nRound < 40; ++nRound)
    {
        // Every tenth round a length around a block boundary, the others anywhere.
        size_t nLength = (nRound % 10 == 0) ? (size_t)(64 * nRound + 55 + nRound % 3)
                                            : (size_t)lengthDist(generator);
        std::vector<unsigned char> data(nLength);
        for (auto& b : data)
        {
            b = (unsigned char)byteDist(generator);
        }
        CMessageDigest5 digest;
        char szHex[33];
        ASSERT_TRUE(digest.HexDigest(data.data(), (uint32_t)data.size(), szHex, 33));
        ASSERT_EQ(std::string(szHex), Md5sumOf(data)) << "seed " << nSeed << ", length " << nLength;
    }
}
