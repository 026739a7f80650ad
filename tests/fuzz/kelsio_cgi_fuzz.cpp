// Feeds arbitrary CGI requests to the request parser. The input is split into a method, a
// content type, a CONTENT_LENGTH, a way of reading, a query string and a body. A refused request
// must leave no file in the upload directory; an accepted one must name every file it made, and
// freeing its array must delete them all.
#include "kelsio_request.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <system_error>

namespace fs = std::filesystem;

namespace
{

const size_t FUZZ_HEAD_BYTES = 7;

struct CFuzzRequest
{
    std::map<std::string, std::string> env;
    const uint8_t* pBody;
    size_t nBodyLeft;
    size_t nChunk;
};

long ReadFuzz(void* pContext, unsigned char* pBuffer, unsigned long nSize)
{
    CFuzzRequest* pRequest = static_cast<CFuzzRequest*>(pContext);
    size_t nCount = nSize;
    if (nCount > pRequest->nBodyLeft)
        nCount = pRequest->nBodyLeft;
    if (nCount > pRequest->nChunk)
        nCount = pRequest->nChunk;
    if (nCount > 0)
        memcpy(pBuffer, pRequest->pBody, nCount);
    pRequest->pBody += nCount;
    pRequest->nBodyLeft -= nCount;
    return static_cast<long>(nCount);
}

const char* GetFuzzEnv(void* pContext, const char* szName)
{
    CFuzzRequest* pRequest = static_cast<CFuzzRequest*>(pContext);
    auto it = pRequest->env.find(szName);
    return it == pRequest->env.end() ? nullptr : it->second.c_str();
}

std::string g_strHome;
std::string g_strTemp;

size_t CountTempFiles()
{
    size_t nCount = 0;
    for (auto it = fs::directory_iterator(g_strTemp); it != fs::directory_iterator(); ++it)
        ++nCount;
    return nCount;
}

void ClearTemp()
{
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(g_strTemp))
        fs::remove(entry.path(), error);
}

const char* Method(uint8_t b)
{
    switch (b % 8)
    {
    case 0:
        return "GET";
    case 1:
        return "PUT";
    case 2:
        return nullptr;
    default:
        return "POST";
    }
}

const char* ContentType(uint8_t b)
{
    switch (b % 8)
    {
    case 0:
        return "application/x-www-form-urlencoded";
    case 1:
        return nullptr;
    case 2:
        return "text/plain";
    case 3:
        return "multipart/form-data; boundary=\"fz\"";
    default:
        return "multipart/form-data; boundary=fz";
    }
}

void SetLength(CFuzzRequest& request, uint8_t bMode, uint8_t bDelta, size_t nBody)
{
    switch (bMode % 8)
    {
    case 0:
        return;
    case 1:
        request.env["CONTENT_LENGTH"] = "1x";
        return;
    case 2:
        request.env["CONTENT_LENGTH"] = std::to_string(nBody + 1 + bDelta % 16);
        return;
    case 3:
        request.env["CONTENT_LENGTH"] =
            std::to_string(nBody - (bDelta % 16 < nBody ? bDelta % 16 : nBody));
        return;
    default:
        request.env["CONTENT_LENGTH"] = std::to_string(nBody);
    }
}

void RemoveHome()
{
    std::error_code error;
    fs::remove_all(g_strHome, error);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    char szTemplate[] = "/tmp/kelsio-fuzz-XXXXXX";
    if (mkdtemp(szTemplate) == nullptr)
        abort();
    g_strHome = szTemplate;
    g_strTemp = g_strHome + "/TEMP";
    fs::create_directories(g_strTemp);
    atexit(RemoveHome);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize)
{
    if (nSize < FUZZ_HEAD_BYTES)
        return 0;
    CFuzzRequest request;
    const char* szMethod = Method(pData[0]);
    if (szMethod != nullptr)
        request.env["REQUEST_METHOD"] = szMethod;
    const char* szType = ContentType(pData[1]);
    if (szType != nullptr)
        request.env["CONTENT_TYPE"] = szType;
    request.nChunk = pData[3] == 0 ? (1u << 20) : pData[3];
    bool bSave = (pData[4] & 1) == 0;
    unsigned long long nMaxBody = (pData[4] & 2) ? 1000 : 100ull * 1024 * 1024;

    size_t nQuery = static_cast<size_t>(pData[5]) | (static_cast<size_t>(pData[6]) << 8);
    const uint8_t* pRest = pData + FUZZ_HEAD_BYTES;
    size_t nRest = nSize - FUZZ_HEAD_BYTES;
    if (nQuery > nRest)
        nQuery = nRest;
    // A query string is an environment text: it ends at its first NUL.
    std::string strQuery(reinterpret_cast<const char*>(pRest), nQuery);
    request.env["QUERY_STRING"] = strQuery.c_str();
    request.pBody = pRest + nQuery;
    request.nBodyLeft = nRest - nQuery;
    SetLength(request, pData[2], pData[2] >> 3, request.nBodyLeft);

    CKelsioRequestSource source;
    source.pfnRead = ReadFuzz;
    source.pReadContext = &request;
    source.pfnGetEnv = GetFuzzEnv;
    source.pEnvContext = &request;
    source.szHomeDir = g_strHome.c_str();
    source.nMaxBodyBytes = nMaxBody;
    source.bSaveFileParts = bSave;

    char** ppVars = KelsioParseRequest(&source);
    if (ppVars == nullptr)
    {
        if (CountTempFiles() != 0)
        {
            fprintf(stderr, "refused request left an upload file behind\n");
            abort();
        }
        return 0;
    }
    // Every file the request made is named by a variable, by its exact path, and freeing the
    // array deletes every one of them.
    std::set<std::string> values;
    for (char** pp = ppVars; pp[0] != nullptr; pp += 2)
        values.insert(pp[1]);
    for (const auto& entry : fs::directory_iterator(g_strTemp))
    {
        if (values.count(entry.path().string()) == 0)
        {
            fprintf(stderr, "accepted request made a file that no variable names: %s\n",
                    entry.path().string().c_str());
            ClearTemp();
            abort();
        }
    }
    cgiFreeVars(ppVars, nullptr);
    if (CountTempFiles() != 0)
    {
        fprintf(stderr, "freeing the array left an upload file behind\n");
        ClearTemp();
        abort();
    }
    return 0;
}
