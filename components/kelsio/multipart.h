// multipart/form-data bodies, read in bounded memory: the content of a part goes to its
// destination as it is found, whatever its size.
#pragma once

#include "body_source.h"
#include "upload_files.h"
#include "var_table.h"

#include <string>

// Adds a variable for every part. A part with a file name becomes an upload file (its content,
// when bSaveFileParts, else dropped) and its variable's value that file's path. False when the
// body is malformed, ends early or lacks its closing delimiter, or a limit is passed.
bool KelsioParseMultipart(CBodySource& source, const std::string& strBoundary, CVarTable& table,
                          CUploadFiles& uploads, bool bSaveFileParts);
