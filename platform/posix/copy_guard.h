// Removal of a copy's hidden temporary file when the process is ended by SIGTERM, SIGINT or
// SIGHUP while the copy runs (see copy_guard.cpp). Only the layer's own sources use it.
#pragma once

#include "pal_internal.h"

#include <csignal>

// Holds a place in the list of copies in progress for its lifetime, with the end-signal
// handlers in place. Names set on it are removed by a handler until they are cleared (nullptr)
// or the guard goes. Set and clear a name with the end signals blocked, together with the step
// that makes or takes the file, so that no handler meets a name without its file or the
// reverse. Without a free place (never with one copy per thread) the copy runs unguarded: a
// signal then leaves its hidden file, as SIGKILL does.
class CCopyGuard
{
public:
    CCopyGuard();
    ~CCopyGuard();
    CCopyGuard(const CCopyGuard&) = delete;
    CCopyGuard& operator=(const CCopyGuard&) = delete;

    // The hidden temporary file of the copy.
    void SetTemp(const char* szTemp);

private:
    int m_nSlot;
};

// Keeps SIGTERM, SIGINT and SIGHUP blocked in this thread for its lifetime (when bBlock); one
// that arrives meanwhile is delivered when it ends.
class CEndSignalsBlocked
{
public:
    explicit CEndSignalsBlocked(bool bBlock = true);
    ~CEndSignalsBlocked();
    CEndSignalsBlocked(const CEndSignalsBlocked&) = delete;
    CEndSignalsBlocked& operator=(const CEndSignalsBlocked&) = delete;

private:
    bool m_bBlocked;
    sigset_t m_previous;
};
