// A directory's status on Windows: its attributes, a probe file, the access list's grants of
// write access, and its volume.
#include "dir_status.h"

#include "platform.h"

#include <aclapi.h>
#include <sddl.h>

#include <vector>

static const int kProbeTries = 16;
// What lets an account create, change or delete entries in a directory, or give itself that.
static const DWORD kWriteRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD |
                                  DELETE | WRITE_DAC | WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

// Creates a hidden probe file that is deleted when closed: whether this account can file into
// the directory, as the system itself decides.
static bool ProbeWritable(const std::string& strPath, int* pnError)
{
    static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
    unsigned long long nBits =
        GetTickCount64() ^ (static_cast<unsigned long long>(GetCurrentProcessId()) << 20);
    for (int nTry = 0; nTry < kProbeTries; ++nTry)
    {
        std::string strName = ".vendrel-check.~";
        for (int i = 0; i < 6; ++i)
        {
            strName += kAlphabet[nBits % (sizeof(kAlphabet) - 1)];
            nBits = nBits / (sizeof(kAlphabet) - 1) + 0x9e3779b97f4a7c15ULL * (nTry + 1);
        }
        HANDLE hFile =
            CreateFileA((strPath + "\\" + strName).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                        FILE_ATTRIBUTE_HIDDEN | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
        if (hFile == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS)
        {
            continue;
        }
        if (hFile == INVALID_HANDLE_VALUE)
        {
            *pnError = static_cast<int>(GetLastError());
            return false;
        }
        CloseHandle(hFile);
        return true;
    }
    *pnError = static_cast<int>(ERROR_FILE_EXISTS);
    return false;
}

static std::vector<BYTE> CurrentUserSid()
{
    std::vector<BYTE> abSid;
    HANDLE hToken = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &hToken))
    {
        return abSid;
    }
    DWORD dwSize = 0;
    GetTokenInformation(hToken, TokenUser, nullptr, 0, &dwSize);
    std::vector<BYTE> abUser(dwSize);
    if (dwSize > 0 && GetTokenInformation(hToken, TokenUser, abUser.data(), dwSize, &dwSize))
    {
        PSID pSid = reinterpret_cast<TOKEN_USER*>(abUser.data())->User.Sid;
        abSid.assign(static_cast<BYTE*>(pSid), static_cast<BYTE*>(pSid) + GetLengthSid(pSid));
    }
    CloseHandle(hToken);
    return abSid;
}

// Accounts that hold every directory anyway: the system and the administrators.
static bool IsTrustedSid(PSID pSid)
{
    static const WELL_KNOWN_SID_TYPE kTrusted[] = {WinLocalSystemSid, WinBuiltinAdministratorsSid,
                                                   WinCreatorOwnerSid};
    for (WELL_KNOWN_SID_TYPE eType : kTrusted)
    {
        if (IsWellKnownSid(pSid, eType))
        {
            return true;
        }
    }
    return false;
}

static std::string AccountName(PSID pSid)
{
    char szName[256] = {0};
    char szDomain[256] = {0};
    DWORD dwName = sizeof(szName);
    DWORD dwDomain = sizeof(szDomain);
    SID_NAME_USE eUse;
    if (LookupAccountSidA(nullptr, pSid, szName, &dwName, szDomain, &dwDomain, &eUse))
    {
        return szDomain[0] != '\0' ? std::string(szDomain) + "\\" + szName : std::string(szName);
    }
    LPSTR szSid = nullptr;
    std::string strName = "an unknown account";
    if (ConvertSidToStringSidA(pSid, &szSid))
    {
        strName = szSid;
        LocalFree(szSid);
    }
    return strName;
}

static std::string OtherWriters(const std::string& strPath)
{
    PACL pDacl = nullptr;
    PSECURITY_DESCRIPTOR pDescriptor = nullptr;
    if (GetNamedSecurityInfoA(strPath.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                              nullptr, &pDacl, nullptr, &pDescriptor) != ERROR_SUCCESS)
    {
        return std::string();
    }
    std::string strOthers;
    if (pDacl == nullptr)
    {
        strOthers = "every user (the directory has no access list)";
    }
    std::vector<BYTE> abMe = CurrentUserSid();
    for (DWORD i = 0; pDacl != nullptr && i < pDacl->AceCount; ++i)
    {
        void* pAce = nullptr;
        if (!GetAce(pDacl, i, &pAce))
        {
            continue;
        }
        ACE_HEADER* pHeader = static_cast<ACE_HEADER*>(pAce);
        if (pHeader->AceType != ACCESS_ALLOWED_ACE_TYPE ||
            (pHeader->AceFlags & INHERIT_ONLY_ACE) != 0)
        {
            continue;
        }
        ACCESS_ALLOWED_ACE* pAllowed = static_cast<ACCESS_ALLOWED_ACE*>(pAce);
        PSID pSid = &pAllowed->SidStart;
        if ((pAllowed->Mask & kWriteRights) == 0 || IsTrustedSid(pSid) ||
            (!abMe.empty() && EqualSid(pSid, abMe.data())))
        {
            continue;
        }
        std::string strName = AccountName(pSid);
        if (strOthers.find(strName) == std::string::npos)
        {
            strOthers += (strOthers.empty() ? "" : ", ") + strName;
        }
    }
    LocalFree(pDescriptor);
    return strOthers;
}

void GetDirStatus(const std::string& strPath, SDirStatus* pStatus)
{
    *pStatus = SDirStatus();
    DWORD dwAttributes = GetFileAttributesA(strPath.c_str());
    if (dwAttributes == INVALID_FILE_ATTRIBUTES)
    {
        pStatus->nError = static_cast<int>(GetLastError());
        return;
    }
    pStatus->bExists = true;
    pStatus->bDirectory = (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (!pStatus->bDirectory)
    {
        return;
    }
    HANDLE hDir = CreateFileA(strPath.c_str(), FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (hDir != INVALID_HANDLE_VALUE)
    {
        BY_HANDLE_FILE_INFORMATION info;
        if (GetFileInformationByHandle(hDir, &info))
        {
            pStatus->bHasVolume = true;
            pStatus->nVolume = info.dwVolumeSerialNumber;
        }
        CloseHandle(hDir);
    }
    pStatus->bWritable = ProbeWritable(strPath, &pStatus->nWriteError);
    pStatus->strOtherWriters = OtherWriters(strPath);
}
