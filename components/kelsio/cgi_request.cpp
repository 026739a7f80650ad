// The CGI request (RFC 3875): GET takes its variables from QUERY_STRING; POST reads exactly
// CONTENT_LENGTH bytes of standard input as application/x-www-form-urlencoded or
// multipart/form-data, and takes the body's variables first, then those of QUERY_STRING. Any
// other method or content type is refused.
#include "kelsio_request.h"

#include "body_source.h"
#include "header_params.h"
#include "multipart.h"
#include "text_util.h"
#include "upload_files.h"
#include "upload_registry.h"
#include "url_form.h"
#include "var_table.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

namespace
{

const char* const s_szSettingsSection = "INI_SERVER_SECTION";
const char* const s_szUploadMaxKey = "Upload_Max_Size";
const int UPLOAD_MAX_DEFAULT_MB = 100;
const char* const s_szUploadStaleKey = "Upload_Stale_Minutes";
const int UPLOAD_STALE_DEFAULT_MINUTES = 60;
// RFC 2046 limits a boundary to 70 characters.
const size_t MULTIPART_MAX_BOUNDARY = 70;

enum EBodyType
{
    BODY_UNSUPPORTED,
    BODY_URLENCODED,
    BODY_MULTIPART,
};

const char* GetVar(const CKelsioRequestSource& source, const char* szName)
{
    return source.pfnGetEnv != nullptr ? source.pfnGetEnv(source.pEnvContext, szName) : nullptr;
}

// CONTENT_LENGTH is 1*DIGIT; anything else, or a number too large to hold, is refused.
bool ParseContentLength(const char* szText, unsigned long long& nLength)
{
    if (szText == nullptr || szText[0] == '\0')
        return false;
    nLength = 0;
    for (const char* p = szText; *p != '\0'; ++p)
    {
        if (*p < '0' || *p > '9')
            return false;
        unsigned long long nDigit = static_cast<unsigned long long>(*p - '0');
        if (nLength > (~0ull - nDigit) / 10)
            return false;
        nLength = nLength * 10 + nDigit;
    }
    return true;
}

EBodyType ClassifyBody(const char* szContentType, std::string& strBoundary)
{
    CHeaderValue value;
    if (szContentType == nullptr || !KelsioParseHeaderValue(szContentType, value))
        return BODY_UNSUPPORTED;
    if (KelsioEqualsNoCase(value.strType.c_str(), "application/x-www-form-urlencoded"))
        return BODY_URLENCODED;
    if (!KelsioEqualsNoCase(value.strType.c_str(), "multipart/form-data"))
        return BODY_UNSUPPORTED;
    const std::string* pBoundary = KelsioFindParam(value, "boundary");
    if (pBoundary == nullptr || pBoundary->empty() || pBoundary->size() > MULTIPART_MAX_BOUNDARY ||
        pBoundary->find_first_of(std::string("\r\n\0", 3)) != std::string::npos)
        return BODY_UNSUPPORTED;
    strBoundary = *pBoundary;
    return BODY_MULTIPART;
}

bool ParseQueryString(const CKelsioRequestSource& source, CVarTable& table)
{
    const char* szQuery = GetVar(source, "QUERY_STRING");
    if (szQuery == nullptr)
        return true;
    CMemoryInput input = {reinterpret_cast<const unsigned char*>(szQuery), strlen(szQuery)};
    CBodySource query(KelsioReadMemory, &input, input.nLeft);
    return KelsioParseUrlEncoded(query, table);
}

bool ParseBody(const CKelsioRequestSource& source, CVarTable& table, CUploadFiles& uploads)
{
    unsigned long long nLength = 0;
    if (!ParseContentLength(GetVar(source, "CONTENT_LENGTH"), nLength) ||
        nLength > source.nMaxBodyBytes)
        return false;
    std::string strBoundary;
    EBodyType type = ClassifyBody(GetVar(source, "CONTENT_TYPE"), strBoundary);
    CBodySource body(source.pfnRead, source.pReadContext, nLength);
    if (type == BODY_URLENCODED)
        return KelsioParseUrlEncoded(body, table);
    if (type == BODY_MULTIPART)
        return KelsioParseMultipart(body, strBoundary, table, uploads, source.bSaveFileParts);
    return false;
}

bool ParseRequest(const CKelsioRequestSource& source, CVarTable& table, CUploadFiles& uploads)
{
    const char* szMethod = GetVar(source, "REQUEST_METHOD");
    if (szMethod == nullptr)
        return false;
    if (strcmp(szMethod, "GET") == 0)
        return ParseQueryString(source, table);
    if (strcmp(szMethod, "POST") == 0)
        return ParseBody(source, table, uploads) && ParseQueryString(source, table);
    return false;
}

long ReadStdin(void*, unsigned char* pBuffer, unsigned long nSize)
{
    size_t nRead = fread(pBuffer, 1, nSize, stdin);
    if (nRead == 0 && ferror(stdin))
        return -1;
    return static_cast<long>(nRead);
}

const char* GetEnvironment(void*, const char* szName)
{
    return getenv(szName);
}

} // namespace

char** KelsioParseRequest(const CKelsioRequestSource* pSource)
{
    if (pSource == nullptr)
        return nullptr;
    try
    {
        CVarTable table;
        CUploadFiles uploads(pSource->szHomeDir);
        if (!ParseRequest(*pSource, table, uploads))
            return nullptr;
        char** ppVars = table.BuildArray();
        if (ppVars != nullptr)
            uploads.HandOver(ppVars);
        return ppVars;
    }
    catch (const std::exception&)
    {
        // Out of memory, or no random source: the upload files are gone with `uploads`.
        return nullptr;
    }
}

char** cgiGetVars(CharEncoding, bool bSaveFileParts, unsigned char** ppRawBody, long* pnRawLength)
{
    // The body is kept nowhere: a file part may be far larger than memory should hold.
    if (ppRawBody != nullptr)
        *ppRawBody = nullptr;
    if (pnRawLength != nullptr)
        *pnRawLength = 0;

    // Bytes of the body, not text: no CR LF translation may touch them.
    _setmode(_fileno(stdin), _O_BINARY);

    char szHome[MAX_PATH] = {0};
    getHomeDir(szHome, MAX_PATH);
    KelsioSweepStaleUploads(szHome, getINIint(s_szSettingsSection, s_szUploadStaleKey,
                                              UPLOAD_STALE_DEFAULT_MINUTES, nullptr));
    int nMaxMegabytes =
        getINIint(s_szSettingsSection, s_szUploadMaxKey, UPLOAD_MAX_DEFAULT_MB, nullptr);
    if (nMaxMegabytes < 0)
        nMaxMegabytes = 0;

    CKelsioRequestSource source;
    source.pfnRead = ReadStdin;
    source.pReadContext = nullptr;
    source.pfnGetEnv = GetEnvironment;
    source.pEnvContext = nullptr;
    source.szHomeDir = szHome;
    source.nMaxBodyBytes = static_cast<unsigned long long>(nMaxMegabytes) * 1024ull * 1024ull;
    source.bSaveFileParts = bSaveFileParts;
    return KelsioParseRequest(&source);
}

void cgiFreeVars(char** ppVars, unsigned char*)
{
    if (ppVars == nullptr)
        return;
    // What the program did not move away or delete itself is of no further use.
    KelsioUploadRemove(ppVars);
    // The array and its texts are one allocation.
    free(ppVars);
}
