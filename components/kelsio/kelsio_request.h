// The request parser behind cgiGetVars, with its input made explicit: the body comes from a
// reader callback and the CGI meta-variables from a look-up callback, so that the parser can be
// driven without a real standard input and environment. cgiGetVars is this over stdin and
// getenv, with the home directory and the body limit of the installation.
#pragma once

#include "kelsio.h"

// Reads at most nSize bytes into pBuffer. Returns the number read, 0 at the end of the input,
// or a negative number on a read error.
typedef long (*PFN_KELSIO_READ)(void* pContext, unsigned char* pBuffer, unsigned long nSize);
// The value of the CGI meta-variable szName, or null when it is not set.
typedef const char* (*PFN_KELSIO_GETENV)(void* pContext, const char* szName);

struct CKelsioRequestSource
{
    PFN_KELSIO_READ pfnRead;
    void* pReadContext;
    PFN_KELSIO_GETENV pfnGetEnv;
    void* pEnvContext;
    // File parts are saved into szHomeDir + separator + "TEMP".
    const char* szHomeDir;
    // A body longer than this is refused before any of it is read.
    unsigned long long nMaxBodyBytes;
    // When false, the content of file parts is read and dropped, and their value is empty.
    bool bSaveFileParts;
};

// Limits of a request that the parser accepts.
#define KELSIO_MAX_VARIABLES 1000
#define KELSIO_MAX_TEXT_BYTES 65536
// Bytes the multipart scanner holds at a time, whatever the size of a part.
#define KELSIO_BODY_BUFFER 65536

// The request-variable array as cgiGetVars returns it (free it with cgiFreeVars, which deletes
// the upload files that are still in place), or null when the request cannot be decoded; upload
// files made for a refused request are deleted.
KELSIO_API char** KelsioParseRequest(const CKelsioRequestSource* pSource);

// Deletes the upload files (upload_ and 16 lowercase hex digits, regular files only) in the
// upload directory of szHomeDir that were last written more than nStaleMinutes minutes ago and
// that this process does not hold; nothing when nStaleMinutes is 0 or less. Returns how many
// were deleted. cgiGetVars runs it first, with Upload_Stale_Minutes.
KELSIO_API int KelsioSweepStaleUploads(const char* szHomeDir, int nStaleMinutes);
