// The upload signature of a file: the scanning engine's backup information text of the file,
// followed by the sending computer's name, scrambled to hex, and the MD5 of that hex text.
// The program's verification and the signing client share this computation.
#pragma once

#include "platform.h"

#include <cstdint>

// The engine's export: fills the caller's record with the file's backup information.
typedef DWORD(WINAPI* PFN_PelixGetBackupFileInfoW)(LPCWSTR, void*);

// The size of the record that the engine fills; the text at its start is all that is read.
const int kBackupFileInfoSize = 3108;
// Every text buffer of the computation.
const int kSignatureTextSize = 1024;
// 32 lower-case hex digits and a NUL.
const int kSignatureSize = 33;

enum class EEngineLoad
{
    Ok,
    LibraryMissing,
    ExportMissing,
};

// Loads "pelix32.dll" by its bare name and resolves "PelixGetBackupFileInfoW". The library
// stays loaded for the rest of the process.
EEngineLoad LoadBackupInfoReader(PFN_PelixGetBackupFileInfoW* ppReadFunc);

enum class ESignatureResult
{
    Ok,
    // The file name does not convert into 1,024 UTF-16 units; the engine was not asked.
    PathUnconvertible,
    // The engine answered an error or left no text: a file it cannot read (a directory, a
    // missing file, a device) would otherwise be signed by the computer name alone, which
    // anyone can compute.
    EngineFailed,
    // The engine's text does not convert into 1,024 ANSI bytes.
    InfoUnconvertible,
    // The signed text is longer than its hex form can hold (more than 511 bytes).
    TextTooLong,
};

struct UploadSignature
{
    // What the engine answered: 0 when it read the file, else a Win32 error code.
    DWORD dwEngineResult = 0;
    // The hex text that was hashed, and its digest; both empty unless the result is Ok.
    char szScrambledHex[kSignatureTextSize] = "";
    char szMD5Password[kSignatureSize] = "";
};

ESignatureResult ComputeUploadSignature(PFN_PelixGetBackupFileInfoW pReadFunc,
                                        const char* szTempFileName, const char* szComputerName,
                                        UploadSignature* pSignature);
