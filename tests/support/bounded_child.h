// A call run in a child process with a time limit, so that a call that blocks (an open of a
// FIFO, a device) fails its test instead of hanging it. POSIX only.
#pragma once

#include <functional>

// Runs fnChild in a child process and answers its exit status (128 + the signal's number when a
// signal ended it), or -1 when it did not end within nLimitMs: it is then killed.
int RunInBoundedChild(const std::function<int()>& fnChild, int nLimitMs);
