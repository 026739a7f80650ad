// MD5 message digest (RFC 1321), rendered as 32 lower-case hex digits.
#pragma once

#include <cstdint>

class CMessageDigest5
{
public:
    CMessageDigest5();
    virtual ~CMessageDigest5();
    CMessageDigest5(const CMessageDigest5&) = delete;
    CMessageDigest5& operator=(const CMessageDigest5&) = delete;

    // Feeds nLength bytes of pData.
    void Update(const void* pData, uint32_t nLength);
    // Completes the digest into the first 16 bytes of pDigest and clears the object to zero.
    // Refuses, touching nothing, when nSize is below 16. The object serves one digest only.
    bool Final(unsigned char* pDigest, int32_t nSize);
    // Feeds nLengthHigh * 2^32 + nLengthLow bytes of pData, then nExtraLength bytes of pExtra,
    // and writes the digest of everything fed so far as 32 hex digits and a NUL into szOutput.
    // Refuses, feeding nothing, when nOutputSize is below 33.
    bool HexDigest(const void* pData, uint32_t nLengthHigh, uint32_t nLengthLow, char* szOutput,
                   int32_t nOutputSize, const void* pExtra, uint32_t nExtraLength);
    bool HexDigest(const void* pData, uint32_t nLength, char* szOutput, int32_t nOutputSize);

private:
    void Transform(const unsigned char* pBlock);

    uint32_t m_state[4];
    uint32_t m_count[2]; // bits fed, low word first
    unsigned char m_buffer[64];
};
