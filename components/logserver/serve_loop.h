// Serves the clients of the log pipe on a thread of its own, while the main thread waits for
// signals.
#pragma once

#include "pipe_listener.h"
#include "record_writer.h"

#include <memory>
#include <string>

class CServeLoop
{
public:
    CServeLoop(CPipeListener* pListener, CRecordWriter* pWriter);
    ~CServeLoop();
    CServeLoop(const CServeLoop&) = delete;
    CServeLoop& operator=(const CServeLoop&) = delete;

    // False, with the reason, when serving cannot begin (no thread, no descriptor).
    bool Start(std::string* pstrError);
    // Ends serving and waits for the serving thread.
    void Stop();

    struct CImpl;

private:
    std::unique_ptr<CImpl> m_pImpl;
};
