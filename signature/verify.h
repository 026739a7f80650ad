// Upload signature verification.
#pragma once

// True when szVerify is the upload signature of the file szTempFileName sent by the computer
// szComputerName.
bool VerifyPassPort(const char* szTempFileName, const char* szComputerName, const char* szVerify);
