// SHA-256 from the system's crypto library: libcrypto natively, CNG (BCrypt) on Windows.
#pragma once

#include <cstddef>

static const size_t kSha256Bytes = 32;
static const size_t kSha256HexChars = 2 * kSha256Bytes;

class CSha256
{
public:
    CSha256();
    ~CSha256();
    CSha256(const CSha256&) = delete;
    CSha256& operator=(const CSha256&) = delete;

    // False when the system's library could not set up the hash; nothing else works then.
    bool IsReady() const { return m_bReady; }
    bool Update(const void* pData, size_t nBytes);
    // The digest in lower-case hex and a terminator; the object is spent afterwards.
    bool Finish(char* szHex, size_t nHexSize);

private:
    void* m_pAlgorithm;
    void* m_pState;
    bool m_bReady;
};

// The lower-case hex form of nBytes bytes into szHex (2 * nBytes + 1 characters).
void BytesToHex(const unsigned char* pBytes, size_t nBytes, char* szHex);
