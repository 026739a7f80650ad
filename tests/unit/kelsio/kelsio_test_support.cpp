#include "kelsio_test_support.h"

#include <cstring>

namespace
{

long ReadFake(void* pContext, unsigned char* pBuffer, unsigned long nSize)
{
    CFakeRequest* pRequest = static_cast<CFakeRequest*>(pContext);
    size_t nLeft = pRequest->strBody.size() - pRequest->nConsumed;
    size_t nCount = nSize;
    if (nCount > nLeft)
        nCount = nLeft;
    if (nCount > pRequest->nChunk)
        nCount = pRequest->nChunk;
    memcpy(pBuffer, pRequest->strBody.data() + pRequest->nConsumed, nCount);
    pRequest->nConsumed += nCount;
    return static_cast<long>(nCount);
}

const char* GetFakeEnv(void* pContext, const char* szName)
{
    CFakeRequest* pRequest = static_cast<CFakeRequest*>(pContext);
    auto it = pRequest->env.find(szName);
    return it == pRequest->env.end() ? nullptr : it->second.c_str();
}

} // namespace

CVarPairs CFakeRequest::Parse(bool& bParsed)
{
    CKelsioRequestSource source;
    source.pfnRead = ReadFake;
    source.pReadContext = this;
    source.pfnGetEnv = GetFakeEnv;
    source.pEnvContext = this;
    source.szHomeDir = strHome.c_str();
    source.nMaxBodyBytes = nMaxBody;
    source.bSaveFileParts = bSaveFileParts;
    pVars.reset();
    char** ppVars = KelsioParseRequest(&source);
    bParsed = ppVars != nullptr;
    CVarPairs vars;
    if (ppVars == nullptr)
        return vars;
    pVars.reset(ppVars, [](char** pp) { cgiFreeVars(pp, nullptr); });
    for (char** pp = ppVars; pp[0] != nullptr; pp += 2)
        vars.emplace_back(pp[0], pp[1]);
    return vars;
}

CFakeRequest PostRequest(const std::string& strHome, const std::string& strContentType,
                         const std::string& strBody)
{
    CFakeRequest request;
    request.strHome = strHome;
    request.env["REQUEST_METHOD"] = "POST";
    request.env["CONTENT_TYPE"] = strContentType;
    request.env["CONTENT_LENGTH"] = std::to_string(strBody.size());
    request.strBody = strBody;
    return request;
}

CPart FieldPart(const std::string& strName, const std::string& strValue)
{
    return {"Content-Disposition: form-data; name=\"" + strName + "\"\r\n", strValue};
}

CPart FilePart(const std::string& strName, const std::string& strFileName,
               const std::string& strContent)
{
    return {"Content-Disposition: form-data; name=\"" + strName + "\"; filename=\"" + strFileName +
                "\"\r\nContent-Type: application/octet-stream\r\n",
            strContent};
}

std::string MultipartBody(const std::string& strBoundary, const std::vector<CPart>& parts)
{
    std::string strBody;
    for (const CPart& part : parts)
        strBody += "--" + strBoundary + "\r\n" + part.strHead + "\r\n" + part.strContent + "\r\n";
    return strBody + "--" + strBoundary + "--\r\n";
}
