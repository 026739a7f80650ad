// vendrel-sign FILE COMPUTERNAME: prints the upload signature that an endpoint sends with FILE,
// computed through the same engine library, scrambler and digest as the program.
#include "exact_argument.h"
#include "upload_signature.h"

#include "platform.h"
#include "vendrel_version.h"

#include <cstdio>
#include <cstring>

static const char kUsage[] =
    "usage: vendrel-sign FILE COMPUTERNAME\n"
    "       vendrel-sign --help | --version\n"
    "Prints the upload signature (the Verify field) that the endpoint COMPUTERNAME sends with\n"
    "FILE, and a line feed. Exit status 0; 1 when FILE cannot be read or the signed text is too\n"
    "long to verify; 2 for a usage error.\n";

// Exit status of a usage error, as every command of the product gives it.
static const int kUsageExit = 2;

int main(int argc, char** argv)
{
    // Scripts take the signature with $(...), which strips a line feed but not a carriage return.
    _setmode(_fileno(stdout), _O_BINARY);
    // Only as the sole argument: with two, any word is a file name, "--help" too.
    if (argc == 2 && strcmp(argv[1], "--help") == 0)
    {
        fputs(kUsage, stdout);
        return fflush(stdout) == 0 ? 0 : 1;
    }
    if (argc == 2 && strcmp(argv[1], "--version") == 0)
    {
        printf("vendrel-sign %s\n", VENDREL_VERSION_STRING);
        return fflush(stdout) == 0 ? 0 : 1;
    }
    if (argc != 3)
    {
        if (argc == 2 && strncmp(argv[1], "-", 1) == 0)
        {
            fprintf(stderr, "vendrel-sign: unknown option: %s\n", argv[1]);
        }
        fputs(kUsage, stderr);
        return kUsageExit;
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
