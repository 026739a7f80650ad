// Parses one CGI request from standard input with cgiGetVars and reports how long it took and
// how large the saved upload file is; the upload file is deleted afterwards.
#include "kelsio.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

int main()
{
    auto start = std::chrono::steady_clock::now();
    char** ppVars = cgiGetVars(CHARENC_UTF8, true, nullptr, nullptr);
    auto end = std::chrono::steady_clock::now();
    if (ppVars == nullptr)
    {
        fprintf(stderr, "kelsio_upload_bench: the request was refused\n");
        return 1;
    }
    double dSeconds = std::chrono::duration<double>(end - start).count();
    int nResult = 1;
    for (char** pp = ppVars; pp[0] != nullptr; pp += 2)
    {
        if (strcmp(pp[0], "TempFileName") != 0)
            continue;
        struct stat info;
        if (stat(pp[1], &info) == 0)
        {
            printf("parse_seconds %.3f\nupload_bytes %lld\nthroughput_mb_s %.1f\n", dSeconds,
                   static_cast<long long>(info.st_size),
                   static_cast<double>(info.st_size) / 1048576.0 / dSeconds);
            nResult = 0;
        }
        remove(pp[1]);
    }
    cgiFreeVars(ppVars, nullptr);
    return nResult;
}
