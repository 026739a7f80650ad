#include "capture_pipe_dir.h"

// Pipe names are system-wide on Windows: nothing to make or restore.
void EnterCapturePipeDirectory(std::string* pstrSaved, bool* pbHadSaved)
{
    pstrSaved->clear();
    *pbHadSaved = false;
}

void LeaveCapturePipeDirectory(const std::string&, bool) {}
