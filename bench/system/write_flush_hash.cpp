// The least a program that keeps an upload durably must do: write the request body from standard
// input to a new file, flush it to the disk, read it back and hash it (the project's MD5, as the
// scanning engine hashes an upload). The large-upload benchmark compares a whole request to it.
// Usage: write_flush_hash FILE   (the file is made and hashed, and left; prints the digest)
#include "md5.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace
{

const size_t kChunk = 65536;
unsigned char s_buffer[kChunk];

bool WriteAll(int nFd, const unsigned char* pData, size_t nSize)
{
    while (nSize > 0)
    {
        ssize_t nPut = write(nFd, pData, nSize);
        if (nPut < 0 && errno == EINTR)
            continue;
        if (nPut <= 0)
            return false;
        pData += nPut;
        nSize -= static_cast<size_t>(nPut);
    }
    return true;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2)
    {
        fprintf(stderr, "usage: write_flush_hash FILE\n");
        return 2;
    }
    int nOut = open(argv[1], O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (nOut < 0)
    {
        perror(argv[1]);
        return 1;
    }
    ssize_t nGot;
    while ((nGot = read(0, s_buffer, kChunk)) > 0)
    {
        if (!WriteAll(nOut, s_buffer, static_cast<size_t>(nGot)))
        {
            perror("write");
            return 1;
        }
    }
    if (nGot < 0 || fsync(nOut) != 0 || close(nOut) != 0)
    {
        perror("read, fsync or close");
        return 1;
    }
    int nIn = open(argv[1], O_RDONLY | O_CLOEXEC);
    if (nIn < 0)
    {
        perror(argv[1]);
        return 1;
    }
    CMessageDigest5 md5;
    while ((nGot = read(nIn, s_buffer, kChunk)) > 0)
        md5.Update(s_buffer, static_cast<uint32_t>(nGot));
    close(nIn);
    unsigned char digest[16];
    md5.Final(digest, sizeof(digest));
    for (unsigned char c : digest)
        printf("%02x", c);
    printf("\n");
    return 0;
}
