#include "body_source.h"

#include <cstring>

CBodySource::CBodySource(PFN_KELSIO_READ pfnRead, void* pContext, unsigned long long nLength)
    : m_pfnRead(pfnRead), m_pContext(pContext), m_nRemaining(nLength), m_bFailed(false)
{
}

size_t CBodySource::Read(unsigned char* pBuffer, size_t nSize)
{
    if (m_bFailed || m_nRemaining == 0 || nSize == 0)
        return 0;
    if (nSize > m_nRemaining)
        nSize = static_cast<size_t>(m_nRemaining);
    const size_t nMaxChunk = 1u << 30;
    if (nSize > nMaxChunk)
        nSize = nMaxChunk;
    long nRead = m_pfnRead != nullptr
                     ? m_pfnRead(m_pContext, pBuffer, static_cast<unsigned long>(nSize))
                     : -1;
    if (nRead <= 0 || static_cast<unsigned long>(nRead) > nSize)
    {
        m_bFailed = true;
        return 0;
    }
    m_nRemaining -= static_cast<unsigned long long>(nRead);
    return static_cast<size_t>(nRead);
}

bool CBodySource::Drain()
{
    unsigned char buffer[4096];
    while (Read(buffer, sizeof(buffer)) > 0)
    {
    }
    return !m_bFailed;
}

int CByteReader::Next()
{
    if (m_nPos == m_nEnd)
    {
        m_nPos = 0;
        m_nEnd = m_source.Read(m_buffer, BYTE_READER_BUFFER);
        if (m_nEnd == 0)
            return -1;
    }
    return m_buffer[m_nPos++];
}

long KelsioReadMemory(void* pContext, unsigned char* pBuffer, unsigned long nSize)
{
    CMemoryInput* pInput = static_cast<CMemoryInput*>(pContext);
    size_t nCount = nSize < pInput->nLeft ? nSize : pInput->nLeft;
    memcpy(pBuffer, pInput->pData, nCount);
    pInput->pData += nCount;
    pInput->nLeft -= nCount;
    return static_cast<long>(nCount);
}
