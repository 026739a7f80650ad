// Serving one accepted client in turn: on the accepting thread while its bytes are ready, in a
// thread of its own once it dawdles. Used where clients are taken one by one (Windows pipes).
#pragma once

#include "pipe_listener.h"
#include "record_writer.h"

#include <functional>
#include <memory>

// Starts fn on a detached thread, which runs it exactly once; throws (std::system_error,
// std::bad_alloc) without running it when no thread can be had.
using ThreadStarter = std::function<void(std::function<void()> fn)>;

// The starter of real threads.
ThreadStarter DetachedThreadStarter();

// Serves pConnection for up to nTurnMs, then in a thread of its own while the caller waits for
// the rest of the turn, so that records leave in the order their connections came. When no
// thread or no memory can be had, only this connection is closed, with a line on standard
// error.
void ServeInTurn(std::unique_ptr<CPipeConnection> pConnection, CRecordWriter* pWriter, int nTurnMs,
                 const ThreadStarter& startThread);
