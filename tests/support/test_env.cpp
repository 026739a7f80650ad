#include "test_env.h"

#include <cstdlib>

void SetEnvVar(const char* szName, const char* szValue)
{
#ifdef _WIN32
    _putenv_s(szName, szValue);
#else
    setenv(szName, szValue, 1);
#endif
}

void UnsetEnvVar(const char* szName)
{
#ifdef _WIN32
    _putenv_s(szName, "");
#else
    unsetenv(szName);
#endif
}

CSavedEnvVar SaveEnvVar(const char* szName)
{
    CSavedEnvVar saved;
    saved.strName = szName;
    const char* szValue = getenv(szName);
    saved.bWasSet = szValue != nullptr;
    saved.strValue = saved.bWasSet ? szValue : "";
    return saved;
}

void RestoreEnvVar(const CSavedEnvVar& saved)
{
    if (saved.strName.empty())
    {
        return; // nothing was saved
    }
    if (saved.bWasSet)
    {
        SetEnvVar(saved.strName.c_str(), saved.strValue.c_str());
    }
    else
    {
        UnsetEnvVar(saved.strName.c_str());
    }
}
