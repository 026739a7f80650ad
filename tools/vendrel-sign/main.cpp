// vendrel-sign FILE COMPUTERNAME: prints the upload signature that an endpoint sends with FILE,
// computed through the same engine library, scrambler and digest as the program.
#include "exact_argument.h"
#include "upload_signature.h"

#include "platform.h"

#include <cstdio>

int main(int argc, char** argv)
{
    if (argc != 3)
    {
        fprintf(stderr, "usage: vendrel-sign FILE COMPUTERNAME\n");
        return 2;
    }
    const char* szFile = argv[1];
    const char* szComputerName = argv[2];
    if (!IsArgumentExact(1, szFile) || !IsArgumentExact(2, szComputerName))
    {
        fprintf(stderr,
                "vendrel-sign: the %s holds characters that the system's code page "
                "cannot hold, so it cannot be signed as given\n",
                IsArgumentExact(1, szFile) ? "computer name" : "file name");
        return 1;
    }
    // Scripts take the signature with $(...), which strips a line feed but not a carriage return.
    _setmode(_fileno(stdout), _O_BINARY);

    PFN_PelixGetBackupFileInfoW pReadFunc = nullptr;
    EEngineLoad eLoad = LoadBackupInfoReader(&pReadFunc);
    if (eLoad != EEngineLoad::Ok)
    {
        fprintf(stderr, "vendrel-sign: %s\n",
                eLoad == EEngineLoad::LibraryMissing
                    ? "cannot load the engine library pelix32"
                    : "the engine library lacks PelixGetBackupFileInfoW");
        return 1;
    }

    UploadSignature signature;
    ESignatureResult eResult =
        ComputeUploadSignature(pReadFunc, szFile, szComputerName, &signature);
    if (eResult == ESignatureResult::PathUnconvertible)
    {
        fprintf(stderr, "vendrel-sign: %s: file name too long\n", szFile);
        return 1;
    }
    if (eResult == ESignatureResult::EngineFailed)
    {
        fprintf(stderr, "vendrel-sign: %s: cannot read the file (error %lu)\n", szFile,
                (unsigned long)signature.dwEngineResult);
        return 1;
    }
    if (eResult == ESignatureResult::InfoUnconvertible)
    {
        fprintf(stderr, "vendrel-sign: %s: the engine's information text does not fit\n", szFile);
        return 1;
    }
    if (eResult == ESignatureResult::TextTooLong)
    {
        fprintf(stderr, "vendrel-sign: the signed text (backup information and computer name) is "
                        "longer than 511 bytes and cannot be verified\n");
        return 1;
    }
    printf("%s\n", signature.szMD5Password);
    return fflush(stdout) == 0 ? 0 : 1;
}
