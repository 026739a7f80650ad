// Computing the upload signature through the scanning engine's library.
#include "upload_signature.h"

#include "md5.h"
#include "scrambler.h"

#include <cstring>

EEngineLoad LoadBackupInfoReader(PFN_PelixGetBackupFileInfoW* ppReadFunc)
{
    *ppReadFunc = nullptr;
    // Never freed: the process ends with the request, and the engine may keep state of its own.
    HMODULE hEngine = LoadLibraryA("pelix32.dll");
    if (!hEngine)
    {
        return EEngineLoad::LibraryMissing;
    }
    FARPROC pProc = GetProcAddress(hEngine, "PelixGetBackupFileInfoW");
    if (!pProc)
    {
        return EEngineLoad::ExportMissing;
    }
    *ppReadFunc = reinterpret_cast<PFN_PelixGetBackupFileInfoW>(reinterpret_cast<void*>(pProc));
    return EEngineLoad::Ok;
}

ESignatureResult ComputeUploadSignature(PFN_PelixGetBackupFileInfoW pReadFunc,
                                        const char* szTempFileName, const char* szComputerName,
                                        UploadSignature* pSignature)
{
    CMessageDigest5 digest;
    pSignature->dwEngineResult = 0;
    pSignature->szScrambledHex[0] = '\0';
    pSignature->szMD5Password[0] = '\0';

    WCHAR wszPath[kSignatureTextSize];
    if (MultiByteToWideChar(CP_ACP, MB_PRECOMPOSED, szTempFileName, -1, wszPath,
                            kSignatureTextSize) == 0)
    {
        return ESignatureResult::PathUnconvertible;
    }

    // Zeroed before the call and terminated after it, so that whatever the engine leaves the
    // text read below ends inside the record.
    WCHAR wszBackupFileInfo[kBackupFileInfoSize / sizeof(WCHAR)];
    static_assert(sizeof(wszBackupFileInfo) == kBackupFileInfoSize, "record size");
    memset(wszBackupFileInfo, 0, sizeof(wszBackupFileInfo));
    pSignature->dwEngineResult = pReadFunc(wszPath, wszBackupFileInfo);
    wszBackupFileInfo[kBackupFileInfoSize / sizeof(WCHAR) - 1] = 0;
    if (pSignature->dwEngineResult != 0 || wszBackupFileInfo[0] == 0)
    {
        return ESignatureResult::EngineFailed;
    }

    char szBackupInfo[kSignatureTextSize];
    if (WideCharToMultiByte(CP_ACP, WC_COMPOSITECHECK, wszBackupFileInfo, -1, szBackupInfo,
                            kSignatureTextSize, nullptr, nullptr) == 0)
    {
        return ESignatureResult::InfoUnconvertible;
    }

    // Cut to 1,023 bytes; the cut counts bytes, not characters.
    char szSignedText[kSignatureTextSize];
    _snprintf(szSignedText, kSignatureTextSize - 1, "%s%s", szBackupInfo, szComputerName);
    szSignedText[kSignatureTextSize - 1] = '\0';

    uint32_t nLength = kSignatureTextSize;
    if (ScrambleToHex(pSignature->szScrambledHex, szSignedText, &nLength) != kScrambleOk)
    {
        pSignature->szScrambledHex[0] = '\0';
        return ESignatureResult::TextTooLong;
    }
    digest.HexDigest(pSignature->szScrambledHex, (uint32_t)strlen(pSignature->szScrambledHex),
                     pSignature->szMD5Password, kSignatureSize);
    return ESignatureResult::Ok;
}
