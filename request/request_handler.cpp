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
    LogTrace(4, VENDREL_TRACE_SOURCE, nLine, "[Vendrel] DeleteFile(%s), bRet = %d, error = %d",
             szPath, bRet, static_cast<int>(dwError));
}

// A failed capacity or signature check: the upload is deleted and the endpoint told.
void RejectWithDeletion(OutputStreamConverter& out, const char* szPath, int nFailLine,
                        const char* szFailText, int nDeleteLine)
{
    LogTrace(4, VENDREL_TRACE_SOURCE, nFailLine, "%s", szFailText);
    TraceDeletion(nDeleteLine, szPath);
    LogTrace(4, VENDREL_TRACE_SOURCE, 159, "[Vendrel] Receive File Failed.");
    out << s_szFailedToken;
}

// Runs the checks and stages on a complete set of variables and writes the answer token.
void AdmitUpload(OutputStreamConverter& out, const CRequestVars& vars)
{
    char szRecombinedDir[UPLOAD_DIR_BUFFER] = {0};
    char szUploadDir[UPLOAD_DIR_BUFFER] = {0};
    if (!IsInUploadDirectory(vars.szTempFileName, szRecombinedDir, szUploadDir))
    {
        LogTrace(4, VENDREL_TRACE_SOURCE, 105, "[Vendrel] Invalid path.(%s)(%s)", szRecombinedDir,
                 szUploadDir);
        LogTrace(4, VENDREL_TRACE_SOURCE, 159, "[Vendrel] Receive File Failed.");
        out << s_szFailedToken;
        return;
    }
    // Only a regular file is taken: a directory, a link or a device named as the upload is
    // refused before anything reads, counts, deletes or moves it.
    if (!IsRegularUploadFile(vars.szTempFileName))
    {
        LogTrace(4, VENDREL_TRACE_SOURCE, 106, "[Vendrel] Invalid file.(%s)", vars.szTempFileName);
        LogTrace(4, VENDREL_TRACE_SOURCE, 159, "[Vendrel] Receive File Failed.");
        out << s_szFailedToken;
        return;
    }

    if (!VerifyVirusFolderSize(ReadUploadSize(vars.szNewFileSize)))
    {
        RejectWithDeletion(out, vars.szTempFileName, 144,
                           "[Vendrel] VerifyVirusFolderSize Failed. Upload file is to be delete.",
                           146);
        return;
    }
    LogTrace(4, VENDREL_TRACE_SOURCE, 110, "[Vendrel] VerifyVirusFolderSize Pass");

    if (!VerifyPassPort(vars.szTempFileName, vars.szComputerName, vars.szVerify))
    {
        RejectWithDeletion(out, vars.szTempFileName, 135,
                           "[Vendrel] VerifyPassPort Failed. Upload file is to be delete.", 137);
        return;
    }
    LogTrace(4, VENDREL_TRACE_SOURCE, 117, "[Vendrel] VerifyPassPort Pass");

    LogTrace(4, VENDREL_TRACE_SOURCE, 121, "[Vendrel] NewFileSize=%s", vars.szNewFileSize);
    updateFolderSize(ReadUploadSize(vars.szNewFileSize));
    LogTrace(4, VENDREL_TRACE_SOURCE, 123, "[Vendrel] updateFolderSize OK");

    // An upload that could not be filed has been deleted: the endpoint must keep its copy, so
    // it is told that the upload failed rather than that it is stored.
    if (!MoveInfectedFile(vars.szComputerName, vars.szTempFileName))
    {
        LogTrace(4, VENDREL_TRACE_SOURCE, 159, "[Vendrel] Receive File Failed.");
        out << s_szFailedToken;
        return;
    }
    LogTrace(4, VENDREL_TRACE_SOURCE, 128, "[Vendrel] MoveInfectedFile OK");
    LogTrace(4, VENDREL_TRACE_SOURCE, 152, "[Vendrel] Receive File Success.");
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
        LogTrace(4, VENDREL_TRACE_SOURCE, 67, "[Vendrel] cgiGetVars error");
        char szRecombinedDir[UPLOAD_DIR_BUFFER] = {0};
        char szUploadDir[UPLOAD_DIR_BUFFER] = {0};
        if (vars.szTempFileName != nullptr &&
            IsInUploadDirectory(vars.szTempFileName, szRecombinedDir, szUploadDir))
            TraceDeletion(71, vars.szTempFileName);
        return;
    }

    if (!IsComputerNameAcceptable(vars.szComputerName))
    {
        LogTrace(8, VENDREL_TRACE_SOURCE, 81,
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
        LogTrace(4, VENDREL_TRACE_SOURCE, 54, "[Vendrel] cgiGetVars error");
        freeResource();
        return;
    }
    LogTrace(4, VENDREL_TRACE_SOURCE, 58, "[Vendrel] cgiGetVars success");
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
        LogTrace(4, VENDREL_TRACE_SOURCE, 170, "[Vendrel] exception happen!!");
        freeResource();
    }
    return 0;
}
