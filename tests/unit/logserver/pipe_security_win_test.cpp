// The log pipe's writers on Windows: a named group gets read and write access to every pipe
// instance beside SYSTEM, the administrators and the server's own account; an unknown name is
// refused before any pipe is made.
#include "pipe_listener.h"
#include "pipe_security_win.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <string>

namespace
{

// The rights that the DACL of LogPipeSecurity() allows the well-known SID, or 0.
ACCESS_MASK AllowedTo(WELL_KNOWN_SID_TYPE eSid)
{
    BYTE abSid[SECURITY_MAX_SID_SIZE];
    DWORD cbSid = sizeof(abSid);
    if (!CreateWellKnownSid(eSid, nullptr, abSid, &cbSid))
    {
        return 0;
    }
    SECURITY_ATTRIBUTES* pAttributes = LogPipeSecurity();
    if (pAttributes == nullptr)
    {
        return 0;
    }
    BOOL bPresent = FALSE;
    BOOL bDefaulted = FALSE;
    PACL pDacl = nullptr;
    if (!GetSecurityDescriptorDacl(pAttributes->lpSecurityDescriptor, &bPresent, &pDacl,
                                   &bDefaulted) ||
        !bPresent || pDacl == nullptr)
    {
        return 0;
    }
    ACCESS_MASK mask = 0;
    for (DWORD i = 0; i < pDacl->AceCount; ++i)
    {
        void* pAce = nullptr;
        if (GetAce(pDacl, i, &pAce) &&
            static_cast<ACE_HEADER*>(pAce)->AceType == ACCESS_ALLOWED_ACE_TYPE)
        {
            ACCESS_ALLOWED_ACE* pAllowed = static_cast<ACCESS_ALLOWED_ACE*>(pAce);
            if (EqualSid(&pAllowed->SidStart, abSid))
            {
                mask |= pAllowed->Mask;
            }
        }
    }
    return mask;
}

TEST(LogPipeWriters, AGroupMayReadAndWriteBesideTheSystemAndTheAdministrators)
{
    std::string strError;
    ASSERT_TRUE(SetLogPipeWriters("Users", &strError)) << strError;
    ASSERT_NE(LogPipeSecurity(), nullptr);

    ACCESS_MASK users = AllowedTo(WinBuiltinUsersSid);
    EXPECT_EQ(users & (GENERIC_READ | GENERIC_WRITE), ACCESS_MASK(GENERIC_READ | GENERIC_WRITE));
    EXPECT_EQ(users & GENERIC_ALL, 0u) << "the writers must not control the pipe";
    EXPECT_EQ(AllowedTo(WinLocalSystemSid) & GENERIC_ALL, ACCESS_MASK(GENERIC_ALL));
    EXPECT_EQ(AllowedTo(WinBuiltinAdministratorsSid) & GENERIC_ALL, ACCESS_MASK(GENERIC_ALL));
    EXPECT_EQ(AllowedTo(WinWorldSid), 0u) << "everyone else gets nothing";

    // The pipe is made with it, and a member connects for writing.
    CPipeListener listener;
    std::string strName = "VendrelPipeWriters_" + std::to_string(GetCurrentProcessId());
    ASSERT_TRUE(listener.Open(strName, "Users", &strError)) << strError;
    std::wstring wstrPath(listener.Path().begin(), listener.Path().end());
    HANDLE hClient =
        CreateFileW(wstrPath.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(hClient, INVALID_HANDLE_VALUE) << GetLastError();
    DWORD dwWritten = 0;
    EXPECT_TRUE(WriteFile(hClient, "x", 1, &dwWritten, nullptr));
    CloseHandle(hClient);
}

TEST(LogPipeWriters, AnUnknownGroupIsRefusedByName)
{
    std::string strError;
    EXPECT_FALSE(SetLogPipeWriters("no-such-group-of-vendrel", &strError));
    EXPECT_NE(strError.find("no-such-group-of-vendrel"), std::string::npos) << strError;

    CPipeListener listener;
    std::string strName = "VendrelPipeUnknownGroup_" + std::to_string(GetCurrentProcessId());
    strError.clear();
    EXPECT_FALSE(listener.Open(strName, "no-such-group-of-vendrel", &strError));
    EXPECT_NE(strError.find("unknown group"), std::string::npos) << strError;
}

} // namespace
