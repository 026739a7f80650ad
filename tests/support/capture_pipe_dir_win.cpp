#include "capture_pipe_dir.h"

// Pipe names are system-wide on Windows: nothing to make or restore.
void EnterPipeDirectory(CPipeDirectoryScope* pScope)
{
    *pScope = CPipeDirectoryScope();
}

void LeavePipeDirectory(CPipeDirectoryScope*) {}
