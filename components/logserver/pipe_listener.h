// The server end of the log pipe: a Windows named pipe in message mode, or on POSIX the Unix
// stream socket that stands for it in the pipe directory.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

// One accepted client; closed when destroyed.
class CPipeConnection
{
public:
    virtual ~CPipeConnection() {}
    // Bytes read (> 0), or 0 once the client has closed or the connection failed.
    virtual size_t Read(void* pBuffer, size_t nSize) = 0;
    // True when a Read would not block (bytes have come, or the client has closed), waiting up
    // to nTimeoutMs for that. A connection that cannot tell answers false.
    virtual bool WaitReadable(int nTimeoutMs)
    {
        (void)nTimeoutMs;
        return false;
    }
};

class CPipeListener
{
public:
    CPipeListener();
    ~CPipeListener();
    CPipeListener(const CPipeListener&) = delete;
    CPipeListener& operator=(const CPipeListener&) = delete;

    // Starts listening on the pipe strName (the part after \\.\pipe\). A pipe that another
    // live server owns is refused; on POSIX a stale socket file is replaced. On POSIX the socket
    // is made with mode 0660, so only the server's user and the group strGroup (empty: the
    // server's own group) may connect; an unknown group is refused. Windows keeps the system's
    // default pipe security and only notes on standard error that strGroup has no effect.
    bool Open(const std::string& strName, const std::string& strGroup, std::string* pstrError);
    bool Open(const std::string& strName, std::string* pstrError)
    {
        return Open(strName, std::string(), pstrError);
    }
    // POSIX: the listening socket, non-blocking, for a poll loop that accepts itself. Windows:
    // -1 (clients are taken with Accept).
    int Descriptor() const;
    // The path clients connect to.
    const std::string& Path() const;
    // Waits for the next client; null once Stop was called or listening failed for good.
    std::unique_ptr<CPipeConnection> Accept();
    // Ends a waiting or later Accept. Callable from any thread.
    void Stop();

    struct CImpl;

private:
    std::unique_ptr<CImpl> m_pImpl;
};
