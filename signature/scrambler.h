// The key-stream scrambler: XORs bytes with a stream drawn from three rings filled from an
// expansion of a key. Scrambling twice under the same key restores the input.
#pragma once

#include <cstdint>
#include <memory>

class CScrambleRing
{
public:
    CScrambleRing() = default;
    CScrambleRing(const CScrambleRing&) = delete;
    CScrambleRing& operator=(const CScrambleRing&) = delete;

    // Takes a copy of nLength bytes of pSource. A ring is keyed once: 0 when it already holds
    // data (nothing changes) or nLength is not positive, 1 otherwise.
    int32_t Init(const unsigned char* pSource, int32_t nLength);
    // The byte at the cursor; the cursor moves on and wraps at the end. An empty ring gives 0.
    unsigned char NextByte();

private:
    std::unique_ptr<unsigned char[]> m_pData;
    int32_t m_nSize = 0;
    int32_t m_nCursor = 0;
};

class CScrambler
{
public:
    // A non-empty szKey keys the scrambler at once.
    explicit CScrambler(const char* szKey = nullptr);
    CScrambler(const CScrambler&) = delete;
    CScrambler& operator=(const CScrambler&) = delete;

    // 1 when every ring took its slice of the expanded key, 0 otherwise (an empty key, or a
    // scrambler that was keyed before, which then stays as it was).
    int32_t SetKey(const char* szKey);
    // Fills nOutputLength bytes of pOutput from nKeyLength bytes of pKey.
    static void ExpandKey(const unsigned char* pKey, int32_t nKeyLength, unsigned char* pOutput,
                          int32_t nOutputLength);
    // XORs nLength bytes of pBuffer in place with the continuing key stream.
    void Process(unsigned char* pBuffer, int32_t nLength);

    static const int32_t kExpandedKeyLength = 72;

private:
    int32_t m_nRingCount;
    std::unique_ptr<CScrambleRing[]> m_pRings;
};

// The result codes of ScrambleToHex.
const int32_t kScrambleOk = 0;
const int32_t kScrambleBufferTooSmall = -1000;
const int32_t kScrambleKeyRefused = -1;

// Scrambles the text szInput under the system's fixed key and writes it to szOutput as upper-case
// hex, 2 digits a byte and a NUL. *pnLength is the capacity of szOutput on entry and the bytes
// written on success; on failure szOutput and *pnLength are untouched.
int32_t ScrambleToHex(char* szOutput, const char* szInput, uint32_t* pnLength);
