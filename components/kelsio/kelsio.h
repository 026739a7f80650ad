// Kelsio, the CGI support library: request variables, settings, the home directory, resource
// strings and encoded output. The program and the library share one C++ runtime, so C++ types
// (the converter, std::ostream) cross this boundary.
#pragma once

#include "platform.h"

#include <ostream>

#ifdef KELSIO_BUILDING
#define KELSIO_API VENDREL_EXPORT
#else
#define KELSIO_API VENDREL_IMPORT
#endif

// The library's encodings. Callers only pass on what getCharEncoding returned.
enum CharEncoding
{
    CHARENC_UNKNOWN = 0,
    CHARENC_UTF8 = 1,
    CHARENC_ANSI = 2,
};

// Resource string that holds the charset name of the answer.
#define KELSIO_RES_CHARSET 100

KELSIO_API bool loadResource();
// The resource string nId, valid until freeResource; never null for KELSIO_RES_CHARSET.
KELSIO_API const char* getResourceString(int nId);
KELSIO_API void freeResource();

// Parses the CGI request. Returns a NULL-terminated array of name, value, name, value...,
// owned by the library until cgiFreeVars, or null when the request cannot be decoded (nothing
// it created is then left behind). The encoding is accepted as the converter reports it; values
// are the decoded bytes as sent. With bSaveFileParts, file parts are saved into <home>/TEMP
// under fresh names and their value is that file's full path; without, their content is dropped
// and their value is empty. The raw body is not kept: ppRawBody and pnRawLength, when not null,
// receive null and 0. Before it parses, cgiGetVars deletes the library's own upload files that
// were left in TEMP for longer than Upload_Stale_Minutes (server.ini, default 60; 0 or less:
// none). cgiFreeVars frees the array and deletes each upload file of it that the program has not
// moved away or deleted; so does the end of the process, also by SIGTERM, SIGINT or SIGHUP (a
// console control event on Windows).
KELSIO_API char** cgiGetVars(CharEncoding encoding, bool bSaveFileParts, unsigned char** ppRawBody,
                             long* pnRawLength);
KELSIO_API void cgiFreeVars(char** ppVars, unsigned char* pRawBody);

// Settings from server.ini in the home directory (szFile null), read afresh on every call.
KELSIO_API int getINIint(const char* szSection, const char* szKey, int nDefault,
                         const char* szFile);
KELSIO_API unsigned long getINIString(char* szOut, const char* szSection, const char* szKey,
                                      const char* szDefault, unsigned long nSize,
                                      const char* szFile);

// The home directory, without a trailing separator: $KELSIO_HOME, else two levels above the
// executable's directory.
KELSIO_API int getHomeDir(char* szBuffer, int nSize);

// Writes ANSI text to a stream, converted to the charset it was built on.
class KELSIO_API OutputStreamConverter
{
public:
    OutputStreamConverter(const char* szCharset, std::ostream* pStream);
    OutputStreamConverter(const OutputStreamConverter& other) = default;

    OutputStreamConverter& operator<<(const char* szText);
    void flush();
    CharEncoding getCharEncoding() const;

    // The members below are the program's own, inline.
    OutputStreamConverter& operator=(const OutputStreamConverter& other)
    {
        m_encoding = other.m_encoding;
        m_pStream = other.m_pStream;
        return *this;
    }
    OutputStreamConverter&
    operator<<(OutputStreamConverter& (*pfnManipulator)(OutputStreamConverter&))
    {
        return pfnManipulator(*this);
    }

private:
    CharEncoding m_encoding;
    std::ostream* m_pStream;
};

inline OutputStreamConverter& flush(OutputStreamConverter& converter)
{
    converter.flush();
    return converter;
}

inline OutputStreamConverter& endl(OutputStreamConverter& converter)
{
    OutputStreamConverter& written = converter << "\n";
    written.flush();
    return written;
}
