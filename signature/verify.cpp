// Upload signature verification: recomputes the signature that the uploaded file must carry and
// compares it with the one the endpoint sent.
#include "verify.h"

#include "upload_signature.h"

#include "trace.h"

// The source lines that the traces of this stage carry; log readers know them by these.
enum
{
    kLineLibraryFailed = 200,
    kLineLibraryLoaded = 203,
    kLineExportFailed = 208,
    kLineExportFound = 211,
    kLineEngineCalled = 218,
    kLineHashGenerated = 234,
    kLineNoMatch = 240,
    kLineMatch = 243,
};

// The traces of one call, in order: 203 and 211 once the engine is loaded and resolved, 218
// after the engine was asked, 234 with the hashed text, then 240 or 243. A call that cannot
// compute a signature fails with the line-240 trace and an empty MD5Password, leaving out what
// did not happen: a file name too long to convert gives 203, 211, 240 (the engine was never
// asked); an engine that fails or leaves no text, an engine text that does not convert, or a
// signed text too long for its hex form, gives 203, 211, 218, 240 (nothing was hashed).
bool VerifyPassPort(const char* szTempFileName, const char* szComputerName, const char* szVerify)
{
    PFN_PelixGetBackupFileInfoW pReadFunc = nullptr;
    EEngineLoad eLoad = LoadBackupInfoReader(&pReadFunc);
    if (eLoad == EEngineLoad::LibraryMissing)
    {
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineLibraryFailed,
                 "[Vendrel:VerifyPassPort] LoadLibrary pelix32.dll failed.");
        return false;
    }
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineLibraryLoaded,
             "[Vendrel:VerifyPassPort] LoadLibrary pelix32.dll success.");
    if (eLoad == EEngineLoad::ExportMissing)
    {
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineExportFailed,
                 "[Vendrel:VerifyPassPort] GetProcAddress \"PelixGetBackupFileInfoW\" failed.");
        return false;
    }
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineExportFound,
             "[Vendrel:VerifyPassPort] GetProcAddress \"PelixGetBackupFileInfoW\" success.");

    UploadSignature signature;
    ESignatureResult eResult =
        ComputeUploadSignature(pReadFunc, szTempFileName, szComputerName, &signature);
    if (eResult != ESignatureResult::PathUnconvertible)
    {
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineEngineCalled,
                 "[Vendrel:VerifyPassPort] call pReadFunc success.");
    }
    if (eResult == ESignatureResult::Ok)
    {
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineHashGenerated,
                 "[Vendrel:VerifyPassPort] Generate verify hash value success. '%s'",
                 signature.szScrambledHex);
    }

    if (eResult == ESignatureResult::Ok &&
        _mbscmp(reinterpret_cast<const unsigned char*>(szVerify),
                reinterpret_cast<const unsigned char*>(signature.szMD5Password)) == 0)
    {
        LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineMatch,
                 "[Vendrel:VerifyPassPort] Verify Signature match!");
        return true;
    }
    LogTrace(kLevelProgress, VENDREL_TRACE_SOURCE, kLineNoMatch,
             "[Vendrel:VerifyPassPort] signature not match!! strVerifySignature=%s, "
             "MD5Password=%s",
             szVerify, signature.szMD5Password);
    return false;
}
