// Who may write records into the log pipe on Windows. The system's default security of a named
// pipe gives full control to SYSTEM, the administrators and the server's own account, and only
// read access to everyone else: a web server's application pool, which must write, is shut out
// when the log server runs as a service. A writers' group opens the pipe to its members.
#pragma once

#include <windows.h>

#include <string>

// Gives the members of the local or domain group (or account) strGroup write access to every
// pipe instance made from now on, beside SYSTEM, the administrators and the server's own
// account. False, with the reason, when the name is unknown or the security cannot be made.
bool SetLogPipeWriters(const std::string& strGroup, std::string* pstrError);

// The security of new pipe instances: null (the system's default) until SetLogPipeWriters.
SECURITY_ATTRIBUTES* LogPipeSecurity();
