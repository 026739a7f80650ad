// Throughput of the MD5 digest against the system's md5sum on the same 64 MiB, and the cost of
// one signature verification of a 1 MB upload. Prints a table; run by hand:
//   build/release/bin/signature_bench
#include "md5.h"
#include "upload_signature.h"
#include "verify.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

const size_t kDigestBytes = 64u << 20;
const size_t kUploadBytes = 1u << 20;
const int kRounds = 3;

double Seconds(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::vector<unsigned char> MakeData(size_t nBytes)
{
    std::vector<unsigned char> data(nBytes);
    uint32_t nState = 0x12345678u;
    for (size_t i = 0; i < nBytes; ++i)
    {
        nState = nState * 1664525u + 1013904223u;
        data[i] = (unsigned char)(nState >> 24);
    }
    return data;
}

bool WriteFile(const std::string& strPath, const std::vector<unsigned char>& data)
{
    FILE* pFile = fopen(strPath.c_str(), "wb");
    if (!pFile)
    {
        return false;
    }
    bool bOk = fwrite(data.data(), 1, data.size(), pFile) == data.size();
    return fclose(pFile) == 0 && bOk;
}

// Best of kRounds, in seconds; szHex receives the digest.
double TimeDigest(const std::vector<unsigned char>& data, char* szHex)
{
    double dBest = 1e9;
    for (int i = 0; i < kRounds; ++i)
    {
        auto start = std::chrono::steady_clock::now();
        CMessageDigest5 digest;
        digest.HexDigest(data.data(), (uint32_t)data.size(), szHex, 33);
        dBest = std::min(dBest, Seconds(start));
    }
    return dBest;
}

double TimeEngine(PFN_PelixGetBackupFileInfoW pReadFunc, const std::string& strPath)
{
    WCHAR wszPath[1024];
    MultiByteToWideChar(CP_ACP, 0, strPath.c_str(), -1, wszPath, 1024);
    double dBest = 1e9;
    for (int i = 0; i < kRounds; ++i)
    {
        WCHAR wszRecord[3108 / 2];
        auto start = std::chrono::steady_clock::now();
        pReadFunc(wszPath, wszRecord);
        dBest = std::min(dBest, Seconds(start));
    }
    return dBest;
}

double TimeMd5sum(const std::string& strPath, std::string* pstrHex)
{
    double dBest = 1e9;
    for (int i = 0; i < kRounds; ++i)
    {
        std::string strCommand = "md5sum " + strPath;
        auto start = std::chrono::steady_clock::now();
        FILE* pPipe = popen(strCommand.c_str(), "r");
        char szLine[256] = "";
        if (!pPipe || !fgets(szLine, sizeof(szLine), pPipe))
        {
            szLine[0] = '\0';
        }
        if (pPipe)
        {
            pclose(pPipe);
        }
        dBest = std::min(dBest, Seconds(start));
        *pstrHex = std::string(szLine).substr(0, 32);
    }
    return dBest;
}

} // namespace

int main()
{
    const double dMiB = (double)kDigestBytes / (1 << 20);
    std::vector<unsigned char> data = MakeData(kDigestBytes);
    char szTemplate[] = "/tmp/vendrel_sigbench_XXXXXX";
    if (!mkdtemp(szTemplate))
    {
        perror("mkdtemp");
        return 1;
    }
    const std::string strDir = szTemplate;
    const std::string strBig = strDir + "/data64.bin";
    const std::string strUpload = strDir + "/upload1m.bin";
    if (!WriteFile(strBig, data) ||
        !WriteFile(strUpload,
                   std::vector<unsigned char>(data.begin(), data.begin() + kUploadBytes)))
    {
        perror("write");
        return 1;
    }

    PFN_PelixGetBackupFileInfoW pReadFunc = nullptr;
    if (LoadBackupInfoReader(&pReadFunc) != EEngineLoad::Ok)
    {
        fprintf(stderr, "signature_bench: the engine library is not beside the executable\n");
        return 1;
    }

    char szHex[33];
    double dDigest = TimeDigest(data, szHex);
    double dEngine = TimeEngine(pReadFunc, strBig);
    std::string strMd5sum;
    double dMd5sum = TimeMd5sum(strBig, &strMd5sum);

    // One verification of the 1 MB upload, signed the way an endpoint signs it.
    UploadSignature signature;
    ComputeUploadSignature(pReadFunc, strUpload.c_str(), "PC7", &signature);
    const int kVerifications = 50;
    int nMatched = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < kVerifications; ++i)
    {
        nMatched += VerifyPassPort(strUpload.c_str(), "PC7", signature.szMD5Password) ? 1 : 0;
    }
    double dVerify = Seconds(start) / kVerifications;

    printf("%-44s %12s %10s\n", "measure (64 MiB, best of 3)", "seconds", "MB/s");
    printf("%-44s %12.4f %10.1f\n", "CMessageDigest5, in memory", dDigest, dMiB / dDigest);
    printf("%-44s %12.4f %10.1f\n", "engine library, streaming from the file", dEngine,
           dMiB / dEngine);
    printf("%-44s %12.4f %10.1f\n", "md5sum, same file (process start included)", dMd5sum,
           dMiB / dMd5sum);
    printf("%-44s %12.3f ms\n", "VerifyPassPort, 1 MB upload (mean of 50)", dVerify * 1000);
    printf("digests agree: %s; verifications matched: %d of %d\n",
           strMd5sum == szHex ? "yes" : "NO", nMatched, kVerifications);

    unlink(strBig.c_str());
    unlink(strUpload.c_str());
    rmdir(strDir.c_str());
    return (strMd5sum == szHex && nMatched == kVerifications) ? 0 : 1;
}
