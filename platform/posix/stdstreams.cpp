// Standard streams: _setmode and _fileno.
#include "pal_internal.h"
#include "stdstreams.h"

#include <cerrno>
#include <fcntl.h>
#include <csignal>
#include <iostream>
#include <unistd.h>

// A write to a standard output whose reader has gone must fail, as it does on Windows, and not
// end the program: a CGI request then still goes on to its end. Set up at start-up by every
// program that uses the standard streams of this layer.
static bool IgnoreBrokenPipes()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = SIG_IGN;
    sigemptyset(&sa.sa_mask);
    return sigaction(SIGPIPE, &sa, nullptr) == 0;
}

const bool g_bBrokenPipesIgnored = IgnoreBrokenPipes();

CTextModeStreamBuf::int_type CTextModeStreamBuf::overflow(int_type c)
{
    if (traits_type::eq_int_type(c, traits_type::eof()))
    {
        return traits_type::not_eof(c);
    }
    char ch = traits_type::to_char_type(c);
    return xsputn(&ch, 1) == 1 ? c : traits_type::eof();
}

std::streamsize CTextModeStreamBuf::xsputn(const char* s, std::streamsize n)
{
    char buf[1024];
    size_t nBuf = 0;
    std::streamsize nDone = 0;
    for (std::streamsize i = 0; i < n; ++i)
    {
        // Room for a CR LF pair at any point.
        if (nBuf + 2 > sizeof(buf))
        {
            if (!PalWriteAll(m_nFd, buf, nBuf, nullptr))
            {
                return nDone;
            }
            nDone = i;
            nBuf = 0;
        }
        if (s[i] == '\n')
        {
            buf[nBuf++] = '\r';
        }
        buf[nBuf++] = s[i];
    }
    if (nBuf > 0 && !PalWriteAll(m_nFd, buf, nBuf, nullptr))
    {
        return nDone;
    }
    return n;
}

static std::streambuf* g_pBinaryStdout = nullptr;
static CTextModeStreamBuf* g_pTextStdout = nullptr;

int _setmode(int fd, int mode)
{
    if (fcntl(fd, F_GETFD) < 0)
    {
        errno = EBADF;
        return -1;
    }
    if (mode != _O_TEXT && mode != _O_BINARY)
    {
        errno = EINVAL;
        return -1;
    }
    if (fd != STDOUT_FILENO)
    {
        // POSIX streams are binary; there is nothing to change.
        return _O_BINARY;
    }
    bool bWasText = g_pTextStdout != nullptr && std::cout.rdbuf() == g_pTextStdout;
    if (mode == _O_TEXT && !bWasText)
    {
        std::cout.flush();
        fflush(stdout);
        if (g_pTextStdout == nullptr)
        {
            // Never freed: std::cout may still write through it while the process ends.
            g_pTextStdout = new CTextModeStreamBuf(STDOUT_FILENO);
        }
        g_pBinaryStdout = std::cout.rdbuf(g_pTextStdout);
    }
    else if (mode == _O_BINARY && bWasText)
    {
        std::cout.rdbuf(g_pBinaryStdout);
    }
    return bWasText ? _O_TEXT : _O_BINARY;
}

int _fileno(FILE* stream)
{
    return fileno(stream);
}
