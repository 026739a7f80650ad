// The Win32 and C-runtime subset that Vendrel uses, implemented on POSIX.
//
// Names, types, constants and error codes are those of Win32, so the program's code reads the
// same in both builds. Behaviour follows what the Windows build shows, with these POSIX choices:
//  - paths use '/', have no drive part and compare case-sensitively; '\' is an ordinary byte;
//  - the ANSI code page is UTF-8 and WCHAR is a 16-bit UTF-16 unit (char16_t);
//  - share modes are emulated with non-blocking flock(), conflicts fail with
//    ERROR_SHARING_VIOLATION; a file that an open handle holds cannot be deleted or moved
//    (ERROR_SHARING_VIOLATION), as without FILE_SHARE_DELETE on Windows;
//  - CreateFileA opens regular files only, never blocking: a FIFO, socket or device is
//    ERROR_ACCESS_DENIED, as Windows' file namespace has none; CREATE_ALWAYS and CREATE_NEW
//    never follow a symbolic link in the last component (ERROR_ACCESS_DENIED);
//  - a file that CREATE_ALWAYS or CREATE_NEW makes is locked before any other opener sees it;
//    CREATE_ALWAYS writes a new file beside the old one and CloseHandle moves it into place only
//    when every write succeeded, so the old file is never seen emptied or cut short;
//  - GetFileAttributesA does not follow a link: a link is FILE_ATTRIBUTE_REPARSE_POINT, a FIFO,
//    socket or device FILE_ATTRIBUTE_DEVICE;
//  - a leading dot hides a file; FILE_ATTRIBUTE_HIDDEN is otherwise not stored;
//  - a last path component that Windows cannot hold (a byte 0x01-0x1F or one of < > : " | ? *)
//    is ERROR_INVALID_NAME for CreateFileA and MoveFileA, as on Windows;
//  - MoveFileA never replaces its target (renameat2 RENAME_NOREPLACE, else link + unlink;
//    across file systems a copy under a hidden temporary name in the target directory, flushed
//    and only then linked to the target name, then the source's deletion) and makes the new
//    name durable (fsync of the target directory) before it returns;
//  - checks whether a file is in use, deletions and moves never open a FIFO, socket or device,
//    nor follow a link in the last component;
//  - \\.\pipe\NAME is the Unix stream socket NAME in $VENDREL_PIPE_DIR (default /run/vendrel);
//  - LoadLibraryA("name.dll") loads libname.so, first beside the executable;
//  - errno is mapped to the Win32 code that the same failure gives on Windows.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

// ---------------------------------------------------------------------------------------------
// Types

typedef int BOOL;
typedef unsigned char BYTE;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef uint64_t ULONGLONG;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef char CHAR;
typedef char16_t WCHAR;
typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef BOOL* LPBOOL;
typedef void* HANDLE;
typedef void* HMODULE;
typedef int (*FARPROC)();
typedef int errno_t;

#define WINAPI
#define TRUE 1
#define FALSE 0
#define MAX_PATH 260

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;
struct OVERLAPPED;
typedef OVERLAPPED* LPOVERLAPPED;

typedef struct _FILETIME
{
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *LPFILETIME;

typedef struct _WIN32_FIND_DATAA
{
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD dwReserved0;
    DWORD dwReserved1;
    CHAR cFileName[MAX_PATH];
    CHAR cAlternateFileName[14];
} WIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

typedef struct _BY_HANDLE_FILE_INFORMATION
{
    DWORD dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD dwVolumeSerialNumber;
    DWORD nFileSizeHigh;
    DWORD nFileSizeLow;
    DWORD nNumberOfLinks;
    DWORD nFileIndexHigh;
    DWORD nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;

// ---------------------------------------------------------------------------------------------
// Constants

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)
#define INVALID_FILE_ATTRIBUTES ((DWORD)-1)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u

#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define FILE_SHARE_DELETE 0x00000004u

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define FILE_ATTRIBUTE_READONLY 0x00000001u
#define FILE_ATTRIBUTE_HIDDEN 0x00000002u
#define FILE_ATTRIBUTE_DIRECTORY 0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE 0x00000020u
#define FILE_ATTRIBUTE_DEVICE 0x00000040u
#define FILE_ATTRIBUTE_NORMAL 0x00000080u
#define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u

#define FILE_FLAG_BACKUP_SEMANTICS 0x02000000u
#define FILE_FLAG_OPEN_REPARSE_POINT 0x00200000u

#define FILE_TYPE_UNKNOWN 0x0000u
#define FILE_TYPE_DISK 0x0001u
#define FILE_TYPE_CHAR 0x0002u
#define FILE_TYPE_PIPE 0x0003u

#define FILE_BEGIN 0
#define FILE_CURRENT 1
#define FILE_END 2
#define INVALID_SET_FILE_POINTER ((DWORD)-1)

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_TOO_MANY_OPEN_FILES 4L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_NOT_SAME_DEVICE 17L
#define ERROR_NO_MORE_FILES 18L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_UNEXP_NET_ERR 59L
#define ERROR_FILE_EXISTS 80L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BROKEN_PIPE 109L
#define ERROR_DISK_FULL 112L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_DIR_NOT_EMPTY 145L
#define ERROR_NEGATIVE_SEEK 131L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_FILE_TOO_LARGE 223L
#define ERROR_PIPE_BUSY 231L
#define ERROR_NO_DATA 232L
#define ERROR_PIPE_NOT_CONNECTED 233L
#define ERROR_MORE_DATA 234L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_IO_DEVICE 1117L
#define ERROR_NO_UNICODE_TRANSLATION 1113L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_CANT_RESOLVE_FILENAME 1921L

#define CP_ACP 0
#define CP_UTF8 65001
#define MB_PRECOMPOSED 0x00000001u
#define MB_ERR_INVALID_CHARS 0x00000008u
#define WC_COMPOSITECHECK 0x00000200u
#define WC_ERR_INVALID_CHARS 0x00000080u

#define PIPE_READMODE_MESSAGE 0x00000002u
#define NMPWAIT_USE_DEFAULT_WAIT 0x00000000u
#define NMPWAIT_WAIT_FOREVER 0xffffffffu

// C runtime: path part limits and stream modes.
#define _MAX_PATH 260
#define _MAX_DRIVE 3
#define _MAX_DIR 256
#define _MAX_FNAME 256
#define _MAX_EXT 256
#define _O_TEXT 0x4000
#define _O_BINARY 0x8000
// What the multibyte comparisons answer for an argument they cannot compare.
#define _NLSCMPERROR 2147483647

// ---------------------------------------------------------------------------------------------
// Errors

DWORD GetLastError();
void SetLastError(DWORD dwErrCode);
// The Win32 code that the failure behind errno value nErrno gives on Windows.
DWORD PalWin32ErrorFromErrno(int nErrno);

// ---------------------------------------------------------------------------------------------
// Files

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// Files, and "\\.\pipe\NAME" for the client end of a named pipe.
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
              LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
               LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped);
BOOL CloseHandle(HANDLE hObject);
BOOL GetFileTime(HANDLE hFile, LPFILETIME lpCreationTime, LPFILETIME lpLastAccessTime,
                 LPFILETIME lpLastWriteTime);
DWORD GetFileAttributesA(LPCSTR lpFileName);

// What an open handle is and holds (file_info.cpp). A handle opened for no access (0) with
// OPEN_EXISTING only queries: it opens anything without blocking or reading it, a directory only
// with FILE_FLAG_BACKUP_SEMANTICS, and a symbolic link itself with FILE_FLAG_OPEN_REPARSE_POINT.
// Reading or writing that flag's handle elsewhere never goes through a link in the last component.
// GetFileType: a regular file, directory, link or block device is FILE_TYPE_DISK, a character
// device FILE_TYPE_CHAR, a FIFO or socket FILE_TYPE_PIPE. Handles do not keep their names, so
// GetFileInformationByHandle reports no FILE_ATTRIBUTE_HIDDEN.
DWORD GetFileType(HANDLE hFile);
BOOL GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation);
DWORD SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                     DWORD dwMoveMethod);
// Cuts or extends the file to the handle's file pointer.
BOOL SetEndOfFile(HANDLE hFile);

HANDLE FindFirstFileA(LPCSTR lpFileName, LPWIN32_FIND_DATAA lpFindFileData);
BOOL FindNextFileA(HANDLE hFindFile, LPWIN32_FIND_DATAA lpFindFileData);
BOOL FindClose(HANDLE hFindFile);

BOOL MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName);
BOOL DeleteFileA(LPCSTR lpFileName);
// Writes what the file's handle wrote through to the disk (fsync).
BOOL FlushFileBuffers(HANDLE hFile);

// ---------------------------------------------------------------------------------------------
// Named pipes (client side)

BOOL WaitNamedPipeW(LPCWSTR lpNamedPipeName, DWORD nTimeOut);
BOOL SetNamedPipeHandleState(HANDLE hNamedPipe, LPDWORD lpMode, LPDWORD lpMaxCollectionCount,
                             LPDWORD lpCollectDataTimeout);
// The directory that holds the sockets behind \\.\pipe\ names.
const char* PalPipeDirectory();

// ---------------------------------------------------------------------------------------------
// Time and identity

DWORD GetTickCount();
// Suspends the calling thread for at least dwMilliseconds.
void Sleep(DWORD dwMilliseconds);
void GetSystemTimeAsFileTime(LPFILETIME lpSystemTimeAsFileTime);
DWORD GetCurrentProcessId();
DWORD GetCurrentThreadId();
DWORD GetModuleFileNameA(HMODULE hModule, LPSTR lpFilename, DWORD nSize);

// ---------------------------------------------------------------------------------------------
// Code pages (the ANSI code page is UTF-8)

int MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCSTR lpMultiByteStr, int cbMultiByte,
                        LPWSTR lpWideCharStr, int cchWideChar);
int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr, int cchWideChar,
                        LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR lpDefaultChar,
                        LPBOOL lpUsedDefaultChar);
UINT GetACP();

// ---------------------------------------------------------------------------------------------
// Dynamic loading

HMODULE LoadLibraryA(LPCSTR lpLibFileName);
FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
BOOL FreeLibrary(HMODULE hLibModule);

// ---------------------------------------------------------------------------------------------
// C runtime: paths and multibyte text

errno_t _splitpath_s(const char* path, char* drive, size_t driveNumberOfElements, char* dir,
                     size_t dirNumberOfElements, char* fname, size_t nameNumberOfElements,
                     char* ext, size_t extNumberOfElements);
char* _fullpath(char* absPath, const char* relPath, size_t maxLength);
// Compares case-sensitively on POSIX: the file system is case-sensitive, so a case-insensitive
// path check would admit a directory that differs from the intended one only in case.
int _mbsicmp(const unsigned char* string1, const unsigned char* string2);
int _mbscmp(const unsigned char* string1, const unsigned char* string2);

// Bounded formatting with the C runtime's cut: at most count characters are written, and the
// terminator only when it fits; the result is -1 when the text was cut. Only %s, %d, %u, %x,
// %ld, %lu, %lx and %% are understood, without flags, width or precision; from any other
// conversion on, the format is copied as it stands and no further argument is read.
int _snprintf(char* buffer, size_t count, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
int _vsnprintf(char* buffer, size_t count, const char* format, va_list argptr)
    __attribute__((format(printf, 3, 0)));
// The same for UTF-16 text; %s takes UTF-16 text.
int _snwprintf(WCHAR* buffer, size_t count, const WCHAR* format, ...);
int _vsnwprintf(WCHAR* buffer, size_t count, const WCHAR* format, va_list argptr);

size_t wcslen(const WCHAR* str);

// ---------------------------------------------------------------------------------------------
// C runtime: standard streams
//
// Readies the program's own unwinder for exceptions thrown by a loaded library's (unwinder.cpp).
void PalPrepareUnwinder();

// _setmode(_fileno(stdout), _O_TEXT) makes std::cout a text-mode stream: every LF written goes
// out as CR LF, unbuffered, so that both builds put the same bytes on the wire.
// _setmode(_fileno(stdin), _O_BINARY) changes nothing: POSIX streams are always binary.
int _setmode(int fd, int mode);
int _fileno(FILE* stream);
