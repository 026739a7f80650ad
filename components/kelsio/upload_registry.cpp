#include "upload_registry.h"

#include <cstring>

namespace
{

// Static storage starts zeroed: every slot is free before any code runs.
CUploadSlot s_slots[KELSIO_MAX_UPLOADS];

// How many slots at the front were ever taken; no slot beyond is live. The scans stop here, so
// that a request with one upload touches one page of the array and not all of its 300 KB, which
// would cost each process a page fault for every page read.
std::atomic<int> s_nSlotsUsed(0);

// The owner of files whose deletion failed once; the next removal of all files tries again.
const char s_orphanOwner = 0;

// Raises the count of slots in use to cover the slot at nSlot.
void CoverSlot(int nSlot)
{
    int nUsed = s_nSlotsUsed.load(std::memory_order_acquire);
    while (nUsed <= nSlot &&
           !s_nSlotsUsed.compare_exchange_weak(nUsed, nSlot + 1, std::memory_order_acq_rel))
    {
    }
}

bool TakeSlot(CUploadSlot& slot, int nFrom, int nTo)
{
    int nExpected = nFrom;
    return slot.nState.compare_exchange_strong(nExpected, nTo, std::memory_order_acq_rel);
}

// Deletes the file of a slot this thread holds in UPLOAD_SLOT_REMOVING; false when it is still
// there and ours (a handle of the program may keep it).
bool DeleteSlotFile(CUploadSlot& slot)
{
    int nFile = slot.nFile.load(std::memory_order_acquire);
    if (nFile == UPLOAD_FILE_NONE)
        return true;
    const CUploadIdentity* pIdentity = nFile == UPLOAD_FILE_IDENTIFIED ? &slot.identity : nullptr;
    // Moved away, deleted, or its name taken by something else: nothing of ours is left there.
    if (!KelsioUploadIsSameFile(slot.szPath, pIdentity))
        return true;
    if (DeleteFileA(slot.szPath))
        return true;
    DWORD dwError = GetLastError();
    return dwError == ERROR_FILE_NOT_FOUND || dwError == ERROR_PATH_NOT_FOUND;
}

// The process ends normally: whatever the program did not take goes, also when it never freed
// its variable array.
struct CUploadExitCleanup
{
    ~CUploadExitCleanup() { KelsioUploadRemove(nullptr); }
};
CUploadExitCleanup s_exitCleanup;

} // namespace

int KelsioUploadReserve(const void* pOwner, const char* szPath)
{
    size_t nLength = strlen(szPath);
    if (pOwner == nullptr || nLength >= MAX_PATH)
        return -1;
    KelsioUploadInstallHandlers();
    for (int i = 0; i < KELSIO_MAX_UPLOADS; ++i)
    {
        CUploadSlot& slot = s_slots[i];
        if (!TakeSlot(slot, UPLOAD_SLOT_FREE, UPLOAD_SLOT_FILLING))
            continue;
        memcpy(slot.szPath, szPath, nLength + 1);
        // Covered before it is live, so that no scan that could find it live stops short of it.
        CoverSlot(i);
        slot.nFile.store(UPLOAD_FILE_NONE, std::memory_order_relaxed);
        slot.pOwner.store(pOwner, std::memory_order_relaxed);
        // Live before the file exists, so that the file is recorded the moment it is made.
        slot.nState.store(UPLOAD_SLOT_LIVE, std::memory_order_release);
        return i;
    }
    return -1;
}

void KelsioUploadCreated(int nSlot)
{
    if (nSlot < 0 || nSlot >= KELSIO_MAX_UPLOADS)
        return;
    CUploadSlot& slot = s_slots[nSlot];
    slot.nFile.store(UPLOAD_FILE_MADE, std::memory_order_release);
    CUploadIdentity identity;
    if (!KelsioUploadIdentify(slot.szPath, identity))
        return;
    slot.identity = identity;
    slot.nFile.store(UPLOAD_FILE_IDENTIFIED, std::memory_order_release);
}

void KelsioUploadRelease(int nSlot)
{
    if (nSlot < 0 || nSlot >= KELSIO_MAX_UPLOADS)
        return;
    // No file was made: whatever has the name is somebody else's, and no removal touches it.
    TakeSlot(s_slots[nSlot], UPLOAD_SLOT_LIVE, UPLOAD_SLOT_FREE);
}

void KelsioUploadHandOver(const void* pOwner, const void* pNewOwner)
{
    int nUsed = KelsioUploadSlotCount();
    for (int i = 0; i < nUsed; ++i)
    {
        CUploadSlot& slot = s_slots[i];
        if (slot.nState.load(std::memory_order_acquire) == UPLOAD_SLOT_LIVE &&
            slot.pOwner.load(std::memory_order_relaxed) == pOwner)
            slot.pOwner.store(pNewOwner, std::memory_order_relaxed);
    }
}

void KelsioUploadRemove(const void* pOwner)
{
    int nUsed = KelsioUploadSlotCount();
    for (int i = 0; i < nUsed; ++i)
    {
        CUploadSlot& slot = s_slots[i];
        if (slot.nState.load(std::memory_order_acquire) != UPLOAD_SLOT_LIVE)
            continue;
        if (pOwner != nullptr && slot.pOwner.load(std::memory_order_relaxed) != pOwner)
            continue;
        if (!TakeSlot(slot, UPLOAD_SLOT_LIVE, UPLOAD_SLOT_REMOVING))
            continue;
        if (DeleteSlotFile(slot))
        {
            slot.nState.store(UPLOAD_SLOT_FREE, std::memory_order_release);
            continue;
        }
        slot.pOwner.store(&s_orphanOwner, std::memory_order_relaxed);
        slot.nState.store(UPLOAD_SLOT_LIVE, std::memory_order_release);
    }
}

bool KelsioUploadIsOurs(const char* szPath)
{
    int nUsed = KelsioUploadSlotCount();
    for (int i = 0; i < nUsed; ++i)
    {
        CUploadSlot& slot = s_slots[i];
        int nState = slot.nState.load(std::memory_order_acquire);
        if ((nState == UPLOAD_SLOT_LIVE || nState == UPLOAD_SLOT_REMOVING) &&
            strcmp(slot.szPath, szPath) == 0)
            return true;
    }
    return false;
}

int KelsioUploadSlotCount()
{
    return s_nSlotsUsed.load(std::memory_order_acquire);
}

CUploadSlot* KelsioUploadSlots()
{
    return s_slots;
}
