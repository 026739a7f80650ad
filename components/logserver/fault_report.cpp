#include "fault_report.h"

#include <cstdio>

void ReportClosedConnection(const char* szWhat, const char* szWhy)
{
    fprintf(stderr, "vendrel-logd: %s: %s; the connection is closed\n", szWhat, szWhy);
    fflush(stderr);
}
