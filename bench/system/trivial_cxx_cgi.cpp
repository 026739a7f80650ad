// The trivial CGI again, answering through the C++ streams: it loads the shared C++ runtime that
// the program and its CGI support library share, and so shows what that runtime alone costs
// each request.
#include <cstdlib>
#include <iostream>

int main()
{
    const char* szLength = getenv("CONTENT_LENGTH");
    long nLeft = szLength != nullptr ? strtol(szLength, nullptr, 10) : 0;
    static char s_buffer[65536];
    while (nLeft > 0 && std::cin)
    {
        long nWant = nLeft < (long)sizeof(s_buffer) ? nLeft : (long)sizeof(s_buffer);
        std::cin.read(s_buffer, nWant);
        if (std::cin.gcount() == 0)
            break;
        nLeft -= (long)std::cin.gcount();
    }
    std::cout
        << "Pragma: no-cache\r\nContent-type: text/html;charset=UTF-8\r\n\r\nVendrel_OK\r\r\n";
    return 0;
}
