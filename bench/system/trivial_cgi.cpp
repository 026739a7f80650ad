// The yardstick of the system benchmark: a CGI program that reads the request body and answers
// with the same header lines and token as the program, and does nothing else.
#include <cstdio>
#include <cstdlib>

int main()
{
    const char* szLength = getenv("CONTENT_LENGTH");
    long nLeft = szLength != nullptr ? strtol(szLength, nullptr, 10) : 0;
    static char s_buffer[65536];
    while (nLeft > 0)
    {
        size_t nWant = nLeft < (long)sizeof(s_buffer) ? (size_t)nLeft : sizeof(s_buffer);
        size_t nRead = fread(s_buffer, 1, nWant, stdin);
        if (nRead == 0)
            break;
        nLeft -= (long)nRead;
    }
    static const char s_szAnswer[] = "Pragma: no-cache\r\n"
                                     "Content-type: text/html;charset=UTF-8\r\n\r\n"
                                     "Vendrel_OK\r\r\n";
    fwrite(s_szAnswer, 1, sizeof(s_szAnswer) - 1, stdout);
    return 0;
}
