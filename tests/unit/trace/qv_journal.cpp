#include "qv_journal.h"

#include "platform.h"

typedef int (*PFN_QV_JOURNAL)(char* szOut, int nSize);
typedef void (*PFN_QV_RESET)();

template <typename T> static T LookUp(const char* szLibrary, const char* szName)
{
    HMODULE hLib = LoadLibraryA(szLibrary);
    if (hLib == NULL)
    {
        return NULL;
    }
    return reinterpret_cast<T>(reinterpret_cast<void (*)()>(GetProcAddress(hLib, szName)));
}

std::vector<std::string> QvJournal(const char* szLibrary)
{
    std::vector<std::string> entries;
    PFN_QV_JOURNAL pfnJournal = LookUp<PFN_QV_JOURNAL>(szLibrary, "QvFixtureJournal");
    if (pfnJournal == NULL)
    {
        entries.push_back("(no journal)");
        return entries;
    }
    int nSize = pfnJournal(NULL, 0);
    std::string strJournal(size_t(nSize) + 1, '\0');
    pfnJournal(&strJournal[0], nSize + 1);
    strJournal.resize(size_t(nSize));
    size_t nStart = 0;
    for (size_t nEnd; (nEnd = strJournal.find('\n', nStart)) != std::string::npos;
         nStart = nEnd + 1)
    {
        entries.push_back(strJournal.substr(nStart, nEnd - nStart));
    }
    return entries;
}

void QvResetJournal(const char* szLibrary)
{
    PFN_QV_RESET pfnReset = LookUp<PFN_QV_RESET>(szLibrary, "QvFixtureReset");
    if (pfnReset != NULL)
    {
        pfnReset();
    }
}
