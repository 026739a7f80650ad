// The log server as a system service. Windows has its service manager here; on POSIX the
// system's own service manager runs the server (the package's vendrel-logd.service).
#pragma once

#include "logd_options.h"

#include <functional>

// True where --install-service, --remove-service and --service work (Windows).
bool LogdServicesSupported();

// Registers the service vendrel-logd: started at boot, by the service manager, with the
// serving options of options (the output path made absolute). Says what it did on standard
// output; exit status 0, or 1 with the reason on standard error.
int InstallLogdService(const CLogdOptions& options);
// Stops the service if it runs, waiting for it, and deletes it. Exit status as above.
int RemoveLogdService();

// Serves until told to stop, calling onListening once clients can connect; answers the exit
// status.
using LogdServeFunction = std::function<int(const std::function<void()>& onListening)>;
// --service: hands this thread to the service manager, which runs serve as the service and
// stops it through the stop signal (RequestServerStop). Answers the exit status.
int RunLogdService(const LogdServeFunction& serve);
