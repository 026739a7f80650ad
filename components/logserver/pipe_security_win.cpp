// The log pipe's security on Windows, built once from an SDDL text naming each account by SID.
#include "pipe_security_win.h"

#include <sddl.h>

#include <cstdio>
#include <vector>

namespace
{

// The pipe's full control stays with the system, the administrators and the server's account;
// the writers may read and write (a client asks for write access, and for the pipe's attributes
// when it sets its read mode), nothing more.
const char kDaclFormat[] = "D:P(A;;GA;;;SY)(A;;GA;;;BA)(A;;GA;;;%s)(A;;GRGW;;;%s)";

SECURITY_ATTRIBUTES s_attributes = {sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
bool s_bSet = false;

// The SID of an account or group name as SDDL text ("S-1-5-32-545").
bool SidTextOfName(const std::string& strName, std::string* pstrSid)
{
    DWORD cbSid = 0;
    DWORD cchDomain = 0;
    SID_NAME_USE eUse;
    LookupAccountNameA(nullptr, strName.c_str(), nullptr, &cbSid, nullptr, &cchDomain, &eUse);
    if (cbSid == 0)
    {
        return false;
    }
    std::vector<BYTE> sid(cbSid);
    std::vector<char> domain(cchDomain + 1);
    if (!LookupAccountNameA(nullptr, strName.c_str(), sid.data(), &cbSid, domain.data(), &cchDomain,
                            &eUse))
    {
        return false;
    }
    char* szSid = nullptr;
    if (!ConvertSidToStringSidA(sid.data(), &szSid))
    {
        return false;
    }
    pstrSid->assign(szSid);
    LocalFree(szSid);
    return true;
}

// The SID of the account the server runs as.
bool OwnSidText(std::string* pstrSid)
{
    HANDLE hToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken))
    {
        return false;
    }
    DWORD cbUser = 0;
    GetTokenInformation(hToken, TokenUser, nullptr, 0, &cbUser);
    std::vector<BYTE> user(cbUser > 0 ? cbUser : 1);
    bool bOk = cbUser > 0 && GetTokenInformation(hToken, TokenUser, user.data(), cbUser, &cbUser);
    CloseHandle(hToken);
    char* szSid = nullptr;
    if (!bOk ||
        !ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &szSid))
    {
        return false;
    }
    pstrSid->assign(szSid);
    LocalFree(szSid);
    return true;
}

} // namespace

bool SetLogPipeWriters(const std::string& strGroup, std::string* pstrError)
{
    std::string strGroupSid;
    if (!SidTextOfName(strGroup, &strGroupSid))
    {
        *pstrError = "unknown group " + strGroup;
        return false;
    }
    std::string strOwnSid;
    if (!OwnSidText(&strOwnSid))
    {
        *pstrError = "cannot read the server's own account, err=" + std::to_string(GetLastError());
        return false;
    }
    std::vector<char> sddl(sizeof(kDaclFormat) + strOwnSid.size() + strGroupSid.size());
    snprintf(sddl.data(), sddl.size(), kDaclFormat, strOwnSid.c_str(), strGroupSid.c_str());
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl.data(), SDDL_REVISION_1,
                                                              &pDescriptor, nullptr))
    {
        *pstrError = "cannot make the pipe's security, err=" + std::to_string(GetLastError());
        return false;
    }
    // Kept for the life of the process: every later instance of the pipe is made with it.
    if (s_bSet)
    {
        LocalFree(s_attributes.lpSecurityDescriptor);
    }
    s_attributes.lpSecurityDescriptor = pDescriptor;
    s_bSet = true;
    return true;
}

SECURITY_ATTRIBUTES* LogPipeSecurity()
{
    return s_bSet ? &s_attributes : nullptr;
}
