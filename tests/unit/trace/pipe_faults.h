// Log pipes that misbehave on purpose, for the pipe client's failure paths. Each build has its
// own way of making them (pipe_faults_posix.cpp, pipe_faults_win.cpp).
#pragma once

#include <memory>
#include <string>

// The log pipe exists but every instance of it is taken.
class CBusyLogPipe
{
public:
    CBusyLogPipe();
    ~CBusyLogPipe();
    // False when the pipe could not be made busy (a test failure on either build).
    bool Occupy();
    // Frees one instance, takes the next client on it and answers the bytes it wrote.
    std::string ReleaseAndReceive();

    struct CImpl;

private:
    std::unique_ptr<CImpl> m_pImpl;
};

// The log pipe cannot be opened for a reason other than its absence.
class CRefusingLogPipe
{
public:
    CRefusingLogPipe();
    ~CRefusingLogPipe();
    // False when this build cannot make such a pipe.
    bool Start();

    struct CImpl;

private:
    std::unique_ptr<CImpl> m_pImpl;
};
