// The request handler's checks of the request variables.
#pragma once

#include <cstddef>
#include <cstdint>

// A computer name may hold none of '\', '/' and '%': it becomes part of a file name and of the
// upload signature. The test is bytewise, so a double-byte character whose trail byte is '\' is
// refused too.
bool IsComputerNameAcceptable(const char* szComputerName);

// Whether szTempFileName lies directly in the upload directory (<home> "\TEMP\"). Leaves the
// file's recombined directory (drive + directory) and the upload directory in the two buffers of
// MAX_PATH bytes, for the trace of a failed check.
bool IsInUploadDirectory(const char* szTempFileName, char* szRecombinedDir, char* szUploadDir);

// Whether szTempFileName names a file on disk that may be taken as an upload, and its size in
// bytes (*pnFileSize, 0 when refused). The name must have a name part without a ':' (a stream
// of a file, or a device), and the name itself, opened without being read or followed, must be a
// disk file, neither a directory nor a link nor a device: a serial line, a console or the null
// device answers at once with a refusal instead of being read, and no directory is ever moved.
bool IsRegularUploadFile(const char* szTempFileName, int64_t* pnFileSize);
