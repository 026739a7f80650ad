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
    // Bytes read (> 0), waiting for them, or 0 once the client has closed or the connection
    // failed.
    virtual size_t Read(void* pBuffer, size_t nSize) = 0;
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
    // server's own group) may connect; an unknown group is refused. On Windows the pipe keeps
    // the system's default security (others may only read) unless strGroup is given: its
    // members may then write records too; an unknown group is refused.
    bool Open(const std::string& strName, const std::string& strGroup, std::string* pstrError);
    bool Open(const std::string& strName, std::string* pstrError)
    {
        return Open(strName, std::string(), pstrError);
    }
    // POSIX: the listening socket, non-blocking, for a poll loop that accepts itself. Windows:
    // -1.
    int Descriptor() const;
    // Windows: hands the pipe instance made by Open (overlapped, no client yet) to a server
    // that makes its instances and takes its clients itself; null once handed. POSIX: null.
    void* ReleaseFirstInstance();
    // The path clients connect to.
    const std::string& Path() const;
    // Waits for the next client, one at a time (for tests that take records in the order they
    // are sent); null once Stop was called or listening failed for good.
    std::unique_ptr<CPipeConnection> Accept();
    // Ends a waiting or later Accept. Callable from any thread.
    void Stop();

    struct CImpl;

private:
    std::unique_ptr<CImpl> m_pImpl;
};
