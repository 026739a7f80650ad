// The overridable system calls: one table of the calls that tests stand in for (a clock, a
// competing process, a failing pipe). Each entry holds its name, the function that calls go to
// now and the system's own function. The program only ever calls through the os* accessors
// below, a pointer load each, and never changes an entry; tests set entries by name.
#pragma once

#include "platform.h"

#include <time.h>

#ifndef _WIN32
#include <sys/types.h>
#endif

// An entry's pointer, untyped; each accessor casts it back to its call's own type.
typedef void (*SYSTEM_CALL_PTR)(void);

struct CSystemCall
{
    const char* szName;
    SYSTEM_CALL_PTR pfnCurrent;
    SYSTEM_CALL_PTR pfnDefault;
};

// The entries, in table order.
enum ESystemCall
{
    SYSCALL_CREATE_FILE_W,
    SYSCALL_WRITE_FILE,
    SYSCALL_GET_TICK_COUNT,
    SYSCALL_GET_SYSTEM_TIME_AS_FILE_TIME,
    SYSCALL_TIME,
    SYSCALL_GET_FILE_ATTRIBUTES_A,
    SYSCALL_MOVE_FILE_A,
    SYSCALL_SLEEP,
    SYSCALL_FLUSH_FILE_BUFFERS,
    SYSCALL_GET_MODULE_FILE_NAME_A,
#ifndef _WIN32
    // What the POSIX layer itself calls where durability and never-replacing moves are made.
    SYSCALL_FSYNC,
    SYSCALL_LINK,
    SYSCALL_RENAME_NO_REPLACE,
    SYSCALL_WRITE,
    SYSCALL_FLOCK,
#endif
    SYSCALL_COUNT
};

extern CSystemCall g_aSystemCalls[SYSCALL_COUNT];

typedef HANDLE(WINAPI* PFN_CREATEFILEW)(LPCWSTR lpFileName, DWORD dwDesiredAccess,
                                        DWORD dwShareMode,
                                        LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                        DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                                        HANDLE hTemplateFile);
typedef BOOL(WINAPI* PFN_WRITEFILE)(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                    LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
typedef DWORD(WINAPI* PFN_GETTICKCOUNT)();
typedef void(WINAPI* PFN_GETSYSTEMTIMEASFILETIME)(LPFILETIME lpSystemTimeAsFileTime);
typedef time_t (*PFN_TIME)(time_t* pTime);
typedef DWORD(WINAPI* PFN_GETFILEATTRIBUTESA)(LPCSTR lpFileName);
typedef BOOL(WINAPI* PFN_MOVEFILEA)(LPCSTR lpExistingFileName, LPCSTR lpNewFileName);
typedef void(WINAPI* PFN_SLEEP)(DWORD dwMilliseconds);
typedef BOOL(WINAPI* PFN_FLUSHFILEBUFFERS)(HANDLE hFile);
typedef DWORD(WINAPI* PFN_GETMODULEFILENAMEA)(HMODULE hModule, LPSTR lpFilename, DWORD nSize);
#ifndef _WIN32
typedef int (*PFN_FSYNC)(int nFd);
typedef int (*PFN_LINK)(const char* szFrom, const char* szTo);
typedef int (*PFN_RENAMENOREPLACE)(const char* szFrom, const char* szTo);
typedef ssize_t (*PFN_WRITE)(int nFd, const void* pData, size_t nSize);
typedef int (*PFN_FLOCK)(int nFd, int nOperation);
#endif

#ifdef VENDREL_DIRECT_SYSTEM_CALLS
// Code built without the C++ runtime (the scanning engine's library) calls the system itself:
// the table names every call, and would pull all of the layer, runtime and all, into it.
#define SYSTEM_CALL(index, type, name) (name)
#else
#define SYSTEM_CALL(index, type, name) (reinterpret_cast<type>(g_aSystemCalls[index].pfnCurrent))
#endif

// The pipe client's open of the log server's pipe.
#define osCreateFileW SYSTEM_CALL(SYSCALL_CREATE_FILE_W, PFN_CREATEFILEW, CreateFileW)
// Every chunk that the pipe client writes.
#define osWriteFile SYSTEM_CALL(SYSCALL_WRITE_FILE, PFN_WRITEFILE, WriteFile)
// The clock of the trace gate and of its failure time.
#define osGetTickCount SYSTEM_CALL(SYSCALL_GET_TICK_COUNT, PFN_GETTICKCOUNT, GetTickCount)
// "Now" for the age of the size cache file.
#define osGetSystemTimeAsFileTime                                                                  \
    SYSTEM_CALL(SYSCALL_GET_SYSTEM_TIME_AS_FILE_TIME, PFN_GETSYSTEMTIMEASFILETIME,                 \
                GetSystemTimeAsFileTime)
// The time stamp of a quarantined file's name.
#define osTime SYSTEM_CALL(SYSCALL_TIME, PFN_TIME, time)
// The status query of the free-name search in the quarantine folder.
#define osGetFileAttributesA                                                                       \
    SYSTEM_CALL(SYSCALL_GET_FILE_ATTRIBUTES_A, PFN_GETFILEATTRIBUTESA, GetFileAttributesA)
// The move of an upload into the quarantine folder.
#define osMoveFileA SYSTEM_CALL(SYSCALL_MOVE_FILE_A, PFN_MOVEFILEA, MoveFileA)
// The pause between tries to open a size cache file that another process holds.
#define osSleep SYSTEM_CALL(SYSCALL_SLEEP, PFN_SLEEP, Sleep)
// The flush of an upload file to the disk before the CGI library hands it over.
#define osFlushFileBuffers                                                                         \
    SYSTEM_CALL(SYSCALL_FLUSH_FILE_BUFFERS, PFN_FLUSHFILEBUFFERS, FlushFileBuffers)
// The executable's path, from which the trace set-up takes the install directory and its name.
#define osGetModuleFileNameA                                                                       \
    SYSTEM_CALL(SYSCALL_GET_MODULE_FILE_NAME_A, PFN_GETMODULEFILENAMEA, GetModuleFileNameA)
#ifndef _WIN32
// Every fsync of the POSIX layer: FlushFileBuffers, a copy's data, a moved name's directory.
#define osFsync SYSTEM_CALL(SYSCALL_FSYNC, PFN_FSYNC, fsync)
// The hard links of the POSIX layer that put a finished file under its name.
#define osLink SYSTEM_CALL(SYSCALL_LINK, PFN_LINK, link)
// The renames of MoveFileA that never replace (renameat2 with RENAME_NOREPLACE).
#define osRenameNoReplace                                                                          \
    SYSTEM_CALL(SYSCALL_RENAME_NO_REPLACE, PFN_RENAMENOREPLACE, PalRenameNoReplace)
// The writes of MoveFileA's copy across file systems.
#define osWrite SYSTEM_CALL(SYSCALL_WRITE, PFN_WRITE, write)
// The share-mode locks that CreateFileA takes.
#define osFlock SYSTEM_CALL(SYSCALL_FLOCK, PFN_FLOCK, flock)
#endif

// Makes the entry named szName call pfnCall, or the system's own function again when pfnCall
// is NULL. Answers FALSE, changing nothing, for a name that is not in the table.
BOOL SetSystemCall(const char* szName, SYSTEM_CALL_PTR pfnCall);
// The function that the entry named szName calls now; NULL for a name not in the table.
SYSTEM_CALL_PTR GetSystemCall(const char* szName);
// Puts every entry back to the system's own function.
void ResetSystemCalls();
