// The key-stream scrambler and its hex form under the system's fixed key.
#include "scrambler.h"

#include <cstring>

namespace
{

// Process keeps its running byte here, for the whole process: scramblings never overlap, the
// system scrambles on its one thread.
unsigned char g_nRunningByte = 0;

} // namespace

int32_t CScrambleRing::Init(const unsigned char* pSource, int32_t nLength)
{
    if (m_pData || nLength <= 0)
    {
        return 0;
    }
    m_pData.reset(new unsigned char[nLength]);
    memcpy(m_pData.get(), pSource, (size_t)nLength);
    m_nSize = nLength;
    m_nCursor = 0;
    return 1;
}

unsigned char CScrambleRing::NextByte()
{
    if (!m_pData)
    {
        return 0;
    }
    unsigned char nByte = m_pData[m_nCursor];
    m_nCursor++;
    if (m_nCursor >= m_nSize)
    {
        m_nCursor = 0;
    }
    return nByte;
}

CScrambler::CScrambler(const char* szKey) : m_nRingCount(3), m_pRings(new CScrambleRing[3])
{
    if (szKey && szKey[0] != '\0')
    {
        SetKey(szKey);
    }
}

void CScrambler::ExpandKey(const unsigned char* pKey, int32_t nKeyLength, unsigned char* pOutput,
                           int32_t nOutputLength)
{
    if (nKeyLength <= 0)
    {
        return;
    }
    unsigned char nAccumulator = 0;
    for (int32_t i = 0; i < nOutputLength; ++i)
    {
        unsigned char c = pKey[i % nKeyLength];
        nAccumulator = (unsigned char)(nAccumulator + 17 * (c + i));
        pOutput[i] = (unsigned char)(c * nAccumulator + pKey[(i + 1) % nKeyLength]);
    }
}

int32_t CScrambler::SetKey(const char* szKey)
{
    // The expansion divides by the key length: an empty key keys nothing.
    size_t nKeyLength = szKey ? strlen(szKey) : 0;
    if (nKeyLength == 0 || nKeyLength > 0x7fffffff)
    {
        return 0;
    }
    std::unique_ptr<unsigned char[]> pExpanded(new unsigned char[kExpandedKeyLength]);
    ExpandKey(reinterpret_cast<const unsigned char*>(szKey), (int32_t)nKeyLength, pExpanded.get(),
              kExpandedKeyLength);

    int32_t nSteps = 0;
    for (int32_t j = 1; j < m_nRingCount; ++j)
    {
        nSteps += j;
    }
    int32_t nBase = (kExpandedKeyLength - nSteps) / m_nRingCount;
    if (nBase == 0)
    {
        return 0;
    }
    // Every ring is offered its slice, even after an earlier one refused.
    int32_t nResult = 1;
    int32_t nOffset = 0;
    for (int32_t j = 0; j < m_nRingCount; ++j)
    {
        int32_t nRingResult = m_pRings[j].Init(pExpanded.get() + nOffset, nBase + j);
        nResult = nResult && nRingResult;
        nOffset += nBase + j;
    }
    return nResult;
}

void CScrambler::Process(unsigned char* pBuffer, int32_t nLength)
{
    for (int32_t k = 0; k < nLength; ++k)
    {
        g_nRunningByte = 0;
        for (int32_t j = 0; j < m_nRingCount; ++j)
        {
            g_nRunningByte ^= m_pRings[j].NextByte();
        }
        pBuffer[k] ^= g_nRunningByte;
    }
}

int32_t ScrambleToHex(char* szOutput, const char* szInput, uint32_t* pnLength)
{
    const size_t nInput = strlen(szInput);
    // 64-bit arithmetic: 2n + 1 must not wrap before it is compared with the capacity.
    const uint64_t nNeeded = 2 * (uint64_t)nInput + 1;
    if ((uint64_t)*pnLength < nNeeded)
    {
        return kScrambleBufferTooSmall;
    }
    std::unique_ptr<unsigned char[]> pCopy(new unsigned char[nInput + 1]);
    memcpy(pCopy.get(), szInput, nInput + 1);
    std::unique_ptr<char[]> pHex(new char[nNeeded]);
    pHex[0] = '\0';

    // The key lives in the call, never in a writable global.
    char szKey[] = "407316525";
    CScrambler scrambler;
    if (scrambler.SetKey(szKey) == 0)
    {
        return kScrambleKeyRefused;
    }
    // The length governs: a byte that scrambles to 0 is written like any other.
    scrambler.Process(pCopy.get(), (int32_t)nInput);

    // Two upper-case digits a byte, as "%02X" writes them; a table costs a request far less
    // than a formatted call per byte.
    static const char s_szUpperHex[] = "0123456789ABCDEF";
    for (size_t i = 0; i < nInput; ++i)
    {
        pHex[2 * i] = s_szUpperHex[pCopy[i] >> 4];
        pHex[2 * i + 1] = s_szUpperHex[pCopy[i] & 0x0F];
    }
    pHex[2 * nInput] = '\0';

    memcpy(szOutput, pHex.get(), nNeeded);
    *pnLength = (uint32_t)nNeeded;
    return kScrambleOk;
}
