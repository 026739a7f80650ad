// The environment of the test process, which the processes it starts inherit.
#pragma once

#include <string>

void SetEnvVar(const char* szName, const char* szValue);
// Removes the variable (on Windows the C runtime's way: set to empty).
void UnsetEnvVar(const char* szName);

// A variable's value, or its absence, to put back later.
struct CSavedEnvVar
{
    std::string strName;
    std::string strValue;
    bool bWasSet = false;
};
CSavedEnvVar SaveEnvVar(const char* szName);
void RestoreEnvVar(const CSavedEnvVar& saved);
