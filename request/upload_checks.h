// The request handler's checks of the request variables.
#pragma once

#include <cstddef>
#include <cstdint>

// A computer name may hold none of '\', '/' and '%': it becomes part of a file name and of the
// upload signature. The test is bytewise, so a double-byte character whose trail byte is '\' is
// refused too.
bool IsComputerNameAcceptable(const char* szComputerName);

// NewFileSize as strtol with base 10 reads it, held to the signed 32-bit range.
int32_t ReadUploadSize(const char* szNewFileSize);

// Whether szTempFileName lies directly in the upload directory (<home> "\TEMP\"). Leaves the
// file's recombined directory (drive + directory) and the upload directory in the two buffers of
// MAX_PATH bytes, for the trace of a failed check.
bool IsInUploadDirectory(const char* szTempFileName, char* szRecombinedDir, char* szUploadDir);

// Whether szTempFileName names a regular file: it has a name part, and its attributes, read
// without following a link, show no directory, link or device. Whatever else the engine could
// not read is never signed, and no directory is ever moved.
bool IsRegularUploadFile(const char* szTempFileName);
