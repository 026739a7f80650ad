// Every upload file the library made in this process and has not removed yet, so that the files
// the program does not take are deleted when their variable array is freed, at process exit and
// when the process is ended by a signal or a console event.
//
// The list is a fixed array of slots with fixed path buffers, taken and released through atomic
// states and no lock: a signal handler may read it at any moment, and a process that ends while
// another thread was in the middle of a change must not block on it.
#pragma once

#include "upload_cleanup.h"

#include <atomic>

// One process holds at most this many upload files at a time; a request needs at most one per
// variable.
#define KELSIO_MAX_UPLOADS 1024

enum EUploadSlotState
{
    UPLOAD_SLOT_FREE = 0,
    // Taken by one thread that is writing its path or identity.
    UPLOAD_SLOT_FILLING = 1,
    // Names a file that may exist and is ours.
    UPLOAD_SLOT_LIVE = 2,
    // Being deleted by one thread; its path is complete.
    UPLOAD_SLOT_REMOVING = 3,
};

enum EUploadFileState
{
    UPLOAD_FILE_NONE = 0,
    UPLOAD_FILE_MADE = 1,
    // identity holds the file's identity.
    UPLOAD_FILE_IDENTIFIED = 2,
};

struct CUploadSlot
{
    std::atomic<int> nState;
    // The request that made the file, then the variable array that names it.
    std::atomic<const void*> pOwner;
    // How much is known of the file: UPLOAD_FILE_*. Nothing is deleted for a slot whose file was
    // not made, since the name may then belong to a file of somebody else.
    std::atomic<int> nFile;
    CUploadIdentity identity;
    char szPath[MAX_PATH];
};

// Takes a slot for a file about to be made at szPath by pOwner. -1 when the path does not fit
// or every slot is taken: the file must then not be made.
int KelsioUploadReserve(const void* pOwner, const char* szPath);
// The file of the slot was made by this process: it is recorded, with its identity when that
// can be read.
void KelsioUploadCreated(int nSlot);
// The file of the slot was never made.
void KelsioUploadRelease(int nSlot);
// The files of pOwner now belong to pNewOwner.
void KelsioUploadHandOver(const void* pOwner, const void* pNewOwner);
// Deletes every file of pOwner that is still ours in its place (all files when pOwner is null).
void KelsioUploadRemove(const void* pOwner);
// True when szPath is a file this process made and still holds.
bool KelsioUploadIsOurs(const char* szPath);

// The slots themselves, for the signal handler, which reads them without changing any state.
CUploadSlot* KelsioUploadSlots();
// How many slots at the front of the array were ever taken: every live slot lies below. An
// atomic read, safe in a signal handler.
int KelsioUploadSlotCount();
