// Resource strings. The library holds one: the charset of the answer, which is the charset of
// the ANSI code page ("UTF-8" where that page is UTF-8).
#include "kelsio.h"

#include "charset.h"
#include "text_util.h"

namespace
{

const size_t RES_CHARSET_BUFFER = 32;

// Process-wide: the resource strings live until freeResource and are read by the one thread
// that serves the request.
char g_szCharset[RES_CHARSET_BUFFER] = {0};
bool g_bLoaded = false;

void LoadCharset()
{
    char szUnknown[RES_CHARSET_BUFFER] = {0};
    KelsioCopyCut(g_szCharset, RES_CHARSET_BUFFER,
                  KelsioCharsetOfCodePage(GetACP(), szUnknown, RES_CHARSET_BUFFER));
}

} // namespace

bool loadResource()
{
    LoadCharset();
    g_bLoaded = true;
    return true;
}

const char* getResourceString(int nId)
{
    if (nId != KELSIO_RES_CHARSET)
        return "";
    // Asked for before loadResource (or after freeResource): still a valid charset, never null.
    if (!g_bLoaded)
        LoadCharset();
    return g_szCharset;
}

void freeResource()
{
    // The storage is static, so a text handed out earlier never dangles.
    g_bLoaded = false;
}
