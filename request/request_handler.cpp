// The request handler: reads the upload request through the CGI support library, runs the
// admission stages in their fixed order (capacity, signature, accounting, filing) and answers
// "Vendrel_OK" or "Vendrel_FAILED". Rejected uploads are deleted; every step is traced.
#include "request_handler.h"

#include "cgi_vars.h"
#include "kelsio.h"
#include "platform.h"
#include "quarantine.h"
#include "trace.h"
#include "trace_setup.h"
#include "upload_checks.h"
#include "verify.h"

#include <iostream>

namespace
{

// The source lines that the handler's traces carry; log readers know them by these.
enum
{
    kLineCgiGetVarsFailed = 54,
    kLineCgiGetVarsOk = 58,
    kLineVarMissing = 67,
    kLineVarMissingDeletion = 71,
    kLineBadComputerName = 81,
    kLineInvalidPath = 105,
    kLineInvalidFile = 106,
    kLineCapacityPass = 110,
    kLineSignaturePass = 117,
    kLineNewFileSize = 121,
    kLineFolderSizeUpdated = 123,
    kLineFiled = 128,
    kLineSignatureFailed = 135,
    kLineSignatureDeletion = 137,
    kLineCapacityFailed = 144,
    kLineCapacityDeletion = 146,
    kLineReceiveSuccess = 152,
    kLineReceiveFailed = 159,
    kLineException = 170,
};

const char* const s_szOkToken = "Vendrel_OK\r\n";
const char* const s_szFailedToken = "Vendrel_FAILED\r\n";

// Owns the library's variable array for the rest of the request, so that every return and an
// exception thrown by a stage all give it back.
class CCgiVarsGuard
{
public:
    explicit CCgiVarsGuard(char** ppVars) : m_ppVars(ppVars) {}
    ~CCgiVarsGuard() { cgiFreeVars(m_ppVars, nullptr); }
    CCgiVarsGuard(const CCgiVarsGuard&) = delete;
    CCgiVarsGuard& operator=(const CCgiVarsGuard&) = delete;

private:
    char** m_ppVars;
};

struct CRequestVars
{
    const char* szTempFileName;
    const char* szNewFileSize;
    const char* szComputerName;
    const char* szVerify;
};

void TraceDeletion(int nLine, const char* szPath)
{
    BOOL bRet = DeleteFileA(szPath);
    DWORD dwError = GetLastError();
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, nLine,
             "[Vendrel] DeleteFile(%s), bRet = %d, error = %d", szPath, bRet,
             static_cast<int>(dwError));
}

// A failed capacity or signature check: the upload is deleted and the endpoint told.
void RejectWithDeletion(OutputStreamConverter& out, const char* szPath, int nFailLine,
                        const char* szFailText, int nDeleteLine)
{
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, nFailLine, "%s", szFailText);
    TraceDeletion(nDeleteLine, szPath);
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineReceiveFailed,
             "[Vendrel] Receive File Failed.");
    out << s_szFailedToken;
}

// Runs the checks and stages on a complete set of variables and writes the answer token.
void AdmitUpload(OutputStreamConverter& out, const CRequestVars& vars)
{
    char szRecombinedDir[MAX_PATH] = {0};
    char szUploadDir[MAX_PATH] = {0};
    if (!IsInUploadDirectory(vars.szTempFileName, szRecombinedDir, szUploadDir))
    {
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineInvalidPath,
                 "[Vendrel] Invalid path.(%s)(%s)", szRecombinedDir, szUploadDir);
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineReceiveFailed,
                 "[Vendrel] Receive File Failed.");
        out << s_szFailedToken;
        return;
    }
    // Only a regular file is taken: a directory, a link or a device named as the upload is
    // refused before anything reads, counts, deletes or moves it. What counts against the
    // capacity and in the total is the file's own size: the signature binds the content, not
    // the size the request claims.
    int64_t nFileSize = 0;
    if (!IsRegularUploadFile(vars.szTempFileName, &nFileSize))
    {
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineInvalidFile,
                 "[Vendrel] Invalid file.(%s)", vars.szTempFileName);
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineReceiveFailed,
                 "[Vendrel] Receive File Failed.");
        out << s_szFailedToken;
        return;
    }

    if (!VerifyVirusFolderSize(nFileSize))
    {
        RejectWithDeletion(out, vars.szTempFileName, kLineCapacityFailed,
                           "[Vendrel] VerifyVirusFolderSize Failed. Upload file is to be delete.",
                           kLineCapacityDeletion);
        return;
    }
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineCapacityPass,
             "[Vendrel] VerifyVirusFolderSize Pass");

    if (!VerifyPassPort(vars.szTempFileName, vars.szComputerName, vars.szVerify))
    {
        RejectWithDeletion(out, vars.szTempFileName, kLineSignatureFailed,
                           "[Vendrel] VerifyPassPort Failed. Upload file is to be delete.",
                           kLineSignatureDeletion);
        return;
    }
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineSignaturePass,
             "[Vendrel] VerifyPassPort Pass");

    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineNewFileSize, "[Vendrel] NewFileSize=%s",
             vars.szNewFileSize);
    updateFolderSize(nFileSize);
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineFolderSizeUpdated,
             "[Vendrel] updateFolderSize OK");

    // An upload that could not be filed has been deleted: the endpoint must keep its copy, so
    // it is told that the upload failed rather than that it is stored.
    if (!MoveInfectedFile(vars.szComputerName, vars.szTempFileName))
    {
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineReceiveFailed,
                 "[Vendrel] Receive File Failed.");
        out << s_szFailedToken;
        return;
    }
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineFiled, "[Vendrel] MoveInfectedFile OK");
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineReceiveSuccess,
             "[Vendrel] Receive File Success.");
    out << s_szOkToken;
}

// Checks the variables of a decoded request and runs the stages; the caller gives the array
// back to the library afterwards.
void ServeVars(OutputStreamConverter& out, char** ppVars)
{
    CRequestVars vars;
    vars.szTempFileName = getCgiVar(ppVars, "TempFileName");
    vars.szNewFileSize = getCgiVar(ppVars, "NewFileSize");
    vars.szComputerName = getCgiVar(ppVars, "ComputerName");
    vars.szVerify = getCgiVar(ppVars, "Verify");
    if (vars.szTempFileName == nullptr || vars.szNewFileSize == nullptr ||
        vars.szComputerName == nullptr || vars.szVerify == nullptr)
    {
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineVarMissing,
                 "[Vendrel] cgiGetVars error");
        char szRecombinedDir[MAX_PATH] = {0};
        char szUploadDir[MAX_PATH] = {0};
        if (vars.szTempFileName != nullptr &&
            IsInUploadDirectory(vars.szTempFileName, szRecombinedDir, szUploadDir))
            TraceDeletion(kLineVarMissingDeletion, vars.szTempFileName);
        return;
    }

    if (!IsComputerNameAcceptable(vars.szComputerName))
    {
        LogTrace(kLevelRejected, VENDREL_TRACE_SOURCE, kLineBadComputerName,
                 "[Vendrel] Input parameter error, the request is invaild!");
        return;
    }

    AdmitUpload(out, vars);
}

void ServeRequest()
{
    OutputStreamConverter out(getResourceString(KELSIO_RES_CHARSET), &std::cout);
    out << "Pragma: no-cache\n";
    out << "Content-type: text/html;charset=" << getResourceString(KELSIO_RES_CHARSET) << "\n\n";

    char** ppVars = cgiGetVars(out.getCharEncoding(), true, nullptr, nullptr);
    if (ppVars == nullptr)
    {
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineCgiGetVarsFailed,
                 "[Vendrel] cgiGetVars error");
        freeResource();
        return;
    }
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineCgiGetVarsOk,
             "[Vendrel] cgiGetVars success");
    {
        // The variables go back to the library before its resources do, on every path.
        CCgiVarsGuard varsGuard(ppVars);
        ServeVars(out, ppVars);
    }
    freeResource();
}

} // namespace

int HandleRequest()
{
    InitDebugTrace("zeldebug.ini", "qvdbg20.dll", 2, "Vendrel", false);
    try
    {
        if (!loadResource())
            return 0;
        ServeRequest();
    }
    catch (...)
    {
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineException,
                 "[Vendrel] exception happen!!");
        freeResource();
    }
    return 0;
}
