// The text-mode standard output stream behind _setmode(_fileno(stdout), _O_TEXT).
#pragma once

#include <streambuf>

// An unbuffered stream buffer that writes to a descriptor and turns every LF into CR LF, as a
// text-mode stream of the Windows C runtime does (also an LF that follows a CR). Each call
// writes through at once: the program never flushes, so nothing may wait in a buffer at exit.
class CTextModeStreamBuf : public std::streambuf
{
public:
    explicit CTextModeStreamBuf(int nFd) : m_nFd(nFd) {}

protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

private:
    int m_nFd;
};
