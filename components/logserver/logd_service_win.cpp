// Windows: the log server registered with the service manager, and run by it.
#include "logd_service.h"

#include "service_command_line.h"
#include "stop_signal.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

namespace
{
// How long the service manager is told a start or a stop may take.
const DWORD kPendingHintMs = 10000;
// How long --remove-service waits for a running service to stop, and how often it looks.
const DWORD kStopWaitMs = 30000;
const DWORD kStopPollMs = 100;

// What the service's thread and the control handler share, under g_statusMutex.
std::mutex g_statusMutex;
SERVICE_STATUS_HANDLE g_hServiceStatus = NULL;
SERVICE_STATUS g_serviceStatus;
bool g_bStopAsked = false;
const LogdServeFunction* g_pServe = nullptr;
int g_nServiceExit = 0;

int Fail(const char* szWhat, DWORD dwError)
{
    fprintf(stderr, "vendrel-logd: %s (err=%lu)\n", szWhat, (unsigned long)dwError);
    return 1;
}

void ReportServiceStateLocked(DWORD dwState, DWORD dwExitCode)
{
    g_serviceStatus.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_serviceStatus.dwCurrentState = dwState;
    // Stop and shutdown are taken only once serving runs, and while it runs.
    g_serviceStatus.dwControlsAccepted =
        dwState == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN : 0;
    g_serviceStatus.dwWin32ExitCode = dwExitCode == 0 ? NO_ERROR : ERROR_SERVICE_SPECIFIC_ERROR;
    g_serviceStatus.dwServiceSpecificExitCode = dwExitCode;
    bool bPending = dwState == SERVICE_START_PENDING || dwState == SERVICE_STOP_PENDING;
    g_serviceStatus.dwWaitHint = bPending ? kPendingHintMs : 0;
    g_serviceStatus.dwCheckPoint = bPending ? g_serviceStatus.dwCheckPoint + 1 : 0;
    SetServiceStatus(g_hServiceStatus, &g_serviceStatus);
}

void ReportServiceState(DWORD dwState, DWORD dwExitCode)
{
    std::lock_guard<std::mutex> lock(g_statusMutex);
    ReportServiceStateLocked(dwState, dwExitCode);
}

// Serving has begun: running, unless a stop came first (it ends serving at once, and the
// service manager must not see it running again).
void ReportListening()
{
    std::lock_guard<std::mutex> lock(g_statusMutex);
    if (!g_bStopAsked)
    {
        ReportServiceStateLocked(SERVICE_RUNNING, 0);
    }
}

DWORD WINAPI OnServiceControl(DWORD dwControl, DWORD dwEventType, LPVOID pEventData,
                              LPVOID pContext)
{
    (void)dwEventType;
    (void)pEventData;
    (void)pContext;
    switch (dwControl)
    {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
    {
        // Serving ends on the service's thread, which reports the stop once the last records
        // are written.
        std::lock_guard<std::mutex> lock(g_statusMutex);
        g_bStopAsked = true;
        ReportServiceStateLocked(SERVICE_STOP_PENDING, 0);
        RequestServerStop();
        return NO_ERROR;
    }
    case SERVICE_CONTROL_INTERROGATE:
    {
        std::lock_guard<std::mutex> lock(g_statusMutex);
        SetServiceStatus(g_hServiceStatus, &g_serviceStatus);
        return NO_ERROR;
    }
    default:
        return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI ServiceMain(DWORD dwArgc, LPSTR* pszArgv)
{
    // The options come from the registered command line, not from the start's arguments.
    (void)dwArgc;
    (void)pszArgv;
    {
        // A control that comes at once waits for the handle it answers through.
        std::lock_guard<std::mutex> lock(g_statusMutex);
        g_hServiceStatus = RegisterServiceCtrlHandlerExA(kLogdServiceName, OnServiceControl, NULL);
    }
    if (g_hServiceStatus == NULL)
    {
        g_nServiceExit = Fail("RegisterServiceCtrlHandlerEx failed", GetLastError());
        return;
    }
    ReportServiceState(SERVICE_START_PENDING, 0);
    g_nServiceExit = (*g_pServe)(ReportListening);
    ReportServiceState(SERVICE_STOPPED, DWORD(g_nServiceExit));
}

std::string ExecutablePath()
{
    char szPath[MAX_PATH + 1] = {0};
    DWORD dwLength = GetModuleFileNameA(NULL, szPath, MAX_PATH);
    return dwLength == 0 || dwLength >= MAX_PATH ? std::string() : std::string(szPath, dwLength);
}

// The service runs from the system directory: a relative output must be made absolute here.
bool AbsolutePath(const std::string& strPath, std::string* pstrAbsolute)
{
    char szFull[MAX_PATH + 1] = {0};
    DWORD dwLength = GetFullPathNameA(strPath.c_str(), MAX_PATH, szFull, NULL);
    if (dwLength == 0 || dwLength >= MAX_PATH)
    {
        return false;
    }
    pstrAbsolute->assign(szFull, dwLength);
    return true;
}

// Closes a service manager handle when it goes out of scope.
class CServiceHandle
{
public:
    explicit CServiceHandle(SC_HANDLE h) : m_h(h) {}
    ~CServiceHandle()
    {
        if (m_h != NULL)
        {
            CloseServiceHandle(m_h);
        }
    }
    CServiceHandle(const CServiceHandle&) = delete;
    CServiceHandle& operator=(const CServiceHandle&) = delete;
    SC_HANDLE Get() const { return m_h; }

private:
    SC_HANDLE m_h;
};
} // namespace

bool LogdServicesSupported()
{
    return true;
}

int InstallLogdService(const CLogdOptions& options)
{
    std::string strExe = ExecutablePath();
    if (strExe.empty())
    {
        return Fail("cannot tell the path of vendrel-logd.exe", GetLastError());
    }
    CLogdOptions stored = options;
    if (!AbsolutePath(options.strOutput, &stored.strOutput))
    {
        return Fail(("cannot make " + options.strOutput + " an absolute path").c_str(),
                    GetLastError());
    }
    std::string strCommand = ServiceCommandLine(strExe, stored);
    CServiceHandle manager(OpenSCManagerA(NULL, NULL, SC_MANAGER_CREATE_SERVICE));
    if (manager.Get() == NULL)
    {
        return Fail("cannot open the service manager (run as an administrator)", GetLastError());
    }
    CServiceHandle service(CreateServiceA(manager.Get(), kLogdServiceName, kLogdServiceDisplayName,
                                          SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                          SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                          strCommand.c_str(), NULL, NULL, NULL, NULL, NULL));
    if (service.Get() == NULL)
    {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_SERVICE_EXISTS)
        {
            fprintf(stderr,
                    "vendrel-logd: the service %s exists already; remove it first with "
                    "--remove-service\n",
                    kLogdServiceName);
            return 1;
        }
        return Fail("cannot create the service", dwError);
    }
    char szDescription[] = "Receives the trace records of the Vendrel CGI program on the log "
                           "pipe and writes them to its output file.";
    SERVICE_DESCRIPTIONA description = {szDescription};
    ChangeServiceConfig2A(service.Get(), SERVICE_CONFIG_DESCRIPTION, &description);
    printf("vendrel-logd: service %s installed, started at boot: %s\n"
           "Start it now with: sc start %s\n",
           kLogdServiceName, strCommand.c_str(), kLogdServiceName);
    return 0;
}

int RemoveLogdService()
{
    CServiceHandle manager(OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT));
    if (manager.Get() == NULL)
    {
        return Fail("cannot open the service manager (run as an administrator)", GetLastError());
    }
    CServiceHandle service(OpenServiceA(manager.Get(), kLogdServiceName,
                                        SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (service.Get() == NULL)
    {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_SERVICE_DOES_NOT_EXIST)
        {
            fprintf(stderr, "vendrel-logd: the service %s is not installed\n", kLogdServiceName);
            return 1;
        }
        return Fail("cannot open the service", dwError);
    }
    SERVICE_STATUS status;
    ZeroMemory(&status, sizeof(status));
    if (QueryServiceStatus(service.Get(), &status) && status.dwCurrentState != SERVICE_STOPPED)
    {
        // Stopped first, so that its last records are written before it goes.
        ControlService(service.Get(), SERVICE_CONTROL_STOP, &status);
        DWORD dwStart = GetTickCount();
        while (QueryServiceStatus(service.Get(), &status) &&
               status.dwCurrentState != SERVICE_STOPPED && GetTickCount() - dwStart < kStopWaitMs)
        {
            Sleep(kStopPollMs);
        }
        if (status.dwCurrentState != SERVICE_STOPPED)
        {
            fprintf(stderr,
                    "vendrel-logd: the service %s did not stop in %lu s; deleted all "
                    "the same, it goes once it stops\n",
                    kLogdServiceName, (unsigned long)(kStopWaitMs / 1000));
        }
    }
    if (!DeleteService(service.Get()))
    {
        return Fail("cannot delete the service", GetLastError());
    }
    printf("vendrel-logd: service %s removed\n", kLogdServiceName);
    return 0;
}

int RunLogdService(const LogdServeFunction& serve)
{
    g_pServe = &serve;
    // The table wants a writable name.
    char szName[64] = {0};
    strncpy(szName, kLogdServiceName, sizeof(szName) - 1);
    SERVICE_TABLE_ENTRYA aTable[] = {{szName, ServiceMain}, {NULL, NULL}};
    if (!StartServiceCtrlDispatcherA(aTable))
    {
        DWORD dwError = GetLastError();
        if (dwError == ERROR_FAILED_SERVICE_CONTROLLER_CONNECT)
        {
            fprintf(stderr, "vendrel-logd: --service is the command line of the installed "
                            "service, for the service manager; in a console leave it out\n");
            return 2;
        }
        return Fail("StartServiceCtrlDispatcher failed", dwError);
    }
    return g_nServiceExit;
}
