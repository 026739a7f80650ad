// The parts of upload clean-up that differ between systems: telling one file from another that
// took its name, deleting without following links, and the handlers that run when the process is
// ended from outside. One source file per system implements them.
#pragma once

#include "platform.h"

// What tells a file apart from any other file on the machine.
struct CUploadIdentity
{
    unsigned long long nVolume;
    unsigned long long nFile;
};

// The identity of the file at szPath itself (a link is not followed); false when there is none.
bool KelsioUploadIdentify(const char* szPath, CUploadIdentity& identity);
// True when szPath names a regular file itself: not a directory, a link or a device.
bool KelsioUploadIsRegularFile(const char* szPath);
// True when szPath still names that regular file (pIdentity null: any regular file).
bool KelsioUploadIsSameFile(const char* szPath, const CUploadIdentity* pIdentity);
// Deletes szPath when it is a regular file itself (not a directory, link or device) that no
// open handle holds: a writer still at work keeps its file, however long it has stalled.
// False when nothing was deleted.
bool KelsioUploadDeleteUnheld(const char* szPath);
// Makes sure the handlers that delete the remembered files when the process is ended by a
// signal or a console event are in place (once per process; later calls do nothing).
void KelsioUploadInstallHandlers();
