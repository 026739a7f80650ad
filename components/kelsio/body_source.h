// The request body: exactly the announced number of bytes of the input, no more, and a body that
// ends before that number counts as truncated.
#pragma once

#include "kelsio_request.h"

#include <cstddef>

class CBodySource
{
public:
    CBodySource(PFN_KELSIO_READ pfnRead, void* pContext, unsigned long long nLength);

    // Reads up to nSize bytes of what remains; 0 once the body is read or has failed.
    size_t Read(unsigned char* pBuffer, size_t nSize);
    // Reads and drops what remains; true when the whole body was there.
    bool Drain();
    bool Failed() const { return m_bFailed; }

private:
    PFN_KELSIO_READ m_pfnRead;
    void* m_pContext;
    unsigned long long m_nRemaining;
    bool m_bFailed;
};

// A byte at a time over a body, through a small buffer.
class CByteReader
{
public:
    explicit CByteReader(CBodySource& source) : m_source(source), m_nPos(0), m_nEnd(0) {}
    // The next byte, or -1 at the end of the body.
    int Next();

private:
    static const size_t BYTE_READER_BUFFER = 4096;
    CBodySource& m_source;
    unsigned char m_buffer[BYTE_READER_BUFFER];
    size_t m_nPos;
    size_t m_nEnd;
};

// A reader callback over bytes in memory (the query string).
struct CMemoryInput
{
    const unsigned char* pData;
    size_t nLeft;
};
long KelsioReadMemory(void* pContext, unsigned char* pBuffer, unsigned long nSize);
