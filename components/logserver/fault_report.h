// The line on standard error for a connection that the server had to give up.
#pragma once

// "vendrel-logd: <szWhat>: <szWhy>; the connection is closed". The server goes on.
void ReportClosedConnection(const char* szWhat, const char* szWhy);
